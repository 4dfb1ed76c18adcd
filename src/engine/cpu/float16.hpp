// binary16 and bfloat16 element types and their exact conversions to and from binary32.
//
// binary16 goes through the compiler's _Float16, which becomes the F16C conversion
// instructions inside functions compiled for x86-64-v3 or later and a bit-exact software
// routine elsewhere; both round to nearest, ties to even. bfloat16 rounding is integer
// arithmetic, so loops over it vectorise.
#pragma once

#include <bit>
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

inline float to_f32(f16 h) {
  return static_cast<float>(std::bit_cast<_Float16>(h.bits));
}

inline f16 to_f16(float x) {
  return f16{std::bit_cast<std::uint16_t>(static_cast<_Float16>(x))};
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
