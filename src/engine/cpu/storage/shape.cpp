// CpuStorage accessors and shape operations: each applies the typed operation to whichever
// element type the storage holds.
#include <string>

#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

const Shape& CpuStorage::shape() const {
  return std::visit([](const auto& a) -> const Shape& { return a.shape; }, array);
}

const Strides& CpuStorage::strides() const {
  return std::visit([](const auto& a) -> const Strides& { return a.strides; }, array);
}

CpuStorage CpuStorage::zeros_like() const {
  return std::visit([](const auto& a) { return CpuStorage(zevra::zeros_like(a)); }, array);
}

CpuStorage CpuStorage::ones_like() const {
  return std::visit([](const auto& a) { return CpuStorage(zevra::ones_like(a)); }, array);
}

Result<CpuStorage> CpuStorage::reshape(const Shape& shape) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = zevra::reshape(a, shape);
        if (!r) return value_error("Error while reshape: " + std::string(r.error()));
        return CpuStorage(std::move(*r));
      },
      array);
}

CpuStorage CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
  return std::visit([&](const auto& a) { return CpuStorage(zevra::transpose(a, dim0, dim1)); },
                    array);
}

CpuStorage CpuStorage::copy() const {
  return std::visit([](const auto& a) { return CpuStorage(copy_array(a)); }, array);
}

CpuStorage bool_ones(const Shape& shape) {
  return CpuStorage(NdArray<bool>::filled(shape, true));
}

}  // namespace zevra
