// The boolean group of the CpuStorage entry points.
#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

namespace {

template <class Kernel>
Result<CpuStorage> logical(const CpuStorage& a, const CpuStorage& b, const Kernel& kernel) {
  if (a.dtype() != DType::Bool || b.dtype() != DType::Bool)
    return runtime_error("Logical operations are only supported for Bool data types.");
  auto r = kernel(std::get<NdArray<bool>>(a.array), std::get<NdArray<bool>>(b.array));
  if (!r) return runtime_error(std::move(r.error()));
  return CpuStorage(std::move(*r));
}

}  // namespace

Result<CpuStorage> CpuStorage::logical_and(const CpuStorage& other) const {
  return logical(*this, other, zevra::logical_and);
}
Result<CpuStorage> CpuStorage::logical_or(const CpuStorage& other) const {
  return logical(*this, other, zevra::logical_or);
}
Result<CpuStorage> CpuStorage::logical_xor(const CpuStorage& other) const {
  return logical(*this, other, zevra::logical_xor);
}

CpuStorage CpuStorage::logical_not() const {
  return CpuStorage(zevra::logical_not(std::get<NdArray<bool>>(array)));
}

}  // namespace zevra
