#include "engine/cpu/numeric/ops/shape.hpp"

#include <cstring>
#include <utility>

#include "engine/cpu/error.hpp"

namespace zevra {

template <class T>
std::expected<NdArray<T>, std::string_view> reshape(const NdArray<T>& a, const Shape& shape) {
  std::optional<std::size_t> count = checked_element_count(shape);
  if (!count || *count != a.size()) return std::unexpected(kIncompatibleShape);
  if (!is_row_major(a.shape, a.strides)) return std::unexpected(kIncompatibleLayout);
  return NdArray<T>{a.buffer, a.data, shape, fresh_row_major_strides(shape)};
}

template <class T>
NdArray<T> transpose(const NdArray<T>& a, std::size_t dim0, std::size_t dim1) {
  if (dim0 >= a.ndim()) fatal_index_out_of_bounds(a.ndim(), dim0);
  if (dim1 >= a.ndim()) fatal_index_out_of_bounds(a.ndim(), dim1);
  NdArray<T> t = a;
  std::swap(t.shape[dim0], t.shape[dim1]);
  std::swap(t.strides[dim0], t.strides[dim1]);
  return t;
}

template <class T>
NdArray<T> copy_array(const NdArray<T>& a) {
  // The block runs from the lowest to the highest element address the strides reach.
  std::ptrdiff_t lo = 0, hi = 0;
  bool empty = a.size() == 0;
  for (std::size_t i = 0; i < a.ndim() && !empty; ++i) {
    std::ptrdiff_t reach = a.strides[i] * std::ptrdiff_t(a.shape[i] - 1);
    (reach < 0 ? lo : hi) += reach;
  }
  std::size_t span = empty ? 0 : std::size_t(hi - lo + 1);
  NdArray<T> c{allocate_buffer(span * sizeof(T)), nullptr, a.shape, a.strides};
  auto* block = reinterpret_cast<T*>(c.buffer.get());
  if (span != 0) std::memcpy(block, a.data + lo, span * sizeof(T));
  c.data = block - lo;
  return c;
}

template std::expected<NdArray<f16>, std::string_view> reshape(const NdArray<f16>&, const Shape&);
template NdArray<f16> transpose(const NdArray<f16>&, std::size_t, std::size_t);
template NdArray<f16> copy_array(const NdArray<f16>&);
template std::expected<NdArray<bf16>, std::string_view> reshape(const NdArray<bf16>&, const Shape&);
template NdArray<bf16> transpose(const NdArray<bf16>&, std::size_t, std::size_t);
template NdArray<bf16> copy_array(const NdArray<bf16>&);
template std::expected<NdArray<float>, std::string_view> reshape(const NdArray<float>&,
                                                                 const Shape&);
template NdArray<float> transpose(const NdArray<float>&, std::size_t, std::size_t);
template NdArray<float> copy_array(const NdArray<float>&);
template std::expected<NdArray<bool>, std::string_view> reshape(const NdArray<bool>&, const Shape&);
template NdArray<bool> transpose(const NdArray<bool>&, std::size_t, std::size_t);
template NdArray<bool> copy_array(const NdArray<bool>&);

}  // namespace zevra
