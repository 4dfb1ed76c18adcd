// The one way the binding includes the interpreter's headers (Py_ssize_t lengths everywhere),
// an owner for strong references, and process-wide caches of Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>

namespace zevra::python {

struct DecRef {
  void operator()(PyObject* obj) const { Py_DECREF(obj); }
};

// A strong reference released on scope exit, also when a C++ exception passes.
using Ref = std::unique_ptr<PyObject, DecRef>;

// A Python object made on first need and kept for the process (the result is borrowed).
// Threads that race each make one; the first published wins and the others are dropped, so no
// thread ever waits on another while attached. `make` returns a new reference or nullptr with
// the Python error set.
template <class Make>
PyObject* cached(std::atomic<PyObject*>& slot, Make&& make) {
  if (PyObject* obj = slot.load(std::memory_order_acquire)) return obj;
  PyObject* made = make();
  if (!made) return nullptr;
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);
  return expected;
}

}  // namespace zevra::python
