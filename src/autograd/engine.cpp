#include "autograd/engine.hpp"

#include <utility>

#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace zevra {

Result<void> backward_pass(std::size_t root, CpuStorage seed) {
  Tape::Pass pass(thread_tape());
  std::span<const Node> nodes = pass.nodes();
  if (root >= nodes.size()) fatal_index_out_of_bounds(nodes.size(), root);

  // Inputs have smaller ids than their node, so only slots up to the root are ever filled
  // (apart from stale ids, for which the context grows).
  AutogradContext ctx(root + 1);
  ctx.set_grad(root, std::move(seed));
  for (std::size_t id = root + 1; id-- > 0;) {
    std::optional<CpuStorage> grad = ctx.take(id);
    if (!grad) continue;  // nothing flows into this node
    if (Result<void> r = run_node(nodes[id], ctx, *grad); !r) return r;
    ctx.set_grad(id, std::move(*grad));
  }

  // Only now, with every node done, do the gradients replace the tape's.
  for (std::size_t id = 0; id < ctx.size(); ++id)
    if (std::optional<CpuStorage> grad = ctx.take(id)) pass.set_grad(id, std::move(*grad));
  return {};
}

}  // namespace zevra
