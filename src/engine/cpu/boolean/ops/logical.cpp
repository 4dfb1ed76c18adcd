#include "engine/cpu/boolean/ops/logical.hpp"

#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"

namespace zevra {

namespace {

// Elements are the bytes 0 and 1, so bitwise operations on them are the logical ones. Working
// on the bytes (rather than on bool values) lets every loop vectorise as plain byte arithmetic.
unsigned char& byte(bool& b) {
  return reinterpret_cast<unsigned char&>(b);
}
unsigned char byte(const bool& b) {
  return reinterpret_cast<const unsigned char&>(b);
}

}  // namespace

Broadcasted<NdArray<bool>> logical_and(const NdArray<bool>& a, const NdArray<bool>& b) {
  return map_broadcast<bool>(
      a, b, [](bool& o, const bool& x, const bool& y) { byte(o) = byte(x) & byte(y); });
}

Broadcasted<NdArray<bool>> logical_or(const NdArray<bool>& a, const NdArray<bool>& b) {
  return map_broadcast<bool>(
      a, b, [](bool& o, const bool& x, const bool& y) { byte(o) = byte(x) | byte(y); });
}

Broadcasted<NdArray<bool>> logical_xor(const NdArray<bool>& a, const NdArray<bool>& b) {
  return map_broadcast<bool>(
      a, b, [](bool& o, const bool& x, const bool& y) { byte(o) = byte(x) ^ byte(y); });
}

NdArray<bool> logical_not(const NdArray<bool>& a) {
  return map_unary<bool>(a, [](bool& o, const bool& x) { byte(o) = byte(x) ^ 1; });
}

}  // namespace zevra
