// Transposition of a small block of 4-byte elements, with SIMD kernels chosen at run time.
// The loop engine uses it to bring tiles of a transposed operand into a contiguous buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zevra {

// dst[c * dst_stride + r] = src[r * src_stride + c] for r < rows and c < cols (strides in
// elements). The blocks must not overlap.
void transpose_block4(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                      std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols);

}  // namespace zevra
