// The numeric group of the CpuStorage entry points: element-type checks, the choice of the
// kernel for the element type of the left operand, and the wrapping of its result.
#include <string>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/type_checks.hpp"

namespace zevra {

namespace {

template <class T>
Result<CpuStorage> wrap(Broadcasted<NdArray<T>> r) {
  if (!r) return runtime_error(std::move(r.error()));
  return CpuStorage(std::move(*r));
}

// Runs kernel(x, y) on the two arrays, which hold the same element type (a numeric one unless
// Bool is accepted).
template <bool AcceptBool, class Kernel>
Result<CpuStorage> run_same_type(const CpuStorage& a, const CpuStorage& b, const Kernel& kernel) {
  return std::visit(
      [&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool> && !AcceptBool)
          std::unreachable();
        else
          return wrap(kernel(x, std::get<NdArray<T>>(b.array)));
      },
      a.array);
}

template <class Kernel>
Result<CpuStorage> arithmetic(const CpuStorage& a, const CpuStorage& b, const Kernel& kernel) {
  if (auto refused = arithmetic_type_error(a, b)) return std::unexpected(std::move(*refused));
  return run_same_type<false>(a, b, kernel);
}

template <class Kernel>
Result<CpuStorage> comparison(const CpuStorage& a, const CpuStorage& b, const char* op,
                              const Kernel& kernel) {
  if (a.dtype() != b.dtype())
    return runtime_error(std::string("Tensor device or dtype mismatch for element-wise ") + op +
                         " operation.");
  return run_same_type<true>(a, b, kernel);
}

// The scalar is rounded to the element type once, then the kernel runs on the array.
template <class Kernel>
Result<CpuStorage> with_scalar(const CpuStorage& a, float s, const Kernel& kernel) {
  return std::visit(
      [&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>)
          std::unreachable();
        else
          return CpuStorage(kernel(x, from_f32<T>(s)));
      },
      a.array);
}

template <class Kernel>
Result<CpuStorage> scalar_arithmetic(const CpuStorage& a, float s, const char* op,
                                     const Kernel& kernel) {
  if (a.dtype() == DType::Bool)
    return value_error(std::string("Tensor DType invalid during scalar ") + op +
                       ". Cannot operate between " + std::string(dtype_name(a.dtype())) +
                       " and scalar.");
  return with_scalar(a, s, kernel);
}

template <class Kernel>
Result<CpuStorage> scalar_comparison(const CpuStorage& a, float s, const char* op,
                                     const Kernel& kernel) {
  if (a.dtype() == DType::Bool)
    return runtime_error(std::string("Tensor device or dtype mismatch for scalar ") + op +
                         " operation.");
  return with_scalar(a, s, kernel);
}

}  // namespace

Result<CpuStorage> CpuStorage::add(const CpuStorage& other) const {
  return arithmetic(*this, other, [](const auto& x, const auto& y) { return zevra::add(x, y); });
}
Result<CpuStorage> CpuStorage::sub(const CpuStorage& other) const {
  return arithmetic(*this, other, [](const auto& x, const auto& y) { return zevra::sub(x, y); });
}
Result<CpuStorage> CpuStorage::mul(const CpuStorage& other) const {
  return arithmetic(*this, other, [](const auto& x, const auto& y) { return zevra::mul(x, y); });
}
Result<CpuStorage> CpuStorage::div(const CpuStorage& other) const {
  return arithmetic(*this, other, [](const auto& x, const auto& y) { return zevra::div(x, y); });
}

Result<CpuStorage> CpuStorage::eq(const CpuStorage& other) const {
  return comparison(*this, other,
                    "==", [](const auto& x, const auto& y) { return zevra::eq(x, y); });
}
Result<CpuStorage> CpuStorage::ge(const CpuStorage& other) const {
  return comparison(*this, other,
                    ">=", [](const auto& x, const auto& y) { return zevra::ge(x, y); });
}
Result<CpuStorage> CpuStorage::gt(const CpuStorage& other) const {
  return comparison(*this, other, ">",
                    [](const auto& x, const auto& y) { return zevra::gt(x, y); });
}
Result<CpuStorage> CpuStorage::le(const CpuStorage& other) const {
  return comparison(*this, other,
                    "<=", [](const auto& x, const auto& y) { return zevra::le(x, y); });
}
Result<CpuStorage> CpuStorage::lt(const CpuStorage& other) const {
  return comparison(*this, other, "<",
                    [](const auto& x, const auto& y) { return zevra::lt(x, y); });
}

Result<CpuStorage> CpuStorage::scalar_add(float s) const {
  return scalar_arithmetic(*this, s, "add",
                           [](const auto& x, auto v) { return zevra::scalar_add(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_sub(float s) const {
  return scalar_arithmetic(*this, s, "sub",
                           [](const auto& x, auto v) { return zevra::scalar_sub(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_mul(float s) const {
  return scalar_arithmetic(*this, s, "product",
                           [](const auto& x, auto v) { return zevra::scalar_mul(x, v); });
}

Result<CpuStorage> CpuStorage::scalar_eq(float s) const {
  return scalar_comparison(*this, s,
                           "==", [](const auto& x, auto v) { return zevra::scalar_eq(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_ge(float s) const {
  return scalar_comparison(*this, s,
                           ">=", [](const auto& x, auto v) { return zevra::scalar_ge(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_gt(float s) const {
  return scalar_comparison(*this, s, ">",
                           [](const auto& x, auto v) { return zevra::scalar_gt(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_le(float s) const {
  return scalar_comparison(*this, s,
                           "<=", [](const auto& x, auto v) { return zevra::scalar_le(x, v); });
}
Result<CpuStorage> CpuStorage::scalar_lt(float s) const {
  return scalar_comparison(*this, s, "<",
                           [](const auto& x, auto v) { return zevra::scalar_lt(x, v); });
}

}  // namespace zevra
