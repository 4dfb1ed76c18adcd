// Gradient kernel of the batched matrix product.
#pragma once

#include <expected>
#include <string>

#include "engine/cpu/numeric/backward/binary.hpp"

namespace zevra {

// (grad @ rhsᵀ, lhsᵀ @ grad) through the forward product of T, with its checks and messages;
// the transposes exchange the last two axes without moving elements, and the first failure
// ends it.
template <class T>
std::expected<GradientPair<T>, std::string> matmul_backward(const NdArray<T>& grad,
                                                            const NdArray<T>& lhs,
                                                            const NdArray<T>& rhs);

}  // namespace zevra
