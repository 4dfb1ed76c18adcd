// Data crossing the NumPy boundary, always by copy: arrays in (from_numpy) and out
// (storage to array), the element-type names, and NumPy's module and C API.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "engine/cpu/storage/cpu_storage.hpp"
#include "python/python.hpp"

namespace zevra::python {

// An element-type name accepted from Python, and the name NumPy is given for it.
struct ElementTypeName {
  const char* name;
  DType dtype;
  const char* numpy_name;
};

inline constexpr ElementTypeName element_type_names[] = {
    {"float32", DType::F32, "float32"},    {"f32", DType::F32, "float32"},
    {"float16", DType::F16, "float16"},    {"f16", DType::F16, "float16"},
    {"bfloat16", DType::BF16, "bfloat16"}, {"bf16", DType::BF16, "bfloat16"},
    {"bool", DType::Bool, "bool"},
};

// Loads NumPy's C API (the module's exec step); false with the Python error set.
bool import_numpy_api();

// The "numpy" module (borrowed; kept for the process), or nullptr with the Python error set.
PyObject* numpy_module();

// Whether the object is a NumPy boolean scalar (numpy.bool_ / numpy.bool).
bool is_numpy_bool(PyObject* obj);

// A new storage holding a copy of a NumPy array's elements in row-major layout, of the element
// type that `name` (an accepted name) selects. Nothing with the Python error set on failure.
std::optional<CpuStorage> from_numpy(PyObject* obj, std::string_view name);

// Whether `data` is exactly a NumPy array that cast_from_numpy can read as `dtype`.
bool casts_directly(PyObject* data, DType dtype);

// What numpy.array(data, dtype=<NumPy name>) followed by from_numpy gives, in one pass: NumPy
// casts the elements (with the same casting as numpy.array) straight into a new row-major
// storage. Nothing with the Python error set on failure.
std::optional<CpuStorage> cast_from_numpy(PyObject* data, DType dtype);

// A new NumPy array holding a copy of the storage's elements, or nullptr with the Python error
// set. Handing out a BF16 storage while NumPy knows no "bfloat16" dtype is a fatal error.
PyObject* to_numpy(const CpuStorage& storage);

}  // namespace zevra::python
