// Long kernels run with the thread state detached, so other threads (and, on free-threaded
// interpreters, the collector's stop-the-world pauses) are not held up by our loops. Only code
// that touches no Python object may run detached.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "python/python.hpp"

namespace zevra::python {

// Elements of work below which a kernel finishes sooner than the thread state changes hands.
inline constexpr std::size_t detach_threshold = std::size_t{1} << 15;

class DetachedThreadState {
 public:
  DetachedThreadState() : state_(PyEval_SaveThread()) {}
  ~DetachedThreadState() { PyEval_RestoreThread(state_); }  // also when an exception passes
  DetachedThreadState(const DetachedThreadState&) = delete;
  DetachedThreadState& operator=(const DetachedThreadState&) = delete;

 private:
  PyThreadState* state_;
};

// Runs f, detached when `work` (elements touched) reaches the threshold.
template <class F>
decltype(auto) run_sized(std::size_t work, F&& f) {
  if (work < detach_threshold) return f();
  DetachedThreadState detached;
  return f();
}

// Elements in the broadcast of two shapes (an estimate for shapes that do not broadcast),
// saturating instead of overflowing.
inline std::size_t broadcast_work(std::span<const std::size_t> a, std::span<const std::size_t> b) {
  std::size_t n = 1;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    std::size_t ea = i < a.size() ? a[a.size() - 1 - i] : 1;
    std::size_t eb = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (__builtin_mul_overflow(n, std::max(ea, eb), &n)) return SIZE_MAX;
  }
  return n;
}

}  // namespace zevra::python
