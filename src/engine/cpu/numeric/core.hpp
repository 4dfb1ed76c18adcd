// Element rules of the numeric types. A 16-bit operand is widened to binary32 (exactly), the
// binary32 operation applied, and the result rounded back to its type (nearest, ties to even).
// Everything here is inline and branch-free so that it runs in vector registers inside the
// element-wise loops.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <type_traits>

#include "engine/cpu/float16.hpp"

namespace zevra {

// Widening to binary32 (exact) and rounding back to element type T (nearest, ties to even).
template <class T>
float widen(T x) {
  return to_f32(x);
}
template <class T>
T narrow(float x) {
  return from_f32<T>(x);
}

// An operand of a binary32 operation: its widening, except that a bfloat16 NaN is not made
// quiet first, because the operation itself makes a signalling NaN quiet (IEEE 754) and returns
// the same bits either way.
inline float operand(f16 x) {
  return widen(x);
}
inline float operand(bf16 x) {
  return std::bit_cast<float>(std::uint32_t{x.bits} << 16);
}
inline float operand(float x) {
  return x;
}

template <class T, class Op>
inline T apply_widened(T x, T y, Op op) {
  return narrow<T>(op(operand(x), operand(y)));
}

// The products and quotients shared by the forward kernels and the gradient kernels.
template <class T>
struct TensorOps {
  // The binary32 operations inside, for kernels that apply them to whole converted blocks.
  using Mul = std::multiplies<float>;
  using Div = std::divides<float>;

  static T kernel_mul(T x, T y) { return apply_widened(x, y, Mul{}); }
  static T kernel_div(T x, T y) { return apply_widened(x, y, Div{}); }
};

// The value an element compares as: its exact binary32 widening as an operand (appending 16
// zero bits keeps a bfloat16 NaN a NaN), or the truth value itself.
template <class T>
auto comparable(T x) {
  if constexpr (std::is_same_v<T, bool>)
    return x;
  else
    return operand(x);
}

}  // namespace zevra
