// The Python class Tensor: a thin shell around one Tensor record that never changes once the
// object is handed out.
#pragma once

#include <atomic>
#include <utility>

#include "python/errors.hpp"
#include "python/python.hpp"
#include "tensor/core.hpp"

namespace zevra::python {

struct PyTensor {
  PyObject ob_base;  // the object header
  Tensor tensor;
};

// The class, published once it exists and never replaced.
inline std::atomic<PyObject*> tensor_type_slot{nullptr};

inline PyTypeObject* tensor_type() {
  return reinterpret_cast<PyTypeObject*>(tensor_type_slot.load(std::memory_order_acquire));
}

// Creates the class on first need and returns it (borrowed; it lives until the process ends),
// or nullptr with the Python error set.
PyTypeObject* ensure_tensor_type();

// The class cannot be subclassed, so an exact type test is the instance test.
inline bool is_tensor(PyObject* obj) {
  return Py_TYPE(obj) == tensor_type();
}

inline const Tensor& record(PyObject* obj) {
  return reinterpret_cast<PyTensor*>(obj)->tensor;
}

// A new object holding an empty record, to be filled before anyone else sees it. Allocating
// first means a failed allocation leaves no trace on the tape.
PyObject* new_tensor_object(PyTypeObject* type);

// Allocates the result object, then runs `compute` (returning Result<Tensor>) and moves its
// record in, or raises its error value.
template <class F>
PyObject* produce(F&& compute) {
  Ref obj(new_tensor_object(tensor_type()));
  if (!obj) return nullptr;
  Result<Tensor> result = std::forward<F>(compute)();
  if (!result) {
    raise(result.error());
    return nullptr;
  }
  reinterpret_cast<PyTensor*>(obj.get())->tensor = std::move(*result);
  return obj.release();
}

}  // namespace zevra::python
