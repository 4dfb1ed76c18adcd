// Binds call arguments to parameters by Python's rules for positional and keyword arguments,
// with Python's own wording for missing, surplus and repeated arguments, and converts them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "engine/cpu/ndarray.hpp"
#include "python/python.hpp"

namespace zevra::python {

struct Signature {
  const char* name;                     // as messages show it, e.g. "Tensor.transpose"
  std::span<const char* const> params;  // every one may be given by position or by keyword
  std::size_t required;                 // the leading parameters without a default
  bool has_receiver;                    // `self` comes first and counts among the positionals
};

// Fills `out` (one entry per parameter) with borrowed references, nullptr for an omitted
// optional parameter. Returns false with TypeError set when the arguments do not fit.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out);

// The same for a call that arrives as a tuple and a dict (the constructor).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Attaches the note "while processing '<param>'" to the exception being raised.
void note_parameter(const char* param);

// Conversions of the methods' arguments. Each returns nothing with the conversion's own Python
// exception set; the caller adds the note.
std::optional<std::size_t> to_index(PyObject* obj);
std::optional<Shape> to_shape(PyObject* obj);
std::optional<float> to_scalar(PyObject* obj);

// Python's float conversion rounded to single precision (ties to even, overflow to infinity).
inline float to_single(double x) {
  return static_cast<float>(x);
}

}  // namespace zevra::python
