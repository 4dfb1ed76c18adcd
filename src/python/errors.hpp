// How failures leave the binding: error values as the exception class their kind names, fatal
// errors as the dedicated BaseException subclass, exhausted memory as MemoryError.
#pragma once

#include <new>

#include "engine/cpu/error.hpp"
#include "python/python.hpp"

namespace zevra::python {

// The process-wide fatal-error class (borrowed; it lives until the process ends), created on
// first need. Null with the Python error set when it cannot be created.
PyObject* fatal_error_class();

// Raises an error value: the class its kind names, the message as the only argument.
void raise(const Error& error);

// Raises a fatal error's message as the fatal-error class.
void raise_fatal(const char* message);

// Runs the body of a slot or method; C++ failures become Python exceptions at this boundary.
// `failed` is what the slot returns after raising (nullptr, -1, ...).
template <class F, class R = decltype(std::declval<F>()())>
R guarded(F&& body, R failed = R{}) noexcept {
  try {
    return body();
  } catch (const FatalError& e) {
    raise_fatal(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return failed;
}

}  // namespace zevra::python
