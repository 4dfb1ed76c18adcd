// Shape operations on one typed array: constant arrays of a shape, reshape, axis exchange and
// whole-array copies. They serve all four element types.
//
// Finished arrays are never written, so reshape and transpose hand out new shapes and strides
// over the operand's buffer; nobody can tell them from copies.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "engine/cpu/float16.hpp"
#include "engine/cpu/ndarray.hpp"

namespace zevra {

// The shape-error texts of a refused reshape.
inline constexpr std::string_view kIncompatibleShape =
    "ShapeError/IncompatibleShape: incompatible shapes";
inline constexpr std::string_view kIncompatibleLayout =
    "ShapeError/IncompatibleLayout: incompatible memory layout";

// The value one of an element type (true for bool); zero is the all-zero bit pattern for all.
template <class T>
constexpr T one_value();
template <>
constexpr f16 one_value<f16>() {
  return f16{0x3C00};
}
template <>
constexpr bf16 one_value<bf16>() {
  return bf16{0x3F80};
}
template <>
constexpr float one_value<float>() {
  return 1.0f;
}
template <>
constexpr bool one_value<bool>() {
  return true;
}

// New row-major arrays of `a`'s shape; `a`'s elements and strides are not read.
template <class T>
NdArray<T> zeros_like(const NdArray<T>& a) {
  return NdArray<T>::filled(a.shape, T{});
}
template <class T>
NdArray<T> ones_like(const NdArray<T>& a) {
  return NdArray<T>::filled(a.shape, one_value<T>());
}

// `a` read under `shape` in row-major order. Refuses a shape with another element count (or
// one too large to count) first, then an `a` that is not row-major; the error is the
// shape-error text.
template <class T>
std::expected<NdArray<T>, std::string_view> reshape(const NdArray<T>& a, const Shape& shape);

// `a` with the extents and strides of two axes exchanged; an axis out of range is a fatal
// error naming dim0 if it is out of range, dim1 otherwise.
template <class T>
NdArray<T> transpose(const NdArray<T>& a, std::size_t dim0, std::size_t dim1);

// `a` with its last two axes exchanged; `a` has at least two dimensions.
template <class T>
NdArray<T> transpose_last_two(const NdArray<T>& a) {
  return transpose(a, a.ndim() - 2, a.ndim() - 1);
}

// A copy in a buffer of its own with the same shape and strides (the memory block that the
// strides span is copied as it is).
template <class T>
NdArray<T> copy_array(const NdArray<T>& a);

}  // namespace zevra
