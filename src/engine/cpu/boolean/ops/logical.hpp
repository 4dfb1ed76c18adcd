// Logical kernels on Bool arrays (bytes 0 and 1): AND, OR, XOR with broadcasting, and NOT.
#pragma once

#include "engine/cpu/ndarray.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace zevra {

Broadcasted<NdArray<bool>> logical_and(const NdArray<bool>& a, const NdArray<bool>& b);
Broadcasted<NdArray<bool>> logical_or(const NdArray<bool>& a, const NdArray<bool>& b);
Broadcasted<NdArray<bool>> logical_xor(const NdArray<bool>& a, const NdArray<bool>& b);

// Laid out like a scalar kernel's result: a's strides when a is dense, row-major otherwise.
NdArray<bool> logical_not(const NdArray<bool>& a);

}  // namespace zevra
