// CpuStorage gradient entry points: the gradient's element type selects the kernel, and both
// operands must have that type.
#include <utility>

#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {
namespace {

using StoragePair = std::pair<CpuStorage, CpuStorage>;

template <class Kernel>
Result<StoragePair> run_backward(const CpuStorage& lhs, const CpuStorage& grad,
                                 const CpuStorage& rhs, const Kernel& kernel) {
  constexpr const char* kMismatch =
      "DType mismatch between gradient and operands during backward pass.";
  if (lhs.dtype() != grad.dtype() || rhs.dtype() != grad.dtype()) return type_error(kMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<StoragePair> {
        if constexpr (std::is_same_v<T, bool>) {
          return type_error(kMismatch);
        } else {
          auto r = kernel(g, std::get<NdArray<T>>(lhs.array), std::get<NdArray<T>>(rhs.array));
          if (!r) return runtime_error(std::move(r.error()));
          return StoragePair{CpuStorage(std::move(r->first)), CpuStorage(std::move(r->second))};
        }
      },
      grad.array);
}

}  // namespace

Result<StoragePair> CpuStorage::backward_mul(const CpuStorage& grad, const CpuStorage& rhs) const {
  return run_backward(*this, grad, rhs, [](const auto& g, const auto& l, const auto& r) {
    return mul_backward(g, l, r);
  });
}

Result<StoragePair> CpuStorage::backward_div(const CpuStorage& grad, const CpuStorage& rhs) const {
  return run_backward(*this, grad, rhs, [](const auto& g, const auto& l, const auto& r) {
    return div_backward(g, l, r);
  });
}

Result<StoragePair> CpuStorage::backward_matmul(const CpuStorage& grad,
                                                const CpuStorage& rhs) const {
  return run_backward(*this, grad, rhs, [](const auto& g, const auto& l, const auto& r) {
    return matmul_backward(g, l, r);
  });
}

}  // namespace zevra
