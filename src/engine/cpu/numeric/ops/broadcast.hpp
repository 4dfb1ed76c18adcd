// The one broadcasting rule of the engine (NumPy's): shapes align at their last axis, and two
// extents are compatible when they are equal or one of them is 1. Serves all four element types.
#pragma once

#include <algorithm>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/ndarray.hpp"

namespace zevra {

// Failures are bare message texts; the caller chooses the error kind.
template <class T>
using Broadcasted = std::expected<T, std::string>;

// A read-only view of an array under a larger shape: stretched and added axes have stride 0,
// nothing is copied. Borrows the array's data (and its strides where they fit the shape).
template <class T>
struct ArrayView {
  const T* data;
  std::span<const std::size_t> shape;
  std::span<const std::ptrdiff_t> strides;

  operator Strided<const T>() const { return {data, strides}; }
};

// The two views made by broadcast_tensors, together with the common shape and the expanded
// strides they point to when the operands' own do not fit. Operands of the common shape are
// borrowed as they are, so the usual case allocates nothing. Movable (the spans stay valid),
// not copyable; `const auto& [va, vb] = views` binds the two views.
template <class T>
struct BroadcastViews {
  ArrayView<T> a, b;
  Shape common;
  Strides a_strides, b_strides;

  BroadcastViews() = default;
  BroadcastViews(BroadcastViews&&) = default;
  BroadcastViews(const BroadcastViews&) = delete;

  template <std::size_t I>
  const ArrayView<T>& get() const {
    return I == 0 ? a : b;
  }
};

Broadcasted<Shape> broadcast_shapes(std::span<const std::size_t> a, std::span<const std::size_t> b);

// The strides of an array (shape, strides) viewed under `target`, or nothing when the view is
// impossible (more axes than the target, incompatible extents, or too many elements to count).
std::optional<Strides> expand_strides(std::span<const std::size_t> shape,
                                      std::span<const std::ptrdiff_t> strides,
                                      std::span<const std::size_t> target);

// The "Broadcast failed for A/B" message.
std::string broadcast_failed(char operand, std::span<const std::size_t> shape,
                             std::span<const std::size_t> target);

template <class T>
Broadcasted<BroadcastViews<T>> broadcast_tensors(const NdArray<T>& a, const NdArray<T>& b) {
  BroadcastViews<T> v;
  std::span<const std::size_t> shape = a.shape;
  if (a.shape != b.shape) {
    Broadcasted<Shape> common = broadcast_shapes(a.shape, b.shape);
    if (!common) return std::unexpected(std::move(common.error()));
    v.common = std::move(*common);
    shape = v.common;
  }
  auto view = [&](const NdArray<T>& x, Strides& storage) -> std::optional<ArrayView<T>> {
    if (std::ranges::equal(x.shape, shape) && checked_element_count(shape))
      return ArrayView<T>{x.data, shape, x.strides};
    std::optional<Strides> s = expand_strides(x.shape, x.strides, shape);
    if (!s) return std::nullopt;
    storage = std::move(*s);
    return ArrayView<T>{x.data, shape, storage};
  };
  std::optional<ArrayView<T>> va = view(a, v.a_strides);
  if (!va) return std::unexpected(broadcast_failed('A', a.shape, shape));
  std::optional<ArrayView<T>> vb = view(b, v.b_strides);
  if (!vb) return std::unexpected(broadcast_failed('B', b.shape, shape));
  v.a = *va;
  v.b = *vb;
  return v;
}

}  // namespace zevra

template <class T>
struct std::tuple_size<zevra::BroadcastViews<T>> : std::integral_constant<std::size_t, 2> {};
template <std::size_t I, class T>
struct std::tuple_element<I, zevra::BroadcastViews<T>> {
  using type = const zevra::ArrayView<T>;
};
