// The backward pass over the calling thread's tape.
#pragma once

#include <cstddef>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

// Walks the tape from node `root` down to node 0 with `seed` as the root's gradient, summing
// the gradients that each reached node receives. On success every reached node's slot on the
// tape is replaced; on failure the tape's slots are left exactly as they were. A root that the
// tape does not hold is a fatal error.
Result<void> backward_pass(std::size_t root, CpuStorage seed);

}  // namespace zevra
