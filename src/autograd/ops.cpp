#include "autograd/ops.hpp"

#include <utility>

namespace zevra {

namespace {

// The gradient passed through unchanged. Storages are immutable, so the input's gradient
// shares the incoming one's buffer instead of copying it.
CpuStorage same(const CpuStorage& grad) {
  return grad;
}

Result<void> accumulate(AutogradContext& ctx, std::size_t id, Result<CpuStorage> grad) {
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(id, std::move(*grad));
}

// Hands on both halves of a gradient kernel's pair, the left operand's first.
Result<void> accumulate_pair(AutogradContext& ctx, std::size_t lhs_id, std::size_t rhs_id,
                             Result<std::pair<CpuStorage, CpuStorage>> grads) {
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (Result<void> r = ctx.accumulate(lhs_id, std::move(grads->first)); !r) return r;
  return ctx.accumulate(rhs_id, std::move(grads->second));
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  if (Result<void> r = ctx.accumulate(lhs_id, same(grad)); !r) return r;
  return ctx.accumulate(rhs_id, same(grad));
}

Result<void> SubNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  if (Result<void> r = ctx.accumulate(lhs_id, same(grad)); !r) return r;
  return accumulate(ctx, rhs_id, grad.scalar_mul(-1.0f));
}

Result<void> MulNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate_pair(ctx, lhs_id, rhs_id,
                         lhs_storage->cpu.backward_mul(grad, rhs_storage->cpu));
}

Result<void> DivNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate_pair(ctx, lhs_id, rhs_id,
                         lhs_storage->cpu.backward_div(grad, rhs_storage->cpu));
}

Result<void> MatmulNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate_pair(ctx, lhs_id, rhs_id,
                         lhs_storage->cpu.backward_matmul(grad, rhs_storage->cpu));
}

Result<void> ScalarAddNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return ctx.accumulate(input_id, same(grad));
}

Result<void> ScalarSubNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return ctx.accumulate(input_id, same(grad));
}

Result<void> ScalarMulNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate(ctx, input_id, grad.scalar_mul(scalar));
}

Result<void> ScalarDivNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate(ctx, input_id, grad.scalar_mul(1.0f / scalar));
}

Result<void> ReshapeNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return accumulate(ctx, input_id, grad.reshape(input_shape));
}

Result<void> TransposeNode::backward(AutogradContext& ctx, const CpuStorage& grad) const {
  return ctx.accumulate(input_id, grad.transpose(dim0, dim1));
}

}  // namespace zevra
