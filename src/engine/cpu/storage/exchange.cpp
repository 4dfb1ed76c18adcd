#include "engine/cpu/storage/exchange.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine/cpu/loop.hpp"

namespace zevra {

namespace {

// Calls f with a value of std::type_identity<T> for the element type T of `dtype`.
template <class F>
CpuStorage with_element_type(DType dtype, F&& f) {
  switch (dtype) {
    case DType::F16:
      return f(std::type_identity<f16>{});
    case DType::BF16:
      return f(std::type_identity<bf16>{});
    case DType::F32:
      return f(std::type_identity<float>{});
    case DType::Bool:
      break;
  }
  return f(std::type_identity<bool>{});
}

// Foreign Bool data is read as bytes, so values other than 0 and 1 never reach a C++ bool.
template <class T>
using Foreign = std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>;

template <class T>
void assign(T& out, const Foreign<T>& in) {
  if constexpr (std::is_same_v<T, bool>)
    out = in != 0;
  else
    out = in;
}

}  // namespace

CpuStorage storage_from_block(DType dtype, const void* data, Shape shape) {
  return with_element_type(dtype, [&]<class T>(std::type_identity<T>) {
    NdArray<T> a = NdArray<T>::row_major_exact(std::move(shape));
    std::size_t n = a.size();
    if constexpr (std::is_same_v<T, bool>) {
      auto* in = static_cast<const unsigned char*>(data);
      for (std::size_t i = 0; i < n; ++i) a.data[i] = in[i] != 0;
    } else if (n) {
      std::memcpy(a.data, data, n * sizeof(T));
    }
    return CpuStorage(std::move(a));
  });
}

CpuStorage storage_from_strided(DType dtype, const void* data, Shape shape,
                                std::span<const std::ptrdiff_t> strides) {
  return with_element_type(dtype, [&]<class T>(std::type_identity<T>) {
    NdArray<T> a = NdArray<T>::row_major_exact(std::move(shape));
    Strided<const Foreign<T>> in{static_cast<const Foreign<T>*>(data), strides};
    for_each(
        a.shape, [](T& o, const Foreign<T>& x) { assign(o, x); }, output(a), in);
    return CpuStorage(std::move(a));
  });
}

std::pair<CpuStorage, void*> storage_to_fill(DType dtype, Shape shape) {
  void* data = nullptr;
  CpuStorage storage = with_element_type(dtype, [&]<class T>(std::type_identity<T>) {
    NdArray<T> a = NdArray<T>::row_major_exact(std::move(shape));
    data = a.data;
    return CpuStorage(std::move(a));
  });
  return {std::move(storage), data};
}

void normalise_bools(void* data, std::size_t count) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = bytes[i] != 0;
}

ExportLayout export_layout(const CpuStorage& storage) {
  const Shape& shape = storage.shape();
  const Strides& strides = storage.strides();
  if (is_row_major(shape, strides)) return ExportLayout::RowMajorBlock;
  if (shape.size() >= 2 && is_column_major(shape, strides)) return ExportLayout::ColumnMajorBlock;
  return ExportLayout::RowMajorCopy;
}

void export_elements(const CpuStorage& storage, ExportLayout layout, void* dst) {
  std::visit(
      [&]<class T>(const NdArray<T>& a) {
        if (layout != ExportLayout::RowMajorCopy) {
          if (std::size_t n = a.size()) std::memcpy(dst, a.data, n * sizeof(T));
          return;
        }
        Strides dense = row_major_strides(a.shape);
        for_each(
            a.shape, [](T& o, const T& x) { o = x; }, Strided<T>{static_cast<T*>(dst), dense},
            input(a));
      },
      storage.array);
}

}  // namespace zevra
