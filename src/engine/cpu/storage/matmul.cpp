// CpuStorage::matmul: both operands of one numeric type, no promotion.
#include <utility>

#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/type_checks.hpp"

namespace zevra {

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& other) const {
  if (auto refused = arithmetic_type_error(*this, other))
    return std::unexpected(std::move(*refused));
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          std::unreachable();
        } else {
          auto product = MatmulOps<T>::do_matmul(a, std::get<NdArray<T>>(other.array));
          if (!product) return runtime_error(std::move(product.error()));
          return CpuStorage(std::move(*product));
        }
      },
      array);
}

}  // namespace zevra
