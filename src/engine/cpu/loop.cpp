#include "engine/cpu/loop.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/cpu/block_transpose.hpp"

namespace zevra::loop_detail {

namespace {

constexpr std::size_t kCacheLine = 64;
// A run whose operand leaves the cache line at every step is blocked so that at most this many
// such lines are live at once (well inside L1).
constexpr std::size_t kInnerBlock = 256;
// Blocks of a gathered (transposed) input: at most kGatherBlock elements along the inner axis
// times one cache line along the tile axis.
constexpr std::size_t kGatherBlock = 4096;
// Walks touching this many bytes write their results with non-temporal stores: the data no
// longer fits in the caches, so the result's lines would only be fetched to be overwritten.
constexpr std::size_t kStreamBytes = std::size_t{24} << 20;
// Staging buffer per output for non-temporal stores.
constexpr std::size_t kStageBytes = 4096;

std::size_t magnitude(std::ptrdiff_t s) {
  return static_cast<std::size_t>(s < 0 ? -s : s);
}

// Whether axis a comes before axis b in the memory order of the first operand (ties broken by
// the later operands, so broadcast axes of the first keep a sensible order).
bool inner_than(const Plan& p, const std::ptrdiff_t* const* strides, std::size_t a, std::size_t b) {
  for (std::size_t op = 0; op < p.noperands; ++op) {
    std::size_t sa = magnitude(strides[op][a]), sb = magnitude(strides[op][b]);
    if (sa != sb) return sa < sb;
  }
  return false;
}

void choose_tiling(Plan& p) {
  if (p.naxes < 2) return;
  for (std::size_t op = 0; op < p.noperands; ++op) {
    std::size_t size = p.elem_size[op];
    if (magnitude(p.stride[op][0]) * size < kCacheLine) continue;
    std::size_t best = 0;
    for (std::size_t k = 1; k < p.naxes; ++k) {
      std::size_t s = magnitude(p.stride[op][k]);
      if (s != 0 && (best == 0 || s < magnitude(p.stride[op][best]))) best = k;
    }
    if (best == 0) continue;
    std::size_t step = magnitude(p.stride[op][best]) * size;
    if (step >= kCacheLine) continue;
    p.tile_axis = best;
    p.tile_block = kCacheLine / step;
    p.inner_block = kInnerBlock;
    if (!p.is_output[op] && size == 4 && p.stride[op][best] == 1) p.gathered = op;
    return;
  }
}

void choose_streaming(Plan& p) {
  if (p.tile_axis != 0) return;
  // Bytes the walk touches: each operand's distinct elements (a broadcast axis adds none).
  std::size_t total = 0, written = 0;
  for (std::size_t op = 0; op < p.noperands; ++op) {
    if (p.is_output[op] && p.stride[op][0] != 1) return;
    std::size_t distinct = p.elem_size[op];
    for (std::size_t a = 0; a < p.naxes; ++a)
      if (p.stride[op][a] != 0) distinct *= p.extent[a];
    total += distinct;
    if (p.is_output[op]) written += distinct;
  }
  // Worth it when nothing stays in cache anyway and the saved reads of the result's lines are
  // a fair share of the traffic.
  p.stream = total >= kStreamBytes && 4 * written >= total && p.extent[0] >= kStageBytes / 4;
}

// Advances pointers through a stretch of `n` elements along an axis.
void advance(std::byte** ptrs, const Plan& p, std::size_t axis, std::ptrdiff_t n) {
  for (std::size_t op = 0; op < p.noperands; ++op)
    ptrs[op] += p.stride[op][axis] * n * static_cast<std::ptrdiff_t>(p.elem_size[op]);
}

// Copies with non-temporal stores of the widest kind the processor has (whole cache lines with
// AVX-512; narrower ones leave partial lines in the write-combining buffers for longer).
using StreamCopy = void (*)(std::byte*, const std::byte*, std::size_t);

// The part of `bytes` from dst on that whole aligned stores of `width` bytes cover.
std::size_t stream_body(const std::byte* dst, std::size_t bytes, std::size_t width) {
  return reinterpret_cast<std::uintptr_t>(dst) % width == 0 ? bytes / width * width : 0;
}

void stream_sse2(std::byte* dst, const std::byte* src, std::size_t bytes) {
  std::size_t body = stream_body(dst, bytes, 16);
  for (std::size_t i = 0; i < body; i += 16)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_load_si128(reinterpret_cast<const __m128i*>(src + i)));
  std::memcpy(dst + body, src + body, bytes - body);
}

[[gnu::target("avx")]] void stream_avx(std::byte* dst, const std::byte* src, std::size_t bytes) {
  std::size_t body = stream_body(dst, bytes, 32);
  for (std::size_t i = 0; i < body; i += 32)
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_load_si256(reinterpret_cast<const __m256i*>(src + i)));
  std::memcpy(dst + body, src + body, bytes - body);
}

[[gnu::target("avx512f")]] void stream_avx512(std::byte* dst, const std::byte* src,
                                              std::size_t bytes) {
  std::size_t body = stream_body(dst, bytes, 64);
  for (std::size_t i = 0; i < body; i += 64)
    _mm512_stream_si512(reinterpret_cast<__m512i*>(dst + i),
                        _mm512_load_si512(reinterpret_cast<const __m512i*>(src + i)));
  std::memcpy(dst + body, src + body, bytes - body);
}

StreamCopy best_stream_copy() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return stream_avx512;
  if (__builtin_cpu_supports("avx")) return stream_avx;
  return stream_sse2;
}

void stream_copy(std::byte* dst, const std::byte* src, std::size_t bytes) {
  static const StreamCopy chosen = best_stream_copy();
  chosen(dst, src, bytes);
}

struct Runner {
  const Plan& p;
  RunFn run;
  const void* f;
  std::ptrdiff_t steps[kMaxOperands];

  void operator()(std::size_t n, std::byte* const* ptrs) const {
    if (p.stream && n >= kStageBytes)
      streamed(n, ptrs);
    else
      run(n, ptrs, steps, f);
  }

  // Outputs go through a staging buffer in L1 and from there to memory with non-temporal
  // stores, in chunks aligned to the first output's cache lines.
  void streamed(std::size_t n, std::byte* const* ptrs) const {
    std::size_t widest = 1;
    std::size_t first_out = 0;
    for (std::size_t op = p.noperands; op-- > 0;)
      if (p.is_output[op]) {
        widest = std::max(widest, p.elem_size[op]);
        first_out = op;
      }
    std::size_t chunk = kStageBytes / widest;
    std::size_t misalign = reinterpret_cast<std::uintptr_t>(ptrs[first_out]) % kCacheLine;
    std::size_t head = misalign ? (kCacheLine - misalign) / p.elem_size[first_out] : 0;
    std::byte* cur[kMaxOperands];
    std::copy_n(ptrs, p.noperands, cur);
    run(head, cur, steps, f);
    std::size_t done = head;
    advance(cur, p, 0, static_cast<std::ptrdiff_t>(head));
    alignas(kCacheLine) std::byte stage[kMaxOperands][kStageBytes];
    std::byte* staged[kMaxOperands];
    for (std::size_t op = 0; op < p.noperands; ++op)
      staged[op] = p.is_output[op] ? stage[op] : nullptr;
    for (; done + chunk <= n; done += chunk) {
      for (std::size_t op = 0; op < p.noperands; ++op)
        if (!p.is_output[op]) staged[op] = cur[op];
      run(chunk, staged, steps, f);
      for (std::size_t op = 0; op < p.noperands; ++op)
        if (p.is_output[op]) stream_copy(cur[op], stage[op], chunk * p.elem_size[op]);
      advance(cur, p, 0, static_cast<std::ptrdiff_t>(chunk));
    }
    run(n - done, cur, steps, f);
  }
};

// The loop for runs with the given steps: a dense one when every step is 1 or 0 and no output
// is broadcast, the strided one otherwise.
RunFn choose_run(const Plan& p, const std::ptrdiff_t* steps, const RunFn* dense, RunFn strided) {
  if (dense == nullptr) return strided;
  std::size_t mask = 0;
  for (std::size_t op = 0; op < p.noperands; ++op) {
    if (steps[op] == 0)
      mask |= std::size_t{1} << op;
    else if (steps[op] != 1)
      return strided;
  }
  return dense[mask] != nullptr ? dense[mask] : strided;
}

// Visits every combination of the axes in `outer` (innermost first), calling body with the
// pointers at each position.
template <class Body>
void odometer(const Plan& p, std::byte* const* base, const std::size_t* outer, std::size_t nouter,
              const Body& body) {
  std::byte* ptrs[kMaxOperands];
  std::copy_n(base, p.noperands, ptrs);
  std::size_t index[kMaxAxes] = {};
  for (;;) {
    body(static_cast<std::byte* const*>(ptrs));
    std::size_t level = 0;
    for (; level < nouter; ++level) {
      std::size_t axis = outer[level];
      advance(ptrs, p, axis, 1);
      if (++index[level] < p.extent[axis]) break;
      advance(ptrs, p, axis, -static_cast<std::ptrdiff_t>(p.extent[axis]));
      index[level] = 0;
    }
    if (level == nouter) return;
  }
}

}  // namespace

void make_plan(Plan& p, std::span<const std::size_t> shape, const std::ptrdiff_t* const* strides) {
  if (std::ranges::find(shape, std::size_t{0}) != shape.end()) {
    p.empty = true;
    return;
  }
  // Every kept axis has an extent of at least 2, so a countable shape has fewer than 64.
  std::size_t axes[kMaxAxes];
  std::size_t n = 0;
  for (std::size_t a = 0; a < shape.size(); ++a) {
    if (shape[a] == 1) continue;
    // Insertion in memory order, innermost first.
    std::size_t i = n++;
    for (; i > 0 && inner_than(p, strides, a, axes[i - 1]); --i) axes[i] = axes[i - 1];
    axes[i] = a;
  }
  p.naxes = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t a = axes[i];
    if (p.naxes > 0) {
      std::size_t last = p.naxes - 1;
      bool merges = true;
      for (std::size_t op = 0; op < p.noperands && merges; ++op)
        merges = strides[op][a] == p.stride[op][last] * static_cast<std::ptrdiff_t>(p.extent[last]);
      if (merges) {
        p.extent[last] *= shape[a];
        continue;
      }
    }
    p.extent[p.naxes] = shape[a];
    for (std::size_t op = 0; op < p.noperands; ++op) p.stride[op][p.naxes] = strides[op][a];
    ++p.naxes;
  }
  choose_tiling(p);
  choose_streaming(p);
}

void walk(const Plan& p, std::byte* const* base, const RunFn* dense, RunFn strided, const void* f) {
  Runner runner{p, strided, f, {}};
  for (std::size_t op = 0; op < p.noperands; ++op) runner.steps[op] = p.stride[op][0];
  runner.run = choose_run(p, runner.steps, dense, strided);

  std::size_t outer[kMaxAxes];
  std::size_t nouter = 0;
  for (std::size_t a = 1; a < p.naxes; ++a)
    if (a != p.tile_axis) outer[nouter++] = a;

  if (p.tile_axis == 0) {
    std::size_t len = p.extent[0];
    odometer(p, base, outer, nouter, [&](std::byte* const* ptrs) { runner(len, ptrs); });
  } else if (p.gathered == kMaxOperands) {
    std::size_t k = p.tile_axis;
    odometer(p, base, outer, nouter, [&](std::byte* const* ptrs) {
      std::byte* row[kMaxOperands];
      for (std::size_t kb = 0; kb < p.extent[k]; kb += p.tile_block) {
        std::size_t kend = std::min(p.extent[k], kb + p.tile_block);
        for (std::size_t jb = 0; jb < p.extent[0]; jb += p.inner_block) {
          std::size_t len = std::min(p.extent[0] - jb, p.inner_block);
          std::copy_n(ptrs, p.noperands, row);
          advance(row, p, 0, static_cast<std::ptrdiff_t>(jb));
          advance(row, p, k, static_cast<std::ptrdiff_t>(kb));
          for (std::size_t kk = kb; kk < kend; ++kk) {
            runner.run(len, row, runner.steps, f);
            advance(row, p, k, 1);
          }
        }
      }
    });
  } else {
    // The gathered input is read from a transposed copy of its block, with unit steps. Blocks
    // span whole runs (up to kGatherBlock elements, so the copy stays in L2): long runs keep
    // the loop efficient, and every line of the input is read exactly once.
    std::size_t k = p.tile_axis, g = p.gathered;
    std::ptrdiff_t steps[kMaxOperands];
    std::copy_n(runner.steps, p.noperands, steps);
    steps[g] = 1;
    RunFn run = choose_run(p, steps, dense, strided);
    std::size_t width = std::min(p.extent[0], kGatherBlock);
    auto block = std::make_unique_for_overwrite<std::uint32_t[]>(p.tile_block * width);
    odometer(p, base, outer, nouter, [&](std::byte* const* ptrs) {
      std::byte* row[kMaxOperands];
      for (std::size_t kb = 0; kb < p.extent[k]; kb += p.tile_block) {
        std::size_t rows = std::min(p.extent[k] - kb, p.tile_block);
        for (std::size_t jb = 0; jb < p.extent[0]; jb += width) {
          std::size_t len = std::min(p.extent[0] - jb, width);
          std::copy_n(ptrs, p.noperands, row);
          advance(row, p, 0, static_cast<std::ptrdiff_t>(jb));
          advance(row, p, k, static_cast<std::ptrdiff_t>(kb));
          transpose_block4(block.get(), std::ptrdiff_t(width),
                           reinterpret_cast<const std::uint32_t*>(row[g]), p.stride[g][0], len,
                           rows);
          for (std::size_t kk = 0; kk < rows; ++kk) {
            row[g] = reinterpret_cast<std::byte*>(block.get() + kk * width);
            run(len, row, steps, f);
            advance(row, p, k, 1);
          }
        }
      }
    });
  }
  // Non-temporal stores are weakly ordered: publish them before the result is handed out.
  if (p.stream) _mm_sfence();
}

}  // namespace zevra::loop_detail
