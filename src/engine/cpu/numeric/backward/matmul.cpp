#include "engine/cpu/numeric/backward/matmul.hpp"

#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/ops/shape.hpp"

namespace zevra {
namespace {

// An operand of fewer than two axes is passed on as it is, for the product to refuse.
template <class T>
NdArray<T> matrix_transpose(const NdArray<T>& x) {
  return x.ndim() >= 2 ? transpose_last_two(x) : x;
}

}  // namespace

template <class T>
std::expected<GradientPair<T>, std::string> matmul_backward(const NdArray<T>& grad,
                                                            const NdArray<T>& lhs,
                                                            const NdArray<T>& rhs) {
  auto for_lhs = MatmulOps<T>::do_matmul(grad, matrix_transpose(rhs));
  if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
  auto for_rhs = MatmulOps<T>::do_matmul(matrix_transpose(lhs), grad);
  if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
  return GradientPair<T>{std::move(*for_lhs), std::move(*for_rhs)};
}

template std::expected<GradientPair<f16>, std::string> matmul_backward(const NdArray<f16>&,
                                                                       const NdArray<f16>&,
                                                                       const NdArray<f16>&);
template std::expected<GradientPair<bf16>, std::string> matmul_backward(const NdArray<bf16>&,
                                                                        const NdArray<bf16>&,
                                                                        const NdArray<bf16>&);
template std::expected<GradientPair<float>, std::string> matmul_backward(const NdArray<float>&,
                                                                         const NdArray<float>&,
                                                                         const NdArray<float>&);

}  // namespace zevra
