// The strided-loop engine: the one loop behind every element-wise kernel, conversion and copy.
//
// Usage:
//
//   NdArray<float> out = NdArray<float>::row_major(shape);
//   for_each(shape, [](float& o, const float& x, const float& y) { o = x + y; },
//            output(out), input(a), input(b));
//
// `for_each(shape, f, operands...)` calls f once for every index position of `shape`, with one
// reference per operand to that operand's element at the position: `T&` for an output
// (`Strided<T>`, made by `output(array)`), `const T&` for an input (`Strided<const T>`, made by
// `input(array)` or by hand from a pointer and strides). Every operand has its own element
// type, first element and element strides, one stride per axis of `shape`; a zero stride
// repeats one element along that axis (a broadcast view), negative strides are allowed. Any
// number of outputs and inputs up to kMaxOperands, in any order.
//
// `for_each_run(shape, run, operands...)` is the level below, for kernels that handle whole
// runs themselves (the binary16 kernels convert blocks with the processor's conversion
// instructions): the same walk, with `run` called once per 1-D run. `convert` builds on both.
//
// How it walks:
// - In the memory order of the first operand (normally the fresh result): axes sorted by that
//   operand's strides, axes of extent 1 dropped, and neighbouring axes merged wherever every
//   operand steps through them as through one axis. A dense result and dense inputs in the
//   same order collapse into one run.
// - f is applied over 1-D runs of the innermost merged axis by a loop compiled for x86-64-v4,
//   x86-64-v3 and baseline x86-64 (chosen at run time). Runs in which every step is 1 or 0
//   (contiguous or broadcast operands) get a loop specialised for that pattern, so it
//   vectorises, 16-bit conversions included; other runs take a generic strided loop.
// - An operand whose inner step jumps across cache lines while it is contiguous along another
//   axis (a transposed input next to a row-major result) is walked in 2-D blocks of those two
//   axes, so every cache line it brings in is used in full before it is evicted. Blocks of such
//   an input with 4-byte elements (one cache line by whole runs) are transposed into a buffer
//   with SIMD shuffles first, so that the loop itself sees contiguous operands only.
// - Large results that cannot stay in cache are written with non-temporal stores through a
//   small staging buffer: a fresh result is never read, so fetching its lines first is waste.
//
// f must only compute its outputs from its inputs: elements are independent and may be visited
// in any order. Outputs must not overlap the inputs except element for element.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "engine/cpu/dispatch.hpp"
#include "engine/cpu/ndarray.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/half_blocks.hpp"

namespace zevra {

// One operand of a walk: its element at index (0, ..., 0) and one element stride per axis.
// `T` is const for an input.
template <class T>
struct Strided {
  T* data;
  std::span<const std::ptrdiff_t> strides;
};

template <class T>
Strided<T> output(NdArray<T>& a) {
  return {a.data, a.strides};
}

template <class T>
Strided<const T> input(const NdArray<T>& a) {
  return {a.data, a.strides};
}

namespace loop_detail {

inline constexpr std::size_t kMaxOperands = 6;
// Every merged axis has an extent of at least 2 and element counts stay below 2^63.
inline constexpr std::size_t kMaxAxes = 64;

// The walk after sorting and merging axes; axis 0 is the innermost.
struct Plan {
  std::size_t noperands = 0;
  std::size_t naxes = 0;
  bool empty = false;
  std::size_t extent[kMaxAxes];
  std::ptrdiff_t stride[kMaxOperands][kMaxAxes];
  std::size_t elem_size[kMaxOperands];
  bool is_output[kMaxOperands];
  // When non-zero, axis `tile_axis` is walked in blocks of `tile_block` together with
  // blocks of `inner_block` of axis 0 (of whole runs for a gathered input).
  std::size_t tile_axis = 0;
  std::size_t tile_block = 0;
  std::size_t inner_block = 0;
  // An input of 4-byte elements with unit stride along the tile axis whose blocks are
  // transposed into a contiguous buffer before the loop reads them (kMaxOperands: none).
  std::size_t gathered = kMaxOperands;
  // Whether long runs write their outputs with non-temporal stores.
  bool stream = false;
};

void make_plan(Plan& plan, std::span<const std::size_t> shape,
               const std::ptrdiff_t* const* strides);

// A 1-D loop over n elements: ptrs are the operands' current elements, steps their strides.
using RunFn = void (*)(std::size_t n, std::byte* const* ptrs, const std::ptrdiff_t* steps,
                       const void* f);

// Walks the plan from the operands' first elements; `dense[mask]` handles runs whose steps are
// all 1 or 0 (bit i of mask set when operand i has step 0), `strided` every other run (every
// run when `dense` is null).
void walk(const Plan& plan, std::byte* const* base, const RunFn* dense, RunFn strided,
          const void* f);

template <class T>
T* typed(std::byte* p) {
  return reinterpret_cast<T*>(p);
}

template <std::size_t Mask, class F, class... Ts, std::size_t... I>
[[gnu::always_inline]] inline void dense_loop(std::size_t n, std::byte* const* ptrs, const F& f,
                                              std::index_sequence<I...>) {
  std::tuple<Ts*...> p{typed<Ts>(ptrs[I])...};
  for (std::size_t i = 0; i < n; ++i) f(std::get<I>(p)[(Mask >> I) & 1 ? 0 : i]...);
}

template <std::size_t Mask, class F, class... Ts>
ZEVRA_CPU_DISPATCH void run_dense(std::size_t n, std::byte* const* ptrs, const std::ptrdiff_t*,
                                  const void* f) {
  // A local copy: stores through the outputs cannot alias it, so captures stay in registers.
  const F local = *static_cast<const F*>(f);
  dense_loop<Mask, F, Ts...>(n, ptrs, local, std::index_sequence_for<Ts...>{});
}

template <class F, class... Ts, std::size_t... I>
[[gnu::always_inline]] inline void strided_loop(std::size_t n, std::byte* const* ptrs,
                                                const std::ptrdiff_t* steps, const F& f,
                                                std::index_sequence<I...>) {
  std::tuple<Ts*...> p{typed<Ts>(ptrs[I])...};
  for (std::size_t i = 0; i < n; ++i)
    f(std::get<I>(p)[static_cast<std::ptrdiff_t>(i) * steps[I]]...);
}

template <class F, class... Ts>
ZEVRA_CPU_DISPATCH void run_strided(std::size_t n, std::byte* const* ptrs,
                                    const std::ptrdiff_t* steps, const void* f) {
  const F local = *static_cast<const F*>(f);
  strided_loop<F, Ts...>(n, ptrs, steps, local, std::index_sequence_for<Ts...>{});
}

// Dense loops exist only for patterns in which no output is broadcast.
template <class F, class... Ts, std::size_t... M>
constexpr auto dense_table(std::index_sequence<M...>) {
  constexpr std::size_t outputs = [] {
    std::size_t bits = 0, i = 0;
    ((bits |= std::size_t{!std::is_const_v<Ts>} << i++), ...);
    return bits;
  }();
  return std::array<RunFn, sizeof...(M)>{
      (M & outputs) ? RunFn{nullptr} : &run_dense<M, F, std::remove_const_t<Ts>...>...};
}

}  // namespace loop_detail

namespace loop_detail {

// Plans the walk of the operands and runs it: `dense` (or nullptr: `strided` for every run)
// and `strided` as for walk(); `single` handles a walk of exactly one element.
template <class... Ts, class Single>
void walk_operands(std::span<const std::size_t> shape, const RunFn* dense, RunFn strided,
                   const void* f, const Single& single, Strided<Ts>... operands) {
  constexpr std::size_t n = sizeof...(Ts);
  static_assert(n >= 1 && n <= kMaxOperands);
  Plan plan;
  plan.noperands = n;
  {
    std::size_t i = 0;
    ((plan.elem_size[i] = sizeof(Ts), plan.is_output[i++] = !std::is_const_v<Ts>), ...);
  }
  const std::ptrdiff_t* strides[n] = {operands.strides.data()...};
  make_plan(plan, shape, strides);
  if (plan.empty) return;
  if (plan.naxes == 0) return single();
  std::byte* base[n] = {
      reinterpret_cast<std::byte*>(const_cast<std::remove_const_t<Ts>*>(operands.data))...};
  walk(plan, base, dense, strided, f);
}

template <class Run, class... Ts, std::size_t... I>
void run_user(std::size_t n, std::byte* const* ptrs, const std::ptrdiff_t* steps, const void* f,
              std::index_sequence<I...>) {
  (*static_cast<const Run*>(f))(n, std::tuple<Ts*...>{typed<Ts>(ptrs[I])...},
                                std::array<std::ptrdiff_t, sizeof...(Ts)>{steps[I]...});
}

template <class Run, class... Ts>
void run_user(std::size_t n, std::byte* const* ptrs, const std::ptrdiff_t* steps, const void* f) {
  run_user<Run, Ts...>(n, ptrs, steps, f, std::index_sequence_for<Ts...>{});
}

}  // namespace loop_detail

template <class F, class... Ts>
void for_each(std::span<const std::size_t> shape, const F& f, Strided<Ts>... operands) {
  static constexpr auto dense = loop_detail::dense_table<F, Ts...>(
      std::make_index_sequence<std::size_t{1} << sizeof...(Ts)>{});
  loop_detail::walk_operands(
      shape, dense.data(), &loop_detail::run_strided<F, std::remove_const_t<Ts>...>, &f,
      [&] { f(*operands.data...); }, operands...);
}

// The level below for_each, for kernels that handle whole runs themselves: the same walk
// (memory order, merged axes, blocks, streamed results), but `run(n, ptrs, steps)` is called
// once per 1-D run, with `ptrs` a std::tuple of the operands' pointers (const for inputs) at the
// start of the run and `steps` a std::array of their element steps along it.
template <class Run, class... Ts>
void for_each_run(std::span<const std::size_t> shape, const Run& run, Strided<Ts>... operands) {
  constexpr std::size_t n = sizeof...(Ts);
  loop_detail::walk_operands(
      shape, nullptr, &loop_detail::run_user<Run, Ts...>, &run,
      [&] { run(1, std::tuple<Ts*...>{operands.data...}, std::array<std::ptrdiff_t, n>{}); },
      operands...);
}

// dst = src converted element by element (binary32 <-> 16-bit with the usual rounding, or a
// plain copy for equal types).
template <class To, class From>
void convert(std::span<const std::size_t> shape, Strided<To> dst, Strided<const From> src) {
  if constexpr (std::is_same_v<To, From>) {
    for_each(
        shape, [](To& o, const From& x) { o = x; }, dst, src);
  } else if constexpr (std::is_same_v<To, float> && std::is_same_v<From, f16>) {
    // Contiguous binary16 runs convert in blocks with the conversion instructions.
    for_each_run(
        shape,
        [](std::size_t n, std::tuple<float*, const f16*> p, std::array<std::ptrdiff_t, 2> s) {
          auto [o, x] = p;
          if (s[0] == 1 && s[1] == 1) return widen_f16_block(o, x, n);
          for (std::size_t i = 0; i < n; ++i)
            o[std::ptrdiff_t(i) * s[0]] = widen(x[std::ptrdiff_t(i) * s[1]]);
        },
        dst, src);
  } else if constexpr (std::is_same_v<To, f16> && std::is_same_v<From, float>) {
    for_each_run(
        shape,
        [](std::size_t n, std::tuple<f16*, const float*> p, std::array<std::ptrdiff_t, 2> s) {
          auto [o, x] = p;
          if (s[0] == 1 && s[1] == 1) return narrow_f16_block(o, x, n);
          for (std::size_t i = 0; i < n; ++i)
            o[std::ptrdiff_t(i) * s[0]] = to_f16(x[std::ptrdiff_t(i) * s[1]]);
        },
        dst, src);
  } else {
    for_each(
        shape, [](To& o, const From& x) { o = narrow<To>(widen(x)); }, dst, src);
  }
}

}  // namespace zevra
