// The gradient store of one backward pass.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

// Slot i holds the sum of the gradients that node i has received so far in the pass. Slots
// are indexed by node id and grow on demand (a stale id may lie beyond the end).
class AutogradContext {
 public:
  explicit AutogradContext(std::size_t slots) : grads_(slots) {}

  // Adds `g` to the gradient held for node `id` (the held one on the left, by broadcasting
  // addition). On failure the slot keeps what it held and `g` is dropped.
  Result<void> accumulate(std::size_t id, CpuStorage g);

  // Puts `g` into slot `id`, replacing what it held.
  void set_grad(std::size_t id, CpuStorage g);

  // Moves the gradient out of slot `id` (nothing when the slot is empty or beyond the end).
  std::optional<CpuStorage> take(std::size_t id);

  std::size_t size() const { return grads_.size(); }

 private:
  std::optional<CpuStorage>& slot(std::size_t id);

  std::vector<std::optional<CpuStorage>> grads_;
};

}  // namespace zevra
