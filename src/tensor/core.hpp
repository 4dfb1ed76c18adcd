// The Tensor record and the tensor operations: each decides whether its result requires a
// gradient, records the node on the calling thread's tape before computing, and hands the
// computation to the engine. Nothing here knows Python.
#pragma once

#include <cstddef>
#include <optional>

#include "tensor/storage.hpp"

namespace zevra {

struct Tensor {
  std::optional<std::size_t> node_id;  // present exactly when requires_grad is true
  StoragePtr storage;
  bool requires_grad = false;
};

// A tensor built from user data; registers a leaf on the calling thread's tape when
// `requires_grad` is true.
Tensor make_tensor(CpuStorage storage, bool requires_grad);

Result<Tensor> add(const Tensor& a, const Tensor& b);
Result<Tensor> sub(const Tensor& a, const Tensor& b);
Result<Tensor> mul(const Tensor& a, const Tensor& b);
Result<Tensor> div(const Tensor& a, const Tensor& b);
Result<Tensor> matmul(const Tensor& a, const Tensor& b);

Result<Tensor> scalar_add(const Tensor& t, float s);
Result<Tensor> scalar_sub(const Tensor& t, float s);
Result<Tensor> scalar_mul(const Tensor& t, float s);
Result<Tensor> scalar_div(const Tensor& t, float s);

Result<Tensor> reshape(const Tensor& t, const Shape& shape);
Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1);

Result<Tensor> eq(const Tensor& a, const Tensor& b);
Result<Tensor> ge(const Tensor& a, const Tensor& b);
Result<Tensor> gt(const Tensor& a, const Tensor& b);
Result<Tensor> le(const Tensor& a, const Tensor& b);
Result<Tensor> lt(const Tensor& a, const Tensor& b);
Result<Tensor> scalar_eq(const Tensor& t, float s);
Result<Tensor> scalar_ge(const Tensor& t, float s);
Result<Tensor> scalar_gt(const Tensor& t, float s);
Result<Tensor> scalar_le(const Tensor& t, float s);
Result<Tensor> scalar_lt(const Tensor& t, float s);

Result<Tensor> logical_and(const Tensor& a, const Tensor& b);
Result<Tensor> logical_or(const Tensor& a, const Tensor& b);
Result<Tensor> logical_xor(const Tensor& a, const Tensor& b);
Result<Tensor> logical_not(const Tensor& t);

Tensor zeros_like(const Tensor& t);
Tensor ones_like(const Tensor& t);

// Runs the backward pass from `t` on the calling thread's tape (checks, seed, pass).
Result<void> backward(const Tensor& t);

// A copy of the gradient in the slot of `t`'s node on the calling thread's tape, if any.
std::optional<CpuStorage> grad(const Tensor& t);

// Empties the calling thread's tape.
void clear_graph();

}  // namespace zevra
