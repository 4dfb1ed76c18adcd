// The four element types, in the order of the storage variant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zevra {

enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// Name shown inside messages ("F16", "BF16", "F32", "Bool").
constexpr std::string_view dtype_name(DType d) {
  switch (d) {
    case DType::F16:
      return "F16";
    case DType::BF16:
      return "BF16";
    case DType::F32:
      return "F32";
    case DType::Bool:
      return "Bool";
  }
  return "?";
}

// Name reported by the Python `dtype` property.
constexpr std::string_view dtype_property_name(DType d) {
  switch (d) {
    case DType::F16:
      return "f16";
    case DType::BF16:
      return "bf16";
    case DType::F32:
      return "f32";
    case DType::Bool:
      return "bool";
  }
  return "?";
}

constexpr std::size_t dtype_width(DType d) {
  return d == DType::F32 ? 4 : d == DType::Bool ? 1 : 2;
}

}  // namespace zevra
