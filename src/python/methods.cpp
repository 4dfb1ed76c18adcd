// The methods of the class, in the order of its method table.
#include <optional>

#include "python/binder.hpp"
#include "python/detach.hpp"
#include "python/numpy_exchange.hpp"
#include "python/slots.hpp"
#include "python/tensor_object.hpp"

namespace zevra::python {

namespace {

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

std::size_t size_of(PyObject* self) {
  return record(self).storage->cpu.size();
}

// Binds a method that takes no arguments.
bool no_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  bool has_receiver = true) {
  if (PyVectorcall_NARGS(nargs) == 0 && !kwnames) return true;
  return bind({name, {}, 0, has_receiver}, args, nargs, kwnames, {});
}

PyObject* tensor_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.grad", args, nargs, kwnames)) return nullptr;
    std::optional<CpuStorage> g =
        run_sized(size_of(self), [&] { return zevra::grad(record(self)); });
    if (!g) Py_RETURN_NONE;
    return python::to_numpy(*g);
  });
}

PyObject* tensor_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.to_numpy", args, nargs, kwnames)) return nullptr;
    return python::to_numpy(record(self).storage->cpu);
  });
}

PyObject* tensor_zeros_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.zeros_like", args, nargs, kwnames)) return nullptr;
    return produce([&] {
      return run_sized(size_of(self),
                       [&] { return Result<Tensor>(zevra::zeros_like(record(self))); });
    });
  });
}

PyObject* tensor_ones_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.ones_like", args, nargs, kwnames)) return nullptr;
    return produce([&] {
      return run_sized(size_of(self),
                       [&] { return Result<Tensor>(zevra::ones_like(record(self))); });
    });
  });
}

PyObject* tensor_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* params[] = {"shape"};
    PyObject* arg;
    if (!bind({"Tensor.reshape", params, 1, true}, args, nargs, kwnames, {&arg, 1})) return nullptr;
    std::optional<Shape> shape = to_shape(arg);
    if (!shape) {
      note_parameter("shape");
      return nullptr;
    }
    return produce([&] {
      return run_sized(size_of(self), [&] { return zevra::reshape(record(self), *shape); });
    });
  });
}

PyObject* tensor_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* params[] = {"dim0", "dim1"};
    PyObject* argv[2];
    if (!bind({"Tensor.transpose", params, 2, true}, args, nargs, kwnames, argv)) return nullptr;
    std::size_t dims[2];
    for (int i = 0; i < 2; ++i) {
      std::optional<std::size_t> d = to_index(argv[i]);
      if (!d) {
        note_parameter(params[i]);
        return nullptr;
      }
      dims[i] = *d;
    }
    return produce([&] {
      return run_sized(size_of(self),
                       [&] { return zevra::transpose(record(self), dims[0], dims[1]); });
    });
  });
}

PyObject* tensor_backward(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.backward", args, nargs, kwnames)) return nullptr;
    // The pass walks the whole recorded graph, whose size the tensor does not tell.
    Result<void> done = [&] {
      DetachedThreadState detached;
      return zevra::backward(record(self));
    }();
    if (!done) {
      raise(done.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* tensor_clear_graph(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    if (!no_arguments("Tensor.clear_graph", args, nargs, kwnames, false)) return nullptr;
    {
      DetachedThreadState detached;  // releasing a large graph takes a while
      zevra::clear_graph();
    }
    Py_RETURN_NONE;
  });
}

template <auto F>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace

PyMethodDef tensor_methods[] = {
    {"grad", method<tensor_grad>(), fastcall, "grad($self)\n--\n\n"},
    {"__req__", method<tensor_req>(), fastcall, "__req__($self, other)\n--\n\n"},
    {"__rlt__", method<tensor_rlt>(), fastcall, "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", method<tensor_rgt>(), fastcall, "__rgt__($self, other)\n--\n\n"},
    {"to_numpy", method<tensor_to_numpy>(), fastcall, "to_numpy($self)\n--\n\n"},
    {"zeros_like", method<tensor_zeros_like>(), fastcall, "zeros_like($self)\n--\n\n"},
    {"ones_like", method<tensor_ones_like>(), fastcall, "ones_like($self)\n--\n\n"},
    {"reshape", method<tensor_reshape>(), fastcall, "reshape($self, shape)\n--\n\n"},
    {"transpose", method<tensor_transpose>(), fastcall, "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", method<tensor_backward>(), fastcall, "backward($self)\n--\n\n"},
    {"clear_graph", method<tensor_clear_graph>(), fastcall | METH_STATIC, "clear_graph()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zevra::python
