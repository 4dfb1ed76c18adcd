// Element rules of the numeric types. A 16-bit operand is widened to binary32 (exactly), the
// binary32 operation applied, and the result rounded back to its type (nearest, ties to even).
// Everything here is inline and branch-free so that it runs in vector registers inside the
// element-wise loops.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>

#include "engine/cpu/float16.hpp"

namespace zevra {

// binary16 -> binary32 in integer and binary32 arithmetic: exact, and bit for bit what the
// processor's conversion instruction gives, but written so that the compiler vectorises it
// (it does not vectorise conversions of _Float16).
inline float widen(f16 h) {
  std::uint32_t w = std::uint32_t{h.bits} << 16;
  std::uint32_t sign = w & 0x80000000u;
  std::uint32_t two_w = w + w;
  // Normal numbers, infinities and NaNs: move exponent and fraction into place and rebias by
  // a multiplication; subnormals: build 0.5 + m·2^-24 and subtract the 0.5.
  float normal = std::bit_cast<float>((two_w >> 4) + (0xE0u << 23)) * 0x1.0p-112f;
  float subnormal = std::bit_cast<float>((two_w >> 17) | (126u << 23)) - 0.5f;
  std::uint32_t magnitude = two_w < (1u << 27) ? std::bit_cast<std::uint32_t>(subnormal)
                                               : std::bit_cast<std::uint32_t>(normal);
  return std::bit_cast<float>(sign | magnitude);
}

// binary32 -> binary16, round to nearest, ties to even, overflow to infinity; a NaN keeps the
// upper bits of its payload and is made quiet. Bit for bit the conversion instruction's result.
inline f16 narrow_f16(float f) {
  std::uint32_t w = std::bit_cast<std::uint32_t>(f);
  std::uint32_t two_w = w + w;
  std::uint32_t sign = w & 0x80000000u;
  // Scaling up and back down overflows exactly the values beyond the binary16 range; adding a
  // power of two placed at the binary16 rounding position makes the binary32 addition round
  // the fraction to binary16 precision, subnormals included.
  float base = (std::fabs(f) * 0x1.0p+112f) * 0x1.0p-110f;
  std::uint32_t bias = two_w & 0xFF000000u;
  bias = bias < 0x71000000u ? 0x71000000u : bias;
  base = std::bit_cast<float>((bias >> 1) + 0x07800000u) + base;
  std::uint32_t bits = std::bit_cast<std::uint32_t>(base);
  std::uint32_t finite = ((bits >> 13) & 0x7C00u) + (bits & 0x0FFFu);
  std::uint32_t nan = 0x7E00u | ((w >> 13) & 0x3FFu);
  return f16{static_cast<std::uint16_t>((sign >> 16) | (two_w > 0xFF000000u ? nan : finite))};
}

inline float widen(bf16 h) {
  return to_f32(h);
}
inline float widen(float x) {
  return x;
}

// Rounds a binary32 value to element type T.
template <class T>
T narrow(float x);
template <>
inline float narrow<float>(float x) {
  return x;
}
template <>
inline f16 narrow<f16>(float x) {
  return narrow_f16(x);
}
template <>
inline bf16 narrow<bf16>(float x) {
  return to_bf16(x);
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

// The value an element compares as: its exact binary32 widening (bfloat16 by appending 16 zero
// bits, which keeps a NaN a NaN), or the element itself.
inline float comparable(float x) {
  return x;
}
inline float comparable(f16 x) {
  return widen(x);
}
inline float comparable(bf16 x) {
  return std::bit_cast<float>(std::uint32_t{x.bits} << 16);
}
inline bool comparable(bool x) {
  return x;
}

}  // namespace zevra
