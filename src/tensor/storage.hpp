// What a tensor shares: exactly one CpuStorage (the CPU is the only device).
#pragma once

#include <memory>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

struct Storage {
  CpuStorage cpu;
};

using StoragePtr = std::shared_ptr<const Storage>;

inline StoragePtr share(CpuStorage s) {
  return std::make_shared<const Storage>(Storage{std::move(s)});
}

}  // namespace zevra
