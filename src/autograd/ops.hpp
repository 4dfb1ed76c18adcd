// The graph node of each differentiable operation: what it saved in the forward step and how it
// turns the gradient of its output into gradients of its inputs. Gradients are never reduced
// over broadcast axes; the context sums gradients of different shapes by broadcasting.
#pragma once

#include <cstddef>

#include "autograd/context.hpp"
#include "tensor/storage.hpp"

namespace zevra {

struct AddNode {
  std::size_t lhs_id;
  std::size_t rhs_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct SubNode {
  std::size_t lhs_id;
  std::size_t rhs_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

// The products keep the operands' storages: their gradients need the other operand.
struct MulNode {
  StoragePtr lhs_storage;
  StoragePtr rhs_storage;
  std::size_t lhs_id;
  std::size_t rhs_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct DivNode {
  StoragePtr lhs_storage;
  StoragePtr rhs_storage;
  std::size_t lhs_id;
  std::size_t rhs_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct MatmulNode {
  StoragePtr lhs_storage;
  StoragePtr rhs_storage;
  std::size_t lhs_id;
  std::size_t rhs_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct ScalarAddNode {
  std::size_t input_id;
  float scalar;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct ScalarSubNode {
  std::size_t input_id;
  float scalar;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct ScalarMulNode {
  std::size_t input_id;
  float scalar;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct ScalarDivNode {
  std::size_t input_id;
  float scalar;  // the divisor
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

struct ReshapeNode {
  Shape input_shape;  // the input's shape before the reshape
  std::size_t input_id;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

// A transpose is its own inverse: the gradient gets the same exchange of axes.
struct TransposeNode {
  std::size_t input_id;
  std::size_t dim0;
  std::size_t dim1;
  Result<void> backward(AutogradContext& ctx, const CpuStorage& grad) const;
};

}  // namespace zevra
