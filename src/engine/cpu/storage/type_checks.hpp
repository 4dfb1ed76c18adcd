// The element-type rule of arithmetic and matrix products: both operands of one numeric type.
#pragma once

#include <optional>
#include <string>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

// The refusal for a pair of operands, or nothing when they may be combined. A differing type
// is reported before Bool, so Bool with a numeric type names both types.
inline std::optional<Error> arithmetic_type_error(const CpuStorage& a, const CpuStorage& b) {
  if (a.dtype() != b.dtype())
    return Error{ErrorKind::ValueError,
                 "Tensor DType mismatch during binary execution. Cannot operate between " +
                     std::string(dtype_name(a.dtype())) + " and " +
                     std::string(dtype_name(b.dtype())) + "."};
  if (a.dtype() == DType::Bool)
    return Error{ErrorKind::TypeError,
                 "Arithmetic operations are not supported for Bool data types. Cast to a numeric "
                 "type first."};
  return std::nullopt;
}

}  // namespace zevra
