// CpuStorage::matmul: both operands of one numeric type, no promotion.
#include <string>

#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& other) const {
  if (dtype() != other.dtype())
    return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                       std::string(dtype_name(dtype())) + " and " +
                       std::string(dtype_name(other.dtype())) + ".");
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return type_error(
              "Arithmetic operations are not supported for Bool data types. Cast to a numeric "
              "type first.");
        } else {
          auto product = MatmulOps<T>::do_matmul(a, std::get<NdArray<T>>(other.array));
          if (!product) return runtime_error(std::move(product.error()));
          return CpuStorage(std::move(*product));
        }
      },
      array);
}

}  // namespace zevra
