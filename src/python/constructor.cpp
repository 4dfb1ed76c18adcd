// Tensor(data, dtype=None, device="cpu", requires_grad=False)
#include <atomic>

#include "python/binder.hpp"
#include "python/numpy_exchange.hpp"
#include "python/slots.hpp"
#include "python/tensor_object.hpp"

namespace zevra::python {

namespace {

// The device must be a str; any letter case of "cpu" is accepted.
bool check_device(PyObject* device) {
  if (!device) return true;
  if (!PyUnicode_Check(device)) {
    PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(device)->tp_name);
    note_parameter("device");
    return false;
  }
  return true;
}

// A Python bool or a NumPy boolean scalar; nothing with the Python error set otherwise.
std::optional<bool> requires_grad_flag(PyObject* flag) {
  if (!flag) return false;
  if (PyBool_Check(flag)) return flag == Py_True;
  if (is_numpy_bool(flag)) {
    int truth = PyObject_IsTrue(flag);
    if (truth >= 0) return truth == 1;
  } else {
    PyErr_Format(PyExc_TypeError, "expected bool, got %s", Py_TYPE(flag)->tp_name);
  }
  note_parameter("requires_grad");
  return std::nullopt;
}

bool device_is_cpu(PyObject* device) {
  if (!device || PyUnicode_CompareWithASCIIString(device, "cpu") == 0) return true;
  // Full Unicode lower-casing, by str's own method even for subclasses that redefine it.
  Ref lower(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", device));
  if (!lower) return false;
  if (PyUnicode_CompareWithASCIIString(lower.get(), "cpu") == 0) return true;
  PyErr_SetString(PyExc_ValueError, "The device string is invalid or not supported.");
  return false;
}

// The element-type name: the text of a str, else the object's __name__, else the name of the
// NumPy dtype made from the object.
Ref element_type_name(PyObject* dtype) {
  if (!dtype) return Ref(PyUnicode_FromString("float32"));
  if (PyUnicode_Check(dtype)) return Ref(Py_NewRef(dtype));
  Ref name(PyObject_GetAttrString(dtype, "__name__"));
  if (!name) {
    PyErr_Clear();
    PyObject* numpy = numpy_module();
    if (!numpy) return nullptr;
    // "(O)": with "O" alone a tuple would be unpacked into several arguments.
    Ref descr(PyObject_CallMethod(numpy, "dtype", "(O)", dtype));
    if (!descr) return nullptr;
    name.reset(PyObject_GetAttrString(descr.get(), "name"));
    if (!name) return nullptr;
  }
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "expected the element-type name as str, got %s",
                 Py_TYPE(name.get())->tp_name);
    return nullptr;
  }
  return name;
}

const ElementTypeName* accepted(PyObject* name) {
  for (const ElementTypeName& e : element_type_names)
    if (PyUnicode_CompareWithASCIIString(name, e.name) == 0) return &e;
  return nullptr;
}

// numpy.array(data, dtype=<NumPy name>): always a new array of that element type.
Ref numpy_array(PyObject* data, const ElementTypeName& entry) {
  static std::atomic<PyObject*> array_name{nullptr}, kwnames{nullptr};
  static std::atomic<PyObject*> numpy_names[4]{};
  PyObject* numpy = numpy_module();
  if (!numpy) return nullptr;
  PyObject* method = cached(array_name, [] { return PyUnicode_InternFromString("array"); });
  PyObject* keywords = cached(kwnames, [] { return Py_BuildValue("(s)", "dtype"); });
  PyObject* dtype =
      cached(numpy_names[int(entry.dtype)], [&] { return PyUnicode_FromString(entry.numpy_name); });
  if (!method || !keywords || !dtype) return nullptr;
  PyObject* args[] = {numpy, data, dtype};
  return Ref(PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

constexpr const char* params[] = {"data", "dtype", "device", "requires_grad"};
constexpr Signature signature{"Tensor", params, 1, false};

// The constructor's steps once the arguments are bound.
PyObject* construct(PyTypeObject* type, PyObject* const* argv) {
  PyObject* data = argv[0];
  PyObject* dtype = argv[1] == Py_None ? nullptr : argv[1];
  PyObject* device = argv[2];
  if (!check_device(device)) return nullptr;
  std::optional<bool> requires_grad = requires_grad_flag(argv[3]);
  if (!requires_grad) return nullptr;
  if (!device_is_cpu(device)) return nullptr;

  Ref name = element_type_name(dtype);
  if (!name) return nullptr;
  const ElementTypeName* entry = accepted(name.get());
  if (!entry) {
    PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name.get());
    return nullptr;
  }
  std::optional<CpuStorage> storage;
  if (casts_directly(data, entry->dtype)) {
    storage = cast_from_numpy(data, entry->dtype);  // one copy instead of two
  } else {
    Ref array = numpy_array(data, *entry);
    if (!array) return nullptr;
    storage = from_numpy(array.get(), entry->name);
  }
  if (!storage) return nullptr;
  // The object exists before the tape is touched, so a failed allocation leaves no leaf.
  Ref obj(new_tensor_object(type));
  if (!obj) return nullptr;
  reinterpret_cast<PyTensor*>(obj.get())->tensor = make_tensor(std::move(*storage), *requires_grad);
  return obj.release();
}

}  // namespace

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    return bind(signature, args, kwargs, argv) ? construct(type, argv) : nullptr;
  });
}

PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* argv[4];
    return bind(signature, args, Py_ssize_t(nargsf), kwnames, argv)
               ? construct(reinterpret_cast<PyTypeObject*>(type), argv)
               : nullptr;
  });
}

}  // namespace zevra::python
