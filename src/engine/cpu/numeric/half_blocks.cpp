#include "engine/cpu/numeric/half_blocks.hpp"

// GCC 12's AVX-512 intrinsics start from a deliberately undefined vector and then warn about it.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "engine/cpu/numeric/core.hpp"

namespace zevra {

namespace {

struct Converters {
  void (*widen)(float*, const f16*, std::size_t);
  void (*narrow)(f16*, const float*, std::size_t);
};

void widen_any(float* dst, const f16* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = widen(src[i]);
}

void narrow_any(f16* dst, const float* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = to_f16(src[i]);
}

[[gnu::target("avx2,f16c")]] void widen_f16c(float* dst, const f16* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(dst + i,
                     _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
  widen_any(dst + i, src + i, n - i);
}

[[gnu::target("avx2,f16c")]] void narrow_f16c(f16* dst, const float* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT));
  narrow_any(dst + i, src + i, n - i);
}

[[gnu::target("avx512f")]] void widen_avx512(float* dst, const f16* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm512_storeu_ps(
        dst + i, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i))));
  widen_any(dst + i, src + i, n - i);
}

[[gnu::target("avx512f")]] void narrow_avx512(f16* dst, const float* src, std::size_t n) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm512_cvtps_ph(_mm512_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT));
  narrow_any(dst + i, src + i, n - i);
}

Converters best_converters() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return {widen_avx512, narrow_avx512};
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c"))
    return {widen_f16c, narrow_f16c};
  return {widen_any, narrow_any};
}

const Converters& converters() {
  static const Converters chosen = best_converters();
  return chosen;
}

}  // namespace

void widen_f16_block(float* dst, const f16* src, std::size_t n) {
  converters().widen(dst, src, n);
}

void narrow_f16_block(f16* dst, const float* src, std::size_t n) {
  converters().narrow(dst, src, n);
}

}  // namespace zevra
