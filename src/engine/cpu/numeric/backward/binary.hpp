// Gradient kernels of element-wise multiplication and division. Gradients keep the broadcast
// shape of the forward step: nothing is summed down to an operand's shape.
#pragma once

#include <utility>

#include "engine/cpu/ndarray.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace zevra {

// (gradient for lhs, gradient for rhs).
template <class T>
using GradientPair = std::pair<NdArray<T>, NdArray<T>>;

// (grad * rhs, grad * lhs), two passes of the element-wise product kernel; the first failure
// ends it.
template <class T>
Broadcasted<GradientPair<T>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                          const NdArray<T>& rhs);

// (g / b, ((-g) * a) / (b * b)) over F = broadcast(broadcast(grad, lhs), rhs), both row-major,
// in one pass with every product and quotient rounded to T. An F too large to count is a fatal
// error.
template <class T>
Broadcasted<GradientPair<T>> div_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                          const NdArray<T>& rhs);

}  // namespace zevra
