// The extension module zevra_core: multi-phase initialisation whose exec step publishes the
// Tensor class.
#include "python/errors.hpp"
#include "python/numpy_exchange.hpp"
#include "python/python.hpp"
#include "python/tensor_object.hpp"

namespace zevra::python {

namespace {

// Appends "Tensor" to the module's __all__, making the list first when there is none.
int add_to_all(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  Ref owned(all);
  if (!PyList_Check(all)) {
    PyErr_Format(PyExc_TypeError, "__all__ must be a list, not %s", Py_TYPE(all)->tp_name);
    return -1;
  }
  Ref name(PyUnicode_FromString("Tensor"));
  if (!name) return -1;
  if (PyList_Append(all, name.get()) < 0) {
    PyErr_Clear();
    fatal("could not append to the module's __all__");
  }
  return 0;
}

int exec(PyObject* module) {
  return guarded(
      [&] {
        if (!import_numpy_api()) return -1;
        PyTypeObject* type = ensure_tensor_type();
        if (!type) return -1;
        if (add_to_all(module) < 0) return -1;
        if (PyModule_AddObjectRef(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0)
          return -1;
        // Reachable by name for `except`, though not part of __all__.
        PyObject* fatal_class = fatal_error_class();
        if (!fatal_class || PyModule_AddObjectRef(module, "FatalError", fatal_class) < 0) return -1;
        return 0;
      },
      -1);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The class and caches are kept per process, not per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "zevra_core", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace zevra::python

PyMODINIT_FUNC PyInit_zevra_core() {
  return PyModuleDef_Init(&zevra::python::definition);
}
