// CpuStorage: an immutable typed n-dimensional array, one variant per element type, and the
// engine's entry points. Every entry point reads its operands and returns a new storage or an
// error value; none of them writes into an existing storage.
#pragma once

#include <utility>
#include <variant>

#include "engine/cpu/dtype.hpp"
#include "engine/cpu/error.hpp"
#include "engine/cpu/float16.hpp"
#include "engine/cpu/ndarray.hpp"

namespace zevra {

// Variant order follows DType: F16, BF16, F32, Bool.
using CpuArray = std::variant<NdArray<f16>, NdArray<bf16>, NdArray<float>, NdArray<bool>>;

class CpuStorage {
 public:
  CpuArray array;

  template <class T>
  CpuStorage(NdArray<T> a) : array(std::move(a)) {}

  DType dtype() const { return static_cast<DType>(array.index()); }
  const Shape& shape() const;
  const Strides& strides() const;
  std::size_t ndim() const { return shape().size(); }
  std::size_t size() const { return element_count(shape()); }

  // Two-storage arithmetic with broadcasting (numeric types only).
  Result<CpuStorage> add(const CpuStorage& other) const;
  Result<CpuStorage> sub(const CpuStorage& other) const;
  Result<CpuStorage> mul(const CpuStorage& other) const;
  Result<CpuStorage> div(const CpuStorage& other) const;

  // Two-storage comparisons with broadcasting (any type, both the same); Bool results.
  Result<CpuStorage> eq(const CpuStorage& other) const;
  Result<CpuStorage> ge(const CpuStorage& other) const;
  Result<CpuStorage> gt(const CpuStorage& other) const;
  Result<CpuStorage> le(const CpuStorage& other) const;
  Result<CpuStorage> lt(const CpuStorage& other) const;

  // Storage-and-scalar arithmetic and comparisons; the element is always on the left.
  Result<CpuStorage> scalar_add(float s) const;
  Result<CpuStorage> scalar_sub(float s) const;
  Result<CpuStorage> scalar_mul(float s) const;
  Result<CpuStorage> scalar_eq(float s) const;
  Result<CpuStorage> scalar_ge(float s) const;
  Result<CpuStorage> scalar_gt(float s) const;
  Result<CpuStorage> scalar_le(float s) const;
  Result<CpuStorage> scalar_lt(float s) const;

  // Logical operations on Bool storages with broadcasting, and negation.
  Result<CpuStorage> logical_and(const CpuStorage& other) const;
  Result<CpuStorage> logical_or(const CpuStorage& other) const;
  Result<CpuStorage> logical_xor(const CpuStorage& other) const;
  // Negation of a Bool storage; the caller has checked the element type.
  CpuStorage logical_not() const;

  // Batched matrix product with broadcast batch axes.
  Result<CpuStorage> matmul(const CpuStorage& other) const;

  // Shape operations.
  CpuStorage zeros_like() const;
  CpuStorage ones_like() const;
  Result<CpuStorage> reshape(const Shape& shape) const;
  // An axis out of range is a fatal error.
  CpuStorage transpose(std::size_t dim0, std::size_t dim1) const;
  // A copy with its own buffer, the same shape and strides.
  CpuStorage copy() const;

  // Gradient kernels: called on lhs with (grad, rhs); return (gradient for lhs, for rhs).
  Result<std::pair<CpuStorage, CpuStorage>> backward_mul(const CpuStorage& grad,
                                                         const CpuStorage& rhs) const;
  Result<std::pair<CpuStorage, CpuStorage>> backward_div(const CpuStorage& grad,
                                                         const CpuStorage& rhs) const;
  Result<std::pair<CpuStorage, CpuStorage>> backward_matmul(const CpuStorage& grad,
                                                            const CpuStorage& rhs) const;
};

// An all-true Bool storage of the given shape, row-major (the seed of a Bool backward pass).
CpuStorage bool_ones(const Shape& shape);

}  // namespace zevra
