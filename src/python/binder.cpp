#include "python/binder.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace zevra::python {

namespace {

Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.params.size(); ++i)
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return Py_ssize_t(i);
  return -1;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  Py_ssize_t self = sig.has_receiver ? 1 : 0;
  Py_ssize_t most = Py_ssize_t(sig.params.size()) + self;
  Py_ssize_t least = Py_ssize_t(sig.required) + self;
  given += self;
  const char* verb = given == 1 ? "was" : "were";
  if (least == most)
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.name,
                 most, most == 1 ? "" : "s", given, verb);
  else
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                 least, most, given, verb);
}

void missing(const Signature& sig, std::span<PyObject*> out) {
  std::vector<const char*> names;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (!out[i]) names.push_back(sig.params[i]);
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) list += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
    (list += '\'') += names[i];
    list += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name,
               names.size(), names.size() == 1 ? "" : "s", list.c_str());
}

// The binding itself, keywords given as parallel name and value arrays.
bool bind_keywords(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   std::span<PyObject* const> names, PyObject* const* values,
                   std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  Py_ssize_t n = Py_ssize_t(sig.params.size());
  for (Py_ssize_t i = 0; i < std::min(nargs, n); ++i) out[i] = args[i];
  for (std::size_t k = 0; k < names.size(); ++k) {
    Py_ssize_t i = find_param(sig, names[k]);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                   names[k]);
      return false;
    }
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[i]);
      return false;
    }
    out[i] = values[k];
  }
  if (nargs > n) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (std::size_t i = 0; i < sig.required; ++i)
    if (!out[i]) {
      missing(sig, out);
      return false;
    }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out) {
  nargs = PyVectorcall_NARGS(nargs);
  // The common call: positionals only, all there.
  if (!kwnames && nargs >= Py_ssize_t(sig.required) && nargs <= Py_ssize_t(sig.params.size())) {
    std::fill(out.begin(), out.end(), nullptr);
    std::copy(args, args + nargs, out.begin());
    return true;
  }
  // kwnames is a tuple owned by the caller for the duration of the call.
  std::span<PyObject* const> names;
  if (kwnames) names = {&PyTuple_GET_ITEM(kwnames, 0), std::size_t(PyTuple_GET_SIZE(kwnames))};
  return bind_keywords(sig, args, nargs, names, args + nargs, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  std::vector<PyObject*> names, values;
  if (kwargs) {
    // The dict is made by the interpreter for this one call, so no other thread sees it.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      names.push_back(key);
      values.push_back(value);
    }
  }
  return bind_keywords(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), names,
                       values.data(), out);
}

void note_parameter(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
#else
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  PyErr_NormalizeException(&type, &exc, &tb);
  if (tb) PyException_SetTraceback(exc, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
#endif
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s",
                                         ("while processing '" + std::string(param) + "'").c_str());
  if (!result) {  // the note could not be added: that failure is what gets raised
    Py_DECREF(exc);
    return;
  }
  Py_DECREF(result);
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(PyExceptionInstance_Class(exc)), exc, PyException_GetTraceback(exc));
#endif
}

std::optional<std::size_t> to_index(PyObject* obj) {
  PyObject* index = PyNumber_Index(obj);
  if (!index) return std::nullopt;
  std::size_t value = PyLong_AsSize_t(index);
  Py_DECREF(index);
  if (value == std::size_t(-1) && PyErr_Occurred()) return std::nullopt;
  return value;
}

std::optional<Shape> to_shape(PyObject* obj) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of integers, not %s", Py_TYPE(obj)->tp_name);
    return std::nullopt;
  }
  // A snapshot: items of a list that another thread changes are never read in place.
  Ref items(PySequence_Tuple(obj));
  if (!items) return std::nullopt;
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  Shape shape(std::size_t(n), 0);
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::optional<std::size_t> extent = to_index(PyTuple_GET_ITEM(items.get(), i));
    if (!extent) return std::nullopt;
    shape[std::size_t(i)] = *extent;
  }
  return shape;
}

std::optional<float> to_scalar(PyObject* obj) {
  double x = PyFloat_AsDouble(obj);
  if (x == -1.0 && PyErr_Occurred()) return std::nullopt;
  return to_single(x);
}

}  // namespace zevra::python
