// The operator slots and the explicit comparison methods.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "python/binder.hpp"
#include "python/detach.hpp"
#include "python/slots.hpp"
#include "python/tensor_object.hpp"

namespace zevra::python {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

// The right-hand operand of the arithmetic and comparison operators.
struct ScalarOrTensor {
  std::variant<PyObject*, double> value;  // a borrowed Tensor object, or a number
};

// Python's float conversion, or nothing (its error discarded): the slot then declines.
std::optional<double> number(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double x = PyFloat_AsDouble(obj);
  if (x == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return x;
}

std::optional<ScalarOrTensor> extract(PyObject* obj) {
  if (is_tensor(obj)) return ScalarOrTensor{obj};  // a tensor is never read as a number
  if (std::optional<double> x = number(obj)) return ScalarOrTensor{*x};
  return std::nullopt;
}

std::size_t size_of(const Tensor& t) {
  return t.storage->cpu.size();
}

std::size_t elementwise_work(const Tensor& a, const Tensor& b) {
  return broadcast_work(a.storage->cpu.shape(), b.storage->cpu.shape());
}

// Multiply-adds of a batched product [..., m, k] @ [..., k, n], roughly.
std::size_t matmul_work(const Tensor& a, const Tensor& b) {
  const Shape& sa = a.storage->cpu.shape();
  const Shape& sb = b.storage->cpu.shape();
  std::size_t m = sa.size() >= 2 ? sa[sa.size() - 2] : 1;
  std::size_t n = sb.empty() ? 1 : sb.back();
  std::size_t left, right;
  if (__builtin_mul_overflow(size_of(a), n, &left) || __builtin_mul_overflow(size_of(b), m, &right))
    return SIZE_MAX;
  return std::max(left, right);
}

PyObject* tensor_tensor(TensorOp op, PyObject* left, PyObject* right, std::size_t work) {
  const Tensor& a = record(left);
  const Tensor& b = record(right);
  return produce([&] { return run_sized(work, [&] { return op(a, b); }); });
}

PyObject* tensor_scalar(ScalarOp op, PyObject* tensor, double x) {
  const Tensor& t = record(tensor);
  float s = to_single(x);
  return produce([&] { return run_sized(size_of(t), [&] { return op(t, s); }); });
}

// + * /: a tensor or a number on the right; with `reflected`, also a number on the left.
template <TensorOp op, ScalarOp scalar_op, bool reflected>
PyObject* arithmetic(PyObject* left, PyObject* right) {
  return guarded([&]() -> PyObject* {
    if (is_tensor(left)) {
      if (std::optional<ScalarOrTensor> r = extract(right)) {
        if (auto* t = std::get_if<PyObject*>(&r->value))
          return tensor_tensor(op, left, *t, elementwise_work(record(left), record(*t)));
        return tensor_scalar(scalar_op, left, std::get<double>(r->value));
      }
    }
    if (reflected && is_tensor(right))
      if (std::optional<double> x = number(left)) return tensor_scalar(scalar_op, right, *x);
    Py_RETURN_NOTIMPLEMENTED;
  });
}

// & | ^ @: tensors on both sides only.
template <TensorOp op, bool is_matmul = false>
PyObject* tensors_only(PyObject* left, PyObject* right) {
  return guarded([&]() -> PyObject* {
    if (!is_tensor(left) || !is_tensor(right)) Py_RETURN_NOTIMPLEMENTED;
    std::size_t work = is_matmul ? matmul_work(record(left), record(right))
                                 : elementwise_work(record(left), record(right));
    return tensor_tensor(op, left, right, work);
  });
}

// Element-wise not-equal: the negation of ==, refused where == refuses, with "!=" in the message.
Result<Tensor> negated(Result<Tensor> equal) {
  if (!equal) {
    Error e = std::move(equal.error());
    if (std::size_t at = e.message.find("=="); at != std::string::npos)
      e.message.replace(at, 2, "!=");
    return std::unexpected(std::move(e));
  }
  return logical_not(*equal);
}

Result<Tensor> ne(const Tensor& a, const Tensor& b) {
  return negated(eq(a, b));
}
Result<Tensor> scalar_ne(const Tensor& t, float s) {
  return negated(scalar_eq(t, s));
}

struct Comparison {
  TensorOp tensor_op;
  ScalarOp scalar_op;
};

Comparison comparison(int op) {
  switch (op) {
    case Py_LT:
      return {lt, scalar_lt};
    case Py_LE:
      return {le, scalar_le};
    case Py_EQ:
      return {eq, scalar_eq};
    case Py_NE:
      return {ne, scalar_ne};
    case Py_GT:
      return {gt, scalar_gt};
    case Py_GE:
      return {ge, scalar_ge};
  }
  fatal("invalid compareop");
}

// A comparison method: `other` converted to single precision, the note on failure.
PyObject* compare_method(ScalarOp op, const char* name, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* params[] = {"other"};
    PyObject* other;
    if (!bind({name, params, 1, true}, args, nargs, kwnames, {&other, 1})) return nullptr;
    std::optional<float> s = to_scalar(other);
    if (!s) {
      note_parameter("other");
      return nullptr;
    }
    const Tensor& t = record(self);
    return produce([&] { return run_sized(size_of(t), [&] { return op(t, *s); }); });
  });
}

}  // namespace

PyObject* tensor_invert(PyObject* self) {
  return guarded([&] {
    const Tensor& t = record(self);
    return produce([&] { return run_sized(size_of(t), [&] { return logical_not(t); }); });
  });
}

PyObject* tensor_add(PyObject* l, PyObject* r) {
  return arithmetic<add, scalar_add, true>(l, r);
}
PyObject* tensor_subtract(PyObject* l, PyObject* r) {
  return arithmetic<sub, scalar_sub, false>(l, r);
}
PyObject* tensor_multiply(PyObject* l, PyObject* r) {
  return arithmetic<mul, scalar_mul, true>(l, r);
}
// A number divided by a tensor has no operation of its own, so it is declined like x - t.
PyObject* tensor_true_divide(PyObject* l, PyObject* r) {
  return arithmetic<div, scalar_div, false>(l, r);
}
PyObject* tensor_and(PyObject* l, PyObject* r) {
  return tensors_only<logical_and>(l, r);
}
PyObject* tensor_or(PyObject* l, PyObject* r) {
  return tensors_only<logical_or>(l, r);
}
PyObject* tensor_xor(PyObject* l, PyObject* r) {
  return tensors_only<logical_xor>(l, r);
}
PyObject* tensor_matmul(PyObject* l, PyObject* r) {
  return tensors_only<matmul, true>(l, r);
}

PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    std::optional<ScalarOrTensor> r = extract(other);
    if (!r) Py_RETURN_NOTIMPLEMENTED;
    Comparison c = comparison(op);
    if (auto* t = std::get_if<PyObject*>(&r->value))
      return tensor_tensor(c.tensor_op, self, *t, elementwise_work(record(self), record(*t)));
    return tensor_scalar(c.scalar_op, self, std::get<double>(r->value));
  });
}

PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return compare_method(scalar_eq, "Tensor.__req__", self, args, nargs, kwnames);
}
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return compare_method(scalar_gt, "Tensor.__rlt__", self, args, nargs, kwnames);
}
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return compare_method(scalar_lt, "Tensor.__rgt__", self, args, nargs, kwnames);
}

}  // namespace zevra::python
