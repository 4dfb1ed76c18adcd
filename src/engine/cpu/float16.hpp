// binary16 and bfloat16 element types and their exact conversions to and from binary32.
//
// Both are written in integer and binary32 arithmetic, branch-free, so that loops over them
// vectorise; the results are bit for bit those of the processor's conversion instructions
// (round to nearest, ties to even).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace zevra {

struct f16 {
  std::uint16_t bits;
  friend constexpr bool operator==(f16, f16) = default;
};

struct bf16 {
  std::uint16_t bits;
  friend constexpr bool operator==(bf16, bf16) = default;
};

static_assert(sizeof(f16) == 2 && sizeof(bf16) == 2);

// binary16 -> binary32 in integer and binary32 arithmetic: exact, and bit for bit what the
// processor's conversion instruction gives, but written so that the compiler vectorises it
// (it does not vectorise conversions of _Float16).
inline float to_f32(f16 h) {
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
inline f16 to_f16(float f) {
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

// Widening appends 16 zero bits; a NaN additionally gets its quiet bit set.
inline float to_f32(bf16 h) {
  std::uint32_t u = std::uint32_t{h.bits} << 16;
  if ((u & 0x7fffffffu) > 0x7f800000u) u |= 0x00400000u;
  return std::bit_cast<float>(u);
}

// Round to nearest, ties to even; a NaN keeps its upper bits with the quiet bit set.
inline bf16 to_bf16(float x) {
  std::uint32_t u = std::bit_cast<std::uint32_t>(x);
  if ((u & 0x7fffffffu) > 0x7f800000u) return bf16{static_cast<std::uint16_t>((u >> 16) | 0x0040u)};
  u += 0x7fffu + ((u >> 16) & 1u);
  return bf16{static_cast<std::uint16_t>(u >> 16)};
}

inline float to_f32(float x) {
  return x;
}

// Converts a binary32 value to element type T, rounding as T requires.
template <class T>
T from_f32(float x);
template <>
inline float from_f32<float>(float x) {
  return x;
}
template <>
inline f16 from_f32<f16>(float x) {
  return to_f16(x);
}
template <>
inline bf16 from_f32<bf16>(float x) {
  return to_bf16(x);
}

}  // namespace zevra
