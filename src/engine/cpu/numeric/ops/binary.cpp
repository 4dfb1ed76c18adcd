#include "engine/cpu/numeric/ops/binary.hpp"

#include <functional>
#include <type_traits>

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/half_blocks.hpp"

namespace zevra {

namespace {

struct Layout {
  bool row_major;
  bool column_major;
  int score;
};

Layout classify(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  std::size_t n = shape.size();
  if (is_row_major(shape, strides)) {
    std::size_t long_axes = 0;
    for (std::size_t d : shape) long_axes += d > 1;
    return long_axes <= 1 ? Layout{true, true, 0} : Layout{true, false, 2};
  }
  if (n >= 2 && is_column_major(shape, strides)) return {false, true, -2};
  if (n >= 2 && shape[0] > 1 && strides[0] == 1) return {false, false, -1};
  if (n >= 2 && shape[n - 1] > 1 && strides[n - 1] == 1) return {false, false, 1};
  return {false, false, 0};
}

// The element rule of the type around a binary32 operation. Binary16 runs go through blocks
// converted with the conversion instructions (the same rule, computed faster).
template <class T, class Op>
Broadcasted<NdArray<T>> arithmetic(const NdArray<T>& a, const NdArray<T>& b, Op op) {
  if constexpr (std::is_same_v<T, f16>)
    return broadcast_into<f16>(a, b, [&](NdArray<f16>& out, auto x, auto y) {
      for_each_run(out.shape, HalfArithmetic<Op>{op}, output(out), x, y);
    });
  else
    return map_broadcast<T>(a, b,
                            [op](T& o, const T& x, const T& y) { o = apply_widened(x, y, op); });
}

template <class T, class Cmp>
Broadcasted<NdArray<bool>> comparison(const NdArray<T>& a, const NdArray<T>& b, Cmp cmp) {
  return map_broadcast<bool>(
      a, b, [cmp](bool& o, const T& x, const T& y) { o = cmp(comparable(x), comparable(y)); });
}

}  // namespace

Strides two_array_result_strides(std::span<const std::size_t> shape,
                                 std::span<const std::ptrdiff_t> a,
                                 std::span<const std::ptrdiff_t> b) {
  Layout la = classify(shape, a), lb = classify(shape, b);
  bool column = !(la.row_major && lb.row_major) &&
                ((la.column_major && lb.column_major) || la.score + lb.score < 0);
  return column ? fresh_column_major_strides(shape) : fresh_row_major_strides(shape);
}

template <class T>
Broadcasted<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b) {
  return arithmetic(a, b, std::plus<float>{});
}
template <class T>
Broadcasted<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b) {
  return arithmetic(a, b, std::minus<float>{});
}
template <class T>
Broadcasted<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b) {
  return arithmetic(a, b, typename TensorOps<T>::Mul{});
}
template <class T>
Broadcasted<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b) {
  return arithmetic(a, b, typename TensorOps<T>::Div{});
}

template <class T>
Broadcasted<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b) {
  return comparison(a, b, std::equal_to<>{});
}
template <class T>
Broadcasted<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b) {
  return comparison(a, b, std::greater_equal<>{});
}
template <class T>
Broadcasted<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b) {
  return comparison(a, b, std::greater<>{});
}
template <class T>
Broadcasted<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b) {
  return comparison(a, b, std::less_equal<>{});
}
template <class T>
Broadcasted<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b) {
  return comparison(a, b, std::less<>{});
}

// The instantiations the dispatch uses.
template Broadcasted<NdArray<f16>> add(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bf16>> add(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<float>> add(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<f16>> sub(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bf16>> sub(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<float>> sub(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<f16>> mul(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bf16>> mul(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<float>> mul(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<f16>> div(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bf16>> div(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<float>> div(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> eq(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bool>> eq(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<bool>> eq(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> eq(const NdArray<bool>&, const NdArray<bool>&);
template Broadcasted<NdArray<bool>> ge(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bool>> ge(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<bool>> ge(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> ge(const NdArray<bool>&, const NdArray<bool>&);
template Broadcasted<NdArray<bool>> gt(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bool>> gt(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<bool>> gt(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> gt(const NdArray<bool>&, const NdArray<bool>&);
template Broadcasted<NdArray<bool>> le(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bool>> le(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<bool>> le(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> le(const NdArray<bool>&, const NdArray<bool>&);
template Broadcasted<NdArray<bool>> lt(const NdArray<f16>&, const NdArray<f16>&);
template Broadcasted<NdArray<bool>> lt(const NdArray<bf16>&, const NdArray<bf16>&);
template Broadcasted<NdArray<bool>> lt(const NdArray<float>&, const NdArray<float>&);
template Broadcasted<NdArray<bool>> lt(const NdArray<bool>&, const NdArray<bool>&);

}  // namespace zevra
