// The entry points the class's slot, method and property tables are built from.
#pragma once

#include <cstddef>

#include "python/python.hpp"

namespace zevra::python {

// The constructor, as the new slot and as the class's vectorcall (constructor.cpp).
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames);

// Operators (operators.cpp).
PyObject* tensor_invert(PyObject* self);
PyObject* tensor_add(PyObject* left, PyObject* right);
PyObject* tensor_subtract(PyObject* left, PyObject* right);
PyObject* tensor_multiply(PyObject* left, PyObject* right);
PyObject* tensor_and(PyObject* left, PyObject* right);
PyObject* tensor_or(PyObject* left, PyObject* right);
PyObject* tensor_xor(PyObject* left, PyObject* right);
PyObject* tensor_matmul(PyObject* left, PyObject* right);
PyObject* tensor_true_divide(PyObject* left, PyObject* right);
PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op);

// The comparison methods, called explicitly only (operators.cpp).
PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The method table in its final order (methods.cpp).
extern PyMethodDef tensor_methods[];

}  // namespace zevra::python
