#include "engine/cpu/numeric/ops/scalar.hpp"

#include <functional>
#include <type_traits>

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/half_blocks.hpp"

namespace zevra {

namespace {

template <class T, class Op>
NdArray<T> arithmetic(const NdArray<T>& a, T s, Op op) {
  if constexpr (std::is_same_v<T, f16>) {
    // Binary16 runs go through converted blocks, the scalar as a repeated second operand.
    auto out = fresh_like<f16>(a);
    auto run = [&](std::size_t n, std::tuple<f16*, const f16*> p, std::array<std::ptrdiff_t, 2> k) {
      HalfArithmetic<Op>{op}(n, {std::get<0>(p), std::get<1>(p), &s}, {k[0], k[1], 0});
    };
    for_each_run(out.shape, run, output(out), input(a));
    return out;
  } else {
    return map_unary<T>(a, [s, op](T& o, const T& x) { o = apply_widened(x, s, op); });
  }
}

// The scalar is widened once; each element is compared exactly with it.
template <class T, class Cmp>
NdArray<bool> comparison(const NdArray<T>& a, T s, Cmp cmp) {
  float w = comparable(s);
  return map_unary<bool>(a, [w, cmp](bool& o, const T& x) { o = cmp(comparable(x), w); });
}

}  // namespace

template <class T>
NdArray<T> scalar_add(const NdArray<T>& a, T s) {
  return arithmetic(a, s, std::plus<float>{});
}
template <class T>
NdArray<T> scalar_sub(const NdArray<T>& a, T s) {
  return arithmetic(a, s, std::minus<float>{});
}
template <class T>
NdArray<T> scalar_mul(const NdArray<T>& a, T s) {
  return arithmetic(a, s, std::multiplies<float>{});
}

template <class T>
NdArray<bool> scalar_eq(const NdArray<T>& a, T s) {
  return comparison(a, s, std::equal_to<>{});
}
template <class T>
NdArray<bool> scalar_ge(const NdArray<T>& a, T s) {
  return comparison(a, s, std::greater_equal<>{});
}
template <class T>
NdArray<bool> scalar_gt(const NdArray<T>& a, T s) {
  return comparison(a, s, std::greater<>{});
}
template <class T>
NdArray<bool> scalar_le(const NdArray<T>& a, T s) {
  return comparison(a, s, std::less_equal<>{});
}
template <class T>
NdArray<bool> scalar_lt(const NdArray<T>& a, T s) {
  return comparison(a, s, std::less<>{});
}

// The instantiations the dispatch uses.
template NdArray<f16> scalar_add(const NdArray<f16>&, f16);
template NdArray<bf16> scalar_add(const NdArray<bf16>&, bf16);
template NdArray<float> scalar_add(const NdArray<float>&, float);
template NdArray<f16> scalar_sub(const NdArray<f16>&, f16);
template NdArray<bf16> scalar_sub(const NdArray<bf16>&, bf16);
template NdArray<float> scalar_sub(const NdArray<float>&, float);
template NdArray<f16> scalar_mul(const NdArray<f16>&, f16);
template NdArray<bf16> scalar_mul(const NdArray<bf16>&, bf16);
template NdArray<float> scalar_mul(const NdArray<float>&, float);
template NdArray<bool> scalar_eq(const NdArray<f16>&, f16);
template NdArray<bool> scalar_eq(const NdArray<bf16>&, bf16);
template NdArray<bool> scalar_eq(const NdArray<float>&, float);
template NdArray<bool> scalar_ge(const NdArray<f16>&, f16);
template NdArray<bool> scalar_ge(const NdArray<bf16>&, bf16);
template NdArray<bool> scalar_ge(const NdArray<float>&, float);
template NdArray<bool> scalar_gt(const NdArray<f16>&, f16);
template NdArray<bool> scalar_gt(const NdArray<bf16>&, bf16);
template NdArray<bool> scalar_gt(const NdArray<float>&, float);
template NdArray<bool> scalar_le(const NdArray<f16>&, f16);
template NdArray<bool> scalar_le(const NdArray<bf16>&, bf16);
template NdArray<bool> scalar_le(const NdArray<float>&, float);
template NdArray<bool> scalar_lt(const NdArray<f16>&, f16);
template NdArray<bool> scalar_lt(const NdArray<bf16>&, bf16);
template NdArray<bool> scalar_lt(const NdArray<float>&, float);

}  // namespace zevra
