#include "autograd/context.hpp"

#include <utility>

namespace zevra {

std::optional<CpuStorage>& AutogradContext::slot(std::size_t id) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  return grads_[id];
}

Result<void> AutogradContext::accumulate(std::size_t id, CpuStorage g) {
  std::optional<CpuStorage>& held = slot(id);
  if (!held) {
    held.emplace(std::move(g));
    return {};
  }
  Result<CpuStorage> sum = held->add(g);
  if (!sum) return std::unexpected(std::move(sum.error()));
  *held = std::move(*sum);
  return {};
}

void AutogradContext::set_grad(std::size_t id, CpuStorage g) {
  slot(id) = std::move(g);
}

std::optional<CpuStorage> AutogradContext::take(std::size_t id) {
  if (id >= grads_.size()) return std::nullopt;
  return std::exchange(grads_[id], std::nullopt);
}

}  // namespace zevra
