#include "engine/cpu/numeric/ops/broadcast.hpp"

#include <algorithm>

namespace zevra {

Broadcasted<Shape> broadcast_shapes(std::span<const std::size_t> a,
                                    std::span<const std::size_t> b) {
  std::size_t n = std::max(a.size(), b.size());
  Shape result(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t da = i < a.size() ? a[a.size() - 1 - i] : 1;
    std::size_t db = i < b.size() ? b[b.size() - 1 - i] : 1;
    std::size_t& d = result[n - 1 - i];
    if (da == db || db == 1)
      d = da;
    else if (da == 1)
      d = db;
    else
      return std::unexpected("Shape mismatch: cannot broadcast " + format_shape(a) + " and " +
                             format_shape(b));
  }
  return result;
}

std::optional<Strides> expand_strides(std::span<const std::size_t> shape,
                                      std::span<const std::ptrdiff_t> strides,
                                      std::span<const std::size_t> target) {
  if (!checked_element_count(target) || target.size() < shape.size()) return std::nullopt;
  std::size_t lead = target.size() - shape.size();
  Strides result(target.size(), 0);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == target[lead + i])
      result[lead + i] = strides[i];
    else if (shape[i] != 1)
      return std::nullopt;
  }
  return result;
}

std::string broadcast_failed(char operand, std::span<const std::size_t> shape,
                             std::span<const std::size_t> target) {
  return std::string("Broadcast failed for ") + operand + ": " + format_shape(shape) + " -> " +
         format_shape(target);
}

}  // namespace zevra
