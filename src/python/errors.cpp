#include "python/errors.hpp"

namespace zevra::python {

namespace {
std::atomic<PyObject*> fatal_class{nullptr};
}  // namespace

PyObject* fatal_error_class() {
  return cached(fatal_class, [] {
    return PyErr_NewExceptionWithDoc(
        "zevra.FatalError",
        "An operation was abandoned midway: an axis out of range, an element count too large "
        "to represent, a conflicting use of the tape, or a missing bfloat16 dtype. Derives "
        "from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  });
}

void raise(const Error& error) {
  PyObject* cls = error.kind == ErrorKind::TypeError    ? PyExc_TypeError
                  : error.kind == ErrorKind::ValueError ? PyExc_ValueError
                                                        : PyExc_RuntimeError;
  PyErr_SetString(cls, error.message.c_str());
}

void raise_fatal(const char* message) {
  PyObject* cls = fatal_error_class();
  if (!cls) return;  // the failure to create the class is what the caller sees
  PyErr_SetString(cls, *message ? message : "fatal error");
}

}  // namespace zevra::python
