// Batched matrix multiplication: the last two axes of each operand hold its matrices, the axes
// before them are batch axes broadcast against each other. All arithmetic is float32.
#pragma once

#include <expected>
#include <string>

#include "engine/cpu/float16.hpp"
#include "engine/cpu/ndarray.hpp"

namespace zevra {

// The float32 product of `a` (..., m, k) and `b` (..., k, n): a new row-major array of shape
// broadcast(batch of a, batch of b) ++ [m, n], or the message of the first failed check. An
// output too large to count is a fatal error.
std::expected<NdArray<float>, std::string> internal_linalg_matmul(const NdArray<float>& a,
                                                                  const NdArray<float>& b);

// The product for one numeric element type. The 16-bit types are widened to float32 (exactly),
// multiplied with float32 accumulation, and every result element is rounded once.
template <class T>
struct MatmulOps {
  static std::expected<NdArray<T>, std::string> do_matmul(const NdArray<T>& a, const NdArray<T>& b);
};

}  // namespace zevra
