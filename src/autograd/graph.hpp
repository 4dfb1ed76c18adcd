// The tape: the calling thread's graph nodes in recording order, with one gradient slot per
// node. A node's id is its index; every node is pushed after the nodes of its inputs, so
// descending ids are a reverse topological order.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <variant>
#include <vector>

#include "autograd/context.hpp"
#include "autograd/ops.hpp"

namespace zevra {

// The one operation of every graph node: hand the gradient of its output on to its inputs.
template <class N>
concept BackwardOp = requires(const N& node, AutogradContext& ctx, const CpuStorage& grad) {
  { node.backward(ctx, grad) } -> std::same_as<Result<void>>;
};

// The node of a tensor without inputs.
struct LeafNode {
  Result<void> backward(AutogradContext&, const CpuStorage&) const { return {}; }
};

// Nodes are held by value: recording one costs no allocation of its own.
using Node = std::variant<LeafNode, AddNode, SubNode, MulNode, DivNode, MatmulNode, ScalarAddNode,
                          ScalarSubNode, ScalarMulNode, ScalarDivNode, ReshapeNode, TransposeNode>;

template <class V>
constexpr bool all_backward_ops = false;
template <class... N>
constexpr bool all_backward_ops<std::variant<N...>> = (BackwardOp<N> && ...);
static_assert(all_backward_ops<Node>);

inline Result<void> run_node(const Node& node, AutogradContext& ctx, const CpuStorage& grad) {
  return std::visit([&](const auto& n) { return n.backward(ctx, grad); }, node);
}

// Guards against re-entry on the owning thread: free, any number of readers, or one writer.
// A conflicting access is a fatal error.
class AccessState {
 public:
  class Shared {
   public:
    explicit Shared(AccessState& s);
    ~Shared() { --state_.count_; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    AccessState& state_;
  };

  class Exclusive {
   public:
    explicit Exclusive(AccessState& s);
    ~Exclusive() { state_.count_ = 0; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    AccessState& state_;
  };

 private:
  int count_ = 0;  // readers, or -1 while a writer holds it
};

class Tape {
 public:
  // Appends a leaf and returns its id.
  std::size_t push_leaf();

  // Records a node built by `make` from the ids of its operands, given left to right. An
  // operand without an id gets a fresh leaf first (not written back: the tensor stays a
  // constant). Returns the node's id, the last one appended.
  template <class Make, class... Ids>
  std::size_t push_node(Make&& make, Ids... operand_ids) {
    AccessState::Exclusive access(access_);
    // A braced list evaluates left to right, so the left operand's leaf comes first.
    std::array<std::size_t, sizeof...(Ids)> ids{id_or_leaf(operand_ids)...};
    return append(std::apply(make, ids));
  }

  // A copy of the gradient of node `id` with its own buffer, or nothing.
  std::optional<CpuStorage> get_grad(std::size_t id);

  // Drops every node and gradient; ids start again at 0. Keeps the lists' capacity unless
  // they have grown far beyond the usual graph.
  void clear();

  // Exclusive access for one backward pass: the nodes to run and the slots to write.
  class Pass {
   public:
    explicit Pass(Tape& tape) : tape_(tape), access_(tape.access_) {}
    std::span<const Node> nodes() const { return tape_.nodes_; }
    // Replaces the gradient of node `id` (grows the slots for an id beyond the end).
    void set_grad(std::size_t id, CpuStorage grad);

   private:
    Tape& tape_;
    AccessState::Exclusive access_;
  };

 private:
  std::size_t id_or_leaf(std::optional<std::size_t> id) { return id ? *id : append(LeafNode{}); }
  std::size_t append(Node node);

  std::vector<Node> nodes_;
  // At least as long as nodes_; longer only after a pass wrote to a stale id (one from before
  // a clear or from another thread's tape).
  std::vector<std::optional<CpuStorage>> grads_;
  AccessState access_;
};

// The calling thread's tape, created empty on the thread's first access and destroyed when the
// thread ends. Reaching it during or after that destruction is a fatal error.
Tape& thread_tape();

}  // namespace zevra
