#include "python/numpy_exchange.hpp"

#include <string>
#include <vector>

#include <numpy/arrayobject.h>

#include "engine/cpu/storage/exchange.hpp"
#include "python/detach.hpp"
#include "python/errors.hpp"

namespace zevra::python {

namespace {

std::atomic<PyObject*> numpy_slot{nullptr};
std::atomic<PyObject*> bfloat16_slot{nullptr};

// The dtype NumPy resolves for "bfloat16" (borrowed), or nullptr, error cleared, when no
// package has registered one. A failed lookup is not kept: the package may be imported later.
PyArray_Descr* bfloat16_descr() {
  PyObject* descr = cached(bfloat16_slot, []() -> PyObject* {
    Ref name(PyUnicode_FromString("bfloat16"));
    PyArray_Descr* d = nullptr;
    if (!name || !PyArray_DescrConverter(name.get(), &d)) return nullptr;
    return reinterpret_cast<PyObject*>(d);
  });
  if (!descr) PyErr_Clear();
  return reinterpret_cast<PyArray_Descr*>(descr);
}

// A new reference to the NumPy dtype of an element type, or nullptr (no error set) for a BF16
// that NumPy does not know.
PyArray_Descr* descr_of(DType dtype) {
  switch (dtype) {
    case DType::F32:
      return PyArray_DescrFromType(NPY_FLOAT32);
    case DType::F16:
      return PyArray_DescrFromType(NPY_FLOAT16);
    case DType::Bool:
      return PyArray_DescrFromType(NPY_BOOL);
    case DType::BF16:
      break;
  }
  PyArray_Descr* d = bfloat16_descr();
  Py_XINCREF(d);
  return d;
}

std::string type_name(PyObject* obj) {
  return Py_TYPE(obj)->tp_name;
}

}  // namespace

bool import_numpy_api() {
  return PyArray_ImportNumPyAPI() == 0;
}

PyObject* numpy_module() {
  return cached(numpy_slot, [] { return PyImport_ImportModule("numpy"); });
}

bool is_numpy_bool(PyObject* obj) {
  return PyArray_IsScalar(obj, Bool);
}

std::optional<CpuStorage> from_numpy(PyObject* obj, std::string_view name) {
  if (!PyArray_Check(obj)) {
    raise(Error{ErrorKind::TypeError, "Expected a numpy.ndarray, got " + type_name(obj)});
    return std::nullopt;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  int nd = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  Shape shape(dims, dims + nd);

  const ElementTypeName* entry = nullptr;
  for (const ElementTypeName& e : element_type_names)
    if (name == e.name) entry = &e;
  if (!entry) {
    raise(Error{ErrorKind::TypeError,
                "Unsupported data type '" + std::string(name) +
                    "'. Only float32, float16, bfloat16, and bool are supported."});
    return std::nullopt;
  }
  DType dtype = entry->dtype;
  Ref expected(reinterpret_cast<PyObject*>(descr_of(dtype)));
  if (!expected ||
      !PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get()))) {
    Ref got(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* got_name = got ? PyUnicode_AsUTF8(got.get()) : nullptr;
    if (!got_name) return std::nullopt;
    raise(Error{ErrorKind::TypeError, "Expected a numpy.ndarray of dtype " +
                                          std::string(entry->numpy_name) +
                                          ", got an array of dtype " + got_name});
    return std::nullopt;
  }

  std::size_t width = dtype_width(dtype);
  std::size_t work = element_count(shape);
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    if (!PyArray_ISALIGNED(array)) {
      raise(Error{ErrorKind::TypeError, "The given array is not contiguous or is misaligned."});
      return std::nullopt;
    }
    const void* data = PyArray_DATA(array);
    return run_sized(work, [&] { return storage_from_block(dtype, data, std::move(shape)); });
  }
  // Any other layout is read element by element in row-major order, which needs strides in
  // whole, aligned elements; NumPy first lays out anything else (views of packed records).
  const npy_intp* byte_strides = PyArray_STRIDES(array);
  Strides strides(std::size_t(nd), 0);
  bool whole = PyArray_ISALIGNED(array);
  for (int i = 0; i < nd; ++i) {
    whole = whole && byte_strides[i] % npy_intp(width) == 0;
    strides[std::size_t(i)] = byte_strides[i] / npy_intp(width);
  }
  if (!whole) {
    Ref copy(PyArray_NewCopy(array, NPY_CORDER));
    if (!copy) return std::nullopt;
    const void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get()));
    return run_sized(work, [&] { return storage_from_block(dtype, data, std::move(shape)); });
  }
  const void* data = PyArray_DATA(array);
  return run_sized(work,
                   [&] { return storage_from_strided(dtype, data, std::move(shape), strides); });
}

bool casts_directly(PyObject* data, DType dtype) {
  return PyArray_CheckExact(data) && (dtype != DType::BF16 || bfloat16_descr());
}

std::optional<CpuStorage> cast_from_numpy(PyObject* data, DType dtype) {
  auto* source = reinterpret_cast<PyArrayObject*>(data);
  int nd = PyArray_NDIM(source);
  npy_intp* dims = PyArray_DIMS(source);
  auto [storage, elements] = storage_to_fill(dtype, Shape(dims, dims + nd));
  // A view of the new elements that lives only for this copy.
  Ref view(PyArray_NewFromDescr(&PyArray_Type, descr_of(dtype), nd, dims, nullptr, elements,
                                NPY_ARRAY_CARRAY, nullptr));
  if (!view || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(view.get()), source) < 0)
    return std::nullopt;
  view.reset();
  if (dtype == DType::Bool)
    run_sized(storage.size(), [&] { normalise_bools(elements, storage.size()); });
  return std::move(storage);
}

PyObject* to_numpy(const CpuStorage& storage) {
  DType dtype = storage.dtype();
  const Shape& shape = storage.shape();
  ExportLayout layout = export_layout(storage);
  std::vector<npy_intp> dims(shape.begin(), shape.end());
  std::vector<npy_intp> strides;
  if (layout != ExportLayout::RowMajorCopy)
    for (std::ptrdiff_t s : storage.strides())
      strides.push_back(npy_intp(s) * npy_intp(dtype_width(dtype)));
  PyArray_Descr* descr = descr_of(dtype);
  if (!descr)
    fatal(
        "A package providing a `bfloat16` data type for NumPy is required to hand out bf16 "
        "tensors (for example ml_dtypes).");
  // Steals the reference to descr, also on failure.
  Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, int(dims.size()), dims.data(),
                                 strides.empty() ? nullptr : strides.data(), nullptr, 0, nullptr));
  if (!array) return nullptr;
  void* dst = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
  run_sized(storage.size(), [&] { export_elements(storage, layout, dst); });
  return array.release();
}

}  // namespace zevra::python
