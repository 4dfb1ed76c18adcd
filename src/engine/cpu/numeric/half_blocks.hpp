// binary16 <-> binary32 conversion of whole blocks with the processor's conversion instructions
// (F16C, AVX-512) where present, chosen at run time; the compiler does not vectorise element
// conversions, so the binary16 kernels convert a block at a time and compute in binary32.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <tuple>

#include "engine/cpu/dispatch.hpp"
#include "engine/cpu/float16.hpp"
#include "engine/cpu/numeric/core.hpp"

namespace zevra {

void widen_f16_block(float* dst, const f16* src, std::size_t n);

// Round to nearest, ties to even, exactly as to_f16.
void narrow_f16_block(f16* dst, const float* src, std::size_t n);

// out[i] = op(a[i], b[i]) under the binary16 element rule for i < n, with `out` contiguous and
// each input either contiguous or, when its flag is set, one element repeated: blocks of the
// inputs are widened, combined in binary32 (a loop that vectorises) and narrowed.
template <class Op>
ZEVRA_CPU_DISPATCH void half_block_run(f16* out, const f16* a, bool a_repeats, const f16* b,
                                       bool b_repeats, std::size_t n, Op op) {
  constexpr std::size_t kBlock = 512;
  alignas(64) float x[kBlock], y[kBlock];
  if (a_repeats) widen_f16_block(x, a, 1);
  if (b_repeats) widen_f16_block(y, b, 1);
  const float xa = x[0], yb = y[0];
  for (std::size_t done = 0; done < n; done += kBlock) {
    std::size_t m = std::min(kBlock, n - done);
    if (!a_repeats) widen_f16_block(x, a + done, m);
    if (!b_repeats) widen_f16_block(y, b + done, m);
    if (a_repeats)
      for (std::size_t i = 0; i < m; ++i) x[i] = op(xa, y[i]);
    else if (b_repeats)
      for (std::size_t i = 0; i < m; ++i) x[i] = op(x[i], yb);
    else
      for (std::size_t i = 0; i < m; ++i) x[i] = op(x[i], y[i]);
    narrow_f16_block(out + done, x, m);
  }
}

// A run function (for for_each_run) of binary16 arithmetic over (out, a, b): blocks where the
// layout allows, element by element otherwise.
template <class Op>
struct HalfArithmetic {
  Op op;

  void operator()(std::size_t n, std::tuple<f16*, const f16*, const f16*> p,
                  std::array<std::ptrdiff_t, 3> s) const {
    auto [o, a, b] = p;
    if (s[0] == 1 && (s[1] == 0 || s[1] == 1) && (s[2] == 0 || s[2] == 1))
      return half_block_run(o, a, s[1] == 0, b, s[2] == 0, n, op);
    for (std::size_t i = 0; i < n; ++i) {
      auto k = static_cast<std::ptrdiff_t>(i);
      o[k * s[0]] = apply_widened(a[k * s[1]], b[k * s[2]], op);
    }
  }
};

}  // namespace zevra
