// Two-array arithmetic and comparison kernels with broadcasting. Each returns a new array of the
// common shape, laid out by the two-array memory-order rule, or the broadcasting message.
#pragma once

#include <cstddef>
#include <span>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/ndarray.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace zevra {

// Strides of a fresh result from the two views it is computed from (both of its shape): row-major
// when both views are row-major, column-major when both are column-major, otherwise decided by
// the sum of the views' scores. A result without elements gets all strides 0.
Strides two_array_result_strides(std::span<const std::size_t> shape,
                                 std::span<const std::ptrdiff_t> a,
                                 std::span<const std::ptrdiff_t> b);

// Broadcasts a and b, allocates the result in the order the views call for, and has
// walk(result, view of a, view of b) fill it.
template <class Out, class T, class Walk>
Broadcasted<NdArray<Out>> broadcast_into(const NdArray<T>& a, const NdArray<T>& b,
                                         const Walk& walk) {
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  const ArrayView<T>& va = views->a;
  const ArrayView<T>& vb = views->b;
  Shape shape(va.shape.begin(), va.shape.end());
  Strides strides = two_array_result_strides(shape, va.strides, vb.strides);
  auto out = NdArray<Out>::with_layout(std::move(shape), std::move(strides));
  walk(out, Strided<const T>(va), Strided<const T>(vb));
  return out;
}

// out = f(a, b) element by element over the broadcast views of a and b.
template <class Out, class T, class F>
Broadcasted<NdArray<Out>> map_broadcast(const NdArray<T>& a, const NdArray<T>& b, const F& f) {
  return broadcast_into<Out>(a, b, [&](NdArray<Out>& out, Strided<const T> x, Strided<const T> y) {
    for_each(out.shape, f, output(out), x, y);
  });
}

// F16, BF16, F32.
template <class T>
Broadcasted<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b);

// All four element types.
template <class T>
Broadcasted<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b);
template <class T>
Broadcasted<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b);

}  // namespace zevra
