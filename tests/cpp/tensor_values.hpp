// Building small tensors from values and reading storages back, for the autograd tests.
#pragma once

#include <stdexcept>
#include <vector>

#include "tensor/core.hpp"

namespace zevra::testing {

template <class T = float>
CpuStorage storage_of(Shape shape, const std::vector<float>& values) {
  auto a = NdArray<T>::row_major(std::move(shape));
  for (std::size_t i = 0; i < values.size(); ++i) {
    if constexpr (std::is_same_v<T, bool>)
      a.data[i] = values[i] != 0;
    else
      a.data[i] = from_f32<T>(values[i]);
  }
  return CpuStorage(std::move(a));
}

template <class T = float>
Tensor tensor(Shape shape, const std::vector<float>& values, bool requires_grad = true) {
  return make_tensor(storage_of<T>(std::move(shape), values), requires_grad);
}

// The elements in row-major order of the shape, whatever the strides, widened to float.
inline std::vector<float> values(const CpuStorage& s) {
  return std::visit(
      [](const auto& a) {
        std::vector<float> out(a.size());
        for (std::size_t flat = 0; flat < out.size(); ++flat) {
          std::ptrdiff_t offset = 0;
          for (std::size_t k = a.ndim(), rest = flat; k-- > 0; rest /= a.shape[k])
            offset += std::ptrdiff_t(rest % a.shape[k]) * a.strides[k];
          if constexpr (std::is_same_v<decltype(a.data[0]), const bool&>)
            out[flat] = a.data[offset];
          else
            out[flat] = to_f32(a.data[offset]);
        }
        return out;
      },
      s.array);
}

inline std::vector<float> values(const Tensor& t) {
  return values(t.storage->cpu);
}

// The gradient of `t` on the calling thread's tape; fails the test when there is none.
inline CpuStorage grad_of(const Tensor& t) {
  std::optional<CpuStorage> g = grad(t);
  if (!g) throw std::runtime_error("no gradient");
  return std::move(*g);
}

}  // namespace zevra::testing
