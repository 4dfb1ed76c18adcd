#include "engine/cpu/block_transpose.hpp"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace zevra {

namespace {

using Transpose = void (*)(std::uint32_t*, std::ptrdiff_t, const std::uint32_t*, std::ptrdiff_t,
                           std::size_t, std::size_t);

void transpose_scalar(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                      std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols) {
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < cols; ++c)
      dst[std::ptrdiff_t(c) * dst_stride + std::ptrdiff_t(r)] =
          src[std::ptrdiff_t(r) * src_stride + std::ptrdiff_t(c)];
}

// Full square blocks of side B go through `square`, the ragged edges element by element.
template <std::size_t B, class Square>
void transpose_tiled(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                     std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols, Square square) {
  std::size_t full_rows = rows / B * B, full_cols = cols / B * B;
  for (std::size_t r = 0; r < full_rows; r += B)
    for (std::size_t c = 0; c < full_cols; c += B)
      square(dst + std::ptrdiff_t(c) * dst_stride + std::ptrdiff_t(r), dst_stride,
             src + std::ptrdiff_t(r) * src_stride + std::ptrdiff_t(c), src_stride);
  transpose_scalar(dst + std::ptrdiff_t(full_cols) * dst_stride, dst_stride,
                   src + std::ptrdiff_t(full_cols), src_stride, rows, cols - full_cols);
  transpose_scalar(dst + std::ptrdiff_t(full_rows), dst_stride,
                   src + std::ptrdiff_t(full_rows) * src_stride, src_stride, rows - full_rows,
                   full_cols);
}

[[gnu::target("avx2")]] void square8(std::uint32_t* dst, std::ptrdiff_t dst_stride,
                                     const std::uint32_t* src, std::ptrdiff_t src_stride) {
  __m256 r[8], t[8];
  for (int i = 0; i < 8; ++i)
    r[i] = _mm256_loadu_ps(reinterpret_cast<const float*>(src + i * src_stride));
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    r[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
    r[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
    r[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    r[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  for (int i = 0; i < 4; ++i) {
    t[i] = _mm256_permute2f128_ps(r[i], r[i + 4], 0x20);
    t[i + 4] = _mm256_permute2f128_ps(r[i], r[i + 4], 0x31);
  }
  for (int i = 0; i < 8; ++i)
    _mm256_storeu_ps(reinterpret_cast<float*>(dst + i * dst_stride), t[i]);
}

[[gnu::target("avx512f")]] void square16(std::uint32_t* dst, std::ptrdiff_t dst_stride,
                                         const std::uint32_t* src, std::ptrdiff_t src_stride) {
  __m512 r[16], t[16];
  for (int i = 0; i < 16; ++i)
    r[i] = _mm512_loadu_ps(reinterpret_cast<const float*>(src + i * src_stride));
  // Pairs, then quadruples of 32-bit elements within 128-bit lanes, then the lanes themselves.
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(r[i], r[i + 1]);
  }
  for (int i = 0; i < 16; i += 4) {
    r[i] = _mm512_shuffle_ps(t[i], t[i + 2], 0x44);
    r[i + 1] = _mm512_shuffle_ps(t[i], t[i + 2], 0xEE);
    r[i + 2] = _mm512_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    r[i + 3] = _mm512_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  for (int i = 0; i < 4; ++i) {
    t[i] = _mm512_shuffle_f32x4(r[i], r[i + 4], 0x88);
    t[i + 4] = _mm512_shuffle_f32x4(r[i], r[i + 4], 0xDD);
    t[i + 8] = _mm512_shuffle_f32x4(r[i + 8], r[i + 12], 0x88);
    t[i + 12] = _mm512_shuffle_f32x4(r[i + 8], r[i + 12], 0xDD);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm512_shuffle_f32x4(t[i], t[i + 8], 0x88);
    r[i + 8] = _mm512_shuffle_f32x4(t[i], t[i + 8], 0xDD);
    r[i + 4] = _mm512_shuffle_f32x4(t[i + 4], t[i + 12], 0x88);
    r[i + 12] = _mm512_shuffle_f32x4(t[i + 4], t[i + 12], 0xDD);
  }
  for (int i = 0; i < 16; ++i)
    _mm512_storeu_ps(reinterpret_cast<float*>(dst + i * dst_stride), r[i]);
}

void transpose_avx2(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                    std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols) {
  transpose_tiled<8>(dst, dst_stride, src, src_stride, rows, cols, square8);
}

void transpose_avx512(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                      std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols) {
  transpose_tiled<16>(dst, dst_stride, src, src_stride, rows, cols, square16);
}

Transpose best_transpose() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return transpose_avx512;
  if (__builtin_cpu_supports("avx2")) return transpose_avx2;
  return transpose_scalar;
}

}  // namespace

void transpose_block4(std::uint32_t* dst, std::ptrdiff_t dst_stride, const std::uint32_t* src,
                      std::ptrdiff_t src_stride, std::size_t rows, std::size_t cols) {
  static const Transpose chosen = best_transpose();
  chosen(dst, dst_stride, src, src_stride, rows, cols);
}

}  // namespace zevra
