#include "autograd/graph.hpp"

#include <utility>

namespace zevra {

namespace {

[[noreturn]] void fatal_in_use() {
  fatal("the tape of this thread is already in use");
}

}  // namespace

AccessState::Shared::Shared(AccessState& s) : state_(s) {
  if (state_.count_ < 0) fatal_in_use();
  ++state_.count_;
}

AccessState::Exclusive::Exclusive(AccessState& s) : state_(s) {
  if (state_.count_ != 0) fatal_in_use();
  state_.count_ = -1;
}

std::size_t Tape::append(Node node) {
  std::size_t id = nodes_.size();
  nodes_.push_back(std::move(node));
  // A slot beyond the nodes may hold a gradient that a pass wrote for a stale id; the new node
  // starts without one all the same.
  if (id < grads_.size())
    grads_[id].reset();
  else
    grads_.emplace_back();
  return id;
}

std::size_t Tape::push_leaf() {
  AccessState::Exclusive access(access_);
  return append(LeafNode{});
}

std::optional<CpuStorage> Tape::get_grad(std::size_t id) {
  AccessState::Shared access(access_);
  if (id >= grads_.size() || !grads_[id]) return std::nullopt;
  return grads_[id]->copy();
}

void Tape::clear() {
  AccessState::Exclusive access(access_);
  nodes_.clear();
  grads_.clear();
  // The lists keep their capacity for the next graph, up to a bound: one exceptionally large
  // graph must not pin its memory for the rest of the thread's life.
  constexpr std::size_t kKeptCapacity = std::size_t{1} << 14;
  if (nodes_.capacity() > kKeptCapacity) nodes_.shrink_to_fit();
  if (grads_.capacity() > kKeptCapacity) grads_.shrink_to_fit();
}

void Tape::Pass::set_grad(std::size_t id, CpuStorage grad) {
  if (id >= tape_.grads_.size()) tape_.grads_.resize(id + 1);
  tape_.grads_[id] = std::move(grad);
}

namespace {

// Set when the thread's tape is torn down. Trivially destructible, so it stays readable while
// the thread's other thread-local objects are destroyed.
thread_local bool tape_destroyed = false;

struct ThreadTape {
  Tape tape;
  // Runs before the nodes are dropped, so a node's destructor cannot reach the tape either.
  ~ThreadTape() { tape_destroyed = true; }
};

}  // namespace

Tape& thread_tape() {
  if (tape_destroyed) [[unlikely]]
    fatal("the tape of this thread has been destroyed with the thread");
  thread_local ThreadTape TAPE;
  return TAPE.tape;
}

}  // namespace zevra
