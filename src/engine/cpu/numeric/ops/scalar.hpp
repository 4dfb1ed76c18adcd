// Array-and-scalar arithmetic and comparison kernels. The scalar is already of the array's
// element type and is always the right operand. They cannot fail.
#pragma once

#include "engine/cpu/loop.hpp"
#include "engine/cpu/ndarray.hpp"

namespace zevra {

// A fresh array of a's shape for a one-operand result: a's very strides when a's elements fill
// one gap-free block in some axis order (so the result is computed in a's memory order),
// row-major otherwise.
template <class Out, class T>
NdArray<Out> fresh_like(const NdArray<T>& a) {
  if (is_dense(a.shape, a.strides)) return NdArray<Out>::with_layout(a.shape, a.strides);
  return NdArray<Out>::row_major(a.shape);
}

// out = f(a) element by element, laid out by fresh_like.
template <class Out, class T, class F>
NdArray<Out> map_unary(const NdArray<T>& a, const F& f) {
  auto out = fresh_like<Out>(a);
  for_each(out.shape, f, output(out), input(a));
  return out;
}

// F16, BF16, F32.
template <class T>
NdArray<T> scalar_add(const NdArray<T>& a, T s);
template <class T>
NdArray<T> scalar_sub(const NdArray<T>& a, T s);
template <class T>
NdArray<T> scalar_mul(const NdArray<T>& a, T s);

template <class T>
NdArray<bool> scalar_eq(const NdArray<T>& a, T s);
template <class T>
NdArray<bool> scalar_ge(const NdArray<T>& a, T s);
template <class T>
NdArray<bool> scalar_gt(const NdArray<T>& a, T s);
template <class T>
NdArray<bool> scalar_le(const NdArray<T>& a, T s);
template <class T>
NdArray<bool> scalar_lt(const NdArray<T>& a, T s);

}  // namespace zevra
