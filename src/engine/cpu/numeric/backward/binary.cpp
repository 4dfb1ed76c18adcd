#include "engine/cpu/numeric/backward/binary.hpp"

#include <cstdint>
#include <type_traits>

#include "engine/cpu/error.hpp"
#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"

namespace zevra {
namespace {

// Negation flips the sign bit, exactly, in every type.
template <class T>
T negated(T x) {
  if constexpr (std::is_same_v<T, float>)
    return -x;
  else
    return T{static_cast<std::uint16_t>(x.bits ^ 0x8000u)};
}

}  // namespace

template <class T>
Broadcasted<GradientPair<T>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                          const NdArray<T>& rhs) {
  auto for_lhs = mul(grad, rhs);
  if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
  auto for_rhs = mul(grad, lhs);
  if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
  return GradientPair<T>{std::move(*for_lhs), std::move(*for_rhs)};
}

template <class T>
Broadcasted<GradientPair<T>> div_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                          const NdArray<T>& rhs) {
  auto views = broadcast_tensors(grad, lhs);
  if (!views) return std::unexpected(std::move(views.error()));
  const ArrayView<T>& vg = views->a;
  const ArrayView<T>& va = views->b;
  auto f = broadcast_shapes(vg.shape, rhs.shape);
  if (!f) return std::unexpected(std::move(f.error()));
  const Shape& shape = *f;

  std::optional<Strides> sg = expand_strides(vg.shape, vg.strides, shape);
  std::optional<Strides> sa = expand_strides(va.shape, va.strides, shape);
  if (!sg || !sa) fatal("Gradient shape " + format_shape(shape) + " has too many elements");
  std::optional<Strides> sb = expand_strides(rhs.shape, rhs.strides, shape);
  if (!sb)
    return std::unexpected("Broadcast failed for RHS: " + format_shape(rhs.shape) + " -> " +
                           format_shape(shape));

  auto for_lhs = NdArray<T>::row_major(shape);
  auto for_rhs = NdArray<T>::row_major(shape);
  using Ops = TensorOps<T>;
  for_each(
      shape,
      [](T& dl, T& dr, const T& g, const T& a, const T& b) {
        dl = Ops::kernel_div(g, b);
        dr = Ops::kernel_div(Ops::kernel_mul(negated(g), a), Ops::kernel_mul(b, b));
      },
      output(for_lhs), output(for_rhs), Strided<const T>{vg.data, *sg},
      Strided<const T>{va.data, *sa}, Strided<const T>{rhs.data, *sb});
  return GradientPair<T>{std::move(for_lhs), std::move(for_rhs)};
}

template Broadcasted<GradientPair<f16>> mul_backward(const NdArray<f16>&, const NdArray<f16>&,
                                                     const NdArray<f16>&);
template Broadcasted<GradientPair<bf16>> mul_backward(const NdArray<bf16>&, const NdArray<bf16>&,
                                                      const NdArray<bf16>&);
template Broadcasted<GradientPair<float>> mul_backward(const NdArray<float>&, const NdArray<float>&,
                                                       const NdArray<float>&);
template Broadcasted<GradientPair<f16>> div_backward(const NdArray<f16>&, const NdArray<f16>&,
                                                     const NdArray<f16>&);
template Broadcasted<GradientPair<bf16>> div_backward(const NdArray<bf16>&, const NdArray<bf16>&,
                                                      const NdArray<bf16>&);
template Broadcasted<GradientPair<float>> div_backward(const NdArray<float>&, const NdArray<float>&,
                                                       const NdArray<float>&);

}  // namespace zevra
