#include "tensor/core.hpp"

#include <utility>

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"

namespace zevra {

namespace {

Tensor constant(CpuStorage s) {
  return Tensor{std::nullopt, share(std::move(s)), false};
}

Result<Tensor> constant(Result<CpuStorage> s) {
  if (!s) return std::unexpected(std::move(s.error()));
  return constant(std::move(*s));
}

// The result of a differentiable operation: it requires a gradient exactly when a node was
// recorded for it.
Result<Tensor> result(std::optional<std::size_t> id, Result<CpuStorage> s) {
  if (!s) return std::unexpected(std::move(s.error()));
  return Tensor{id, share(std::move(*s)), id.has_value()};
}

// Records the node that `make` builds from the operands' ids when the result will require a
// gradient. Recording comes before the computation, so the node stays even if that fails.
template <class Make>
std::optional<std::size_t> record(const Tensor& a, const Tensor& b, Make make) {
  if (!a.requires_grad && !b.requires_grad) return std::nullopt;
  return thread_tape().push_node(make, a.node_id, b.node_id);
}

template <class Make>
std::optional<std::size_t> record(const Tensor& t, Make make) {
  if (!t.requires_grad) return std::nullopt;
  return thread_tape().push_node(make, t.node_id);
}

}  // namespace

Tensor make_tensor(CpuStorage storage, bool requires_grad) {
  std::optional<std::size_t> id;
  if (requires_grad) id = thread_tape().push_leaf();
  return Tensor{id, share(std::move(storage)), requires_grad};
}

Result<Tensor> add(const Tensor& a, const Tensor& b) {
  auto id = record(a, b, [](std::size_t l, std::size_t r) { return AddNode{l, r}; });
  return result(id, a.storage->cpu.add(b.storage->cpu));
}

Result<Tensor> sub(const Tensor& a, const Tensor& b) {
  auto id = record(a, b, [](std::size_t l, std::size_t r) { return SubNode{l, r}; });
  return result(id, a.storage->cpu.sub(b.storage->cpu));
}

Result<Tensor> mul(const Tensor& a, const Tensor& b) {
  auto id = record(a, b, [&](std::size_t l, std::size_t r) {
    return MulNode{a.storage, b.storage, l, r};
  });
  return result(id, a.storage->cpu.mul(b.storage->cpu));
}

Result<Tensor> div(const Tensor& a, const Tensor& b) {
  auto id = record(a, b, [&](std::size_t l, std::size_t r) {
    return DivNode{a.storage, b.storage, l, r};
  });
  return result(id, a.storage->cpu.div(b.storage->cpu));
}

Result<Tensor> matmul(const Tensor& a, const Tensor& b) {
  auto id = record(a, b, [&](std::size_t l, std::size_t r) {
    return MatmulNode{a.storage, b.storage, l, r};
  });
  return result(id, a.storage->cpu.matmul(b.storage->cpu));
}

Result<Tensor> scalar_add(const Tensor& t, float s) {
  auto id = record(t, [s](std::size_t i) { return ScalarAddNode{i, s}; });
  return result(id, t.storage->cpu.scalar_add(s));
}

Result<Tensor> scalar_sub(const Tensor& t, float s) {
  auto id = record(t, [s](std::size_t i) { return ScalarSubNode{i, s}; });
  return result(id, t.storage->cpu.scalar_sub(s));
}

Result<Tensor> scalar_mul(const Tensor& t, float s) {
  auto id = record(t, [s](std::size_t i) { return ScalarMulNode{i, s}; });
  return result(id, t.storage->cpu.scalar_mul(s));
}

// A product with the rounded reciprocal: there is no quotient kernel for a scalar divisor.
Result<Tensor> scalar_div(const Tensor& t, float s) {
  float r = 1.0f / s;
  auto id = record(t, [s](std::size_t i) { return ScalarDivNode{i, s}; });
  return result(id, t.storage->cpu.scalar_mul(r));
}

Result<Tensor> reshape(const Tensor& t, const Shape& shape) {
  auto id = record(t, [&](std::size_t i) { return ReshapeNode{t.storage->cpu.shape(), i}; });
  return result(id, t.storage->cpu.reshape(shape));
}

// The axes are saved unchecked; an axis out of range is the engine's fatal error.
Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1) {
  auto id = record(t, [=](std::size_t i) { return TransposeNode{i, dim0, dim1}; });
  return result(id, t.storage->cpu.transpose(dim0, dim1));
}

Result<Tensor> eq(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.eq(b.storage->cpu));
}
Result<Tensor> ge(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.ge(b.storage->cpu));
}
Result<Tensor> gt(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.gt(b.storage->cpu));
}
Result<Tensor> le(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.le(b.storage->cpu));
}
Result<Tensor> lt(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.lt(b.storage->cpu));
}

Result<Tensor> scalar_eq(const Tensor& t, float s) {
  return constant(t.storage->cpu.scalar_eq(s));
}
Result<Tensor> scalar_ge(const Tensor& t, float s) {
  return constant(t.storage->cpu.scalar_ge(s));
}
Result<Tensor> scalar_gt(const Tensor& t, float s) {
  return constant(t.storage->cpu.scalar_gt(s));
}
Result<Tensor> scalar_le(const Tensor& t, float s) {
  return constant(t.storage->cpu.scalar_le(s));
}
Result<Tensor> scalar_lt(const Tensor& t, float s) {
  return constant(t.storage->cpu.scalar_lt(s));
}

Result<Tensor> logical_and(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.logical_and(b.storage->cpu));
}
Result<Tensor> logical_or(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.logical_or(b.storage->cpu));
}
Result<Tensor> logical_xor(const Tensor& a, const Tensor& b) {
  return constant(a.storage->cpu.logical_xor(b.storage->cpu));
}

Result<Tensor> logical_not(const Tensor& t) {
  if (t.storage->cpu.dtype() != DType::Bool)
    return runtime_error("Logical NOT is only supported for Bool data type.");
  return constant(t.storage->cpu.logical_not());
}

Tensor zeros_like(const Tensor& t) {
  return constant(t.storage->cpu.zeros_like());
}
Tensor ones_like(const Tensor& t) {
  return constant(t.storage->cpu.ones_like());
}

Result<void> backward(const Tensor& t) {
  if (!t.requires_grad)
    return value_error("backward() called on tensor that does not require grad");
  if (!t.node_id) return value_error("backward() called on a constant tensor with no node_id");
  const CpuStorage& s = t.storage->cpu;
  return backward_pass(*t.node_id, s.dtype() == DType::Bool ? bool_ones(s.shape()) : s.ones_like());
}

std::optional<CpuStorage> grad(const Tensor& t) {
  if (!t.node_id) return std::nullopt;
  return thread_tape().get_grad(*t.node_id);
}

void clear_graph() {
  thread_tape().clear();
}

}  // namespace zevra
