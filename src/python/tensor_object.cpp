#include "python/tensor_object.hpp"

#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/slots.hpp"

namespace zevra::python {

namespace {

const CpuStorage& storage_of(PyObject* self) {
  return record(self).storage->cpu;
}

template <class Int>
PyObject* int_list(const std::vector<Int>& values) {
  Ref list(PyList_New(Py_ssize_t(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = std::is_signed_v<Int> ? PyLong_FromSsize_t(Py_ssize_t(values[i]))
                                           : PyLong_FromSize_t(std::size_t(values[i]));
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
  }
  return list.release();
}

PyObject* get_shape(PyObject* self, void*) {
  return guarded([&] { return int_list(storage_of(self).shape()); });
}

PyObject* get_ndim(PyObject* self, void*) {
  return PyLong_FromSize_t(storage_of(self).ndim());
}

PyObject* get_strides(PyObject* self, void*) {
  return guarded([&] { return int_list(storage_of(self).strides()); });
}

PyObject* get_dtype(PyObject* self, void*) {
  std::string_view name = dtype_property_name(storage_of(self).dtype());
  return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* get_device(PyObject*, void*) {
  return PyUnicode_FromString("cpu");
}

PyObject* get_requires_grad(PyObject* self, void*) {
  return PyBool_FromLong(record(self).requires_grad);
}

PyGetSetDef properties[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Releases the storage reference; graph nodes recorded for the tensor stay on the tape.
  std::destroy_at(&reinterpret_cast<PyTensor*>(self)->tensor);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot slots[] = {
    {Py_nb_invert, reinterpret_cast<void*>(tensor_invert)},
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(tensor_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(tensor_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(tensor_and)},
    {Py_nb_or, reinterpret_cast<void*>(tensor_or)},
    {Py_nb_xor, reinterpret_cast<void*>(tensor_xor)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(tensor_matmul)},
    {Py_nb_true_divide, reinterpret_cast<void*>(tensor_true_divide)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tensor_richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc,
     const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
    {Py_tp_methods, tensor_methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {
    "zevra.Tensor",
    sizeof(PyTensor),
    0,
    // Not a base type; no instance dict, no weak references, not tracked by the collector.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* ensure_tensor_type() {
  return reinterpret_cast<PyTypeObject*>(cached(tensor_type_slot, [] {
    PyObject* made = PyType_FromSpec(&spec);
    // Calls to the class skip building an argument tuple and dict.
    if (made) reinterpret_cast<PyTypeObject*>(made)->tp_vectorcall = tensor_vectorcall;
    return made;
  }));
}

PyObject* new_tensor_object(PyTypeObject* type) {
  PyTensor* obj = PyObject_New(PyTensor, type);
  if (!obj) return nullptr;
  new (&obj->tensor) Tensor{};
  return reinterpret_cast<PyObject*>(obj);
}

}  // namespace zevra::python
