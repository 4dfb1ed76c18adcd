#include "engine/cpu/ndarray.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <numeric>
#include <utility>

#include "engine/cpu/error.hpp"

namespace zevra {

void fatal_index_out_of_bounds(std::size_t len, std::size_t index) {
  fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
        std::to_string(index));
}

std::string format_shape(std::span<const std::size_t> shape) {
  std::string s = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

std::optional<std::size_t> checked_element_count(std::span<const std::size_t> shape) {
  constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  std::size_t product = 1;
  bool empty = false;
  for (std::size_t d : shape) {
    if (d == 0) {
      empty = true;
      continue;
    }
    if (__builtin_mul_overflow(product, d, &product) || product > limit) return std::nullopt;
  }
  return empty ? 0 : product;
}

std::size_t element_count(std::span<const std::size_t> shape) {
  std::size_t n = 1;
  for (std::size_t d : shape) n *= d;
  return n;
}

Strides row_major_strides(std::span<const std::size_t> shape) {
  Strides s(shape.size());
  std::ptrdiff_t step = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    s[i] = step;
    step *= std::ptrdiff_t(shape[i]);
  }
  return s;
}

Strides column_major_strides(std::span<const std::size_t> shape) {
  Strides s(shape.size());
  std::ptrdiff_t step = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    s[i] = step;
    step *= std::ptrdiff_t(shape[i]);
  }
  return s;
}

Strides fresh_row_major_strides(std::span<const std::size_t> shape) {
  return element_count(shape) == 0 ? Strides(shape.size(), 0) : row_major_strides(shape);
}

Strides fresh_column_major_strides(std::span<const std::size_t> shape) {
  return element_count(shape) == 0 ? Strides(shape.size(), 0) : column_major_strides(shape);
}

bool is_row_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  if (element_count(shape) == 0) return true;
  std::ptrdiff_t step = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 1) continue;
    if (strides[i] != step) return false;
    step *= std::ptrdiff_t(shape[i]);
  }
  return true;
}

bool is_column_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  if (element_count(shape) == 0) return true;
  std::ptrdiff_t step = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 1) continue;
    if (strides[i] != step) return false;
    step *= std::ptrdiff_t(shape[i]);
  }
  return true;
}

bool is_dense(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
  if (element_count(shape) == 0) return true;
  std::vector<std::size_t> axes;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] != 1) axes.push_back(i);
  std::sort(axes.begin(), axes.end(), [&](std::size_t a, std::size_t b) {
    return std::abs(strides[a]) < std::abs(strides[b]);
  });
  std::ptrdiff_t step = 1;
  for (std::size_t i : axes) {
    if (std::abs(strides[i]) != step) return false;
    step *= std::ptrdiff_t(shape[i]);
  }
  return true;
}

namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on a buffer is placed on huge pages: a fresh multi-megabyte result otherwise
// spends much of its time in page faults.
constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;

// Freed large buffers, kept for the next allocation of the same size: fresh memory from the
// system is zeroed page by page on first touch, which costs about as much as the kernel that
// fills it. Bounded in count and bytes so that little memory is held back.
class BufferCache {
 public:
  void* take(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_)
      if (e.block != nullptr && e.bytes == bytes) {
        held_ -= bytes;
        return std::exchange(e.block, nullptr);
      }
    return nullptr;
  }

  void give(void* block, std::size_t bytes) {
    {
      std::lock_guard lock(mutex_);
      if (held_ + bytes <= kMaxHeld)
        for (Entry& e : entries_)
          if (e.block == nullptr) {
            e = {block, bytes};
            held_ += bytes;
            return;
          }
    }
    std::free(block);
  }

 private:
  static constexpr std::size_t kMaxHeld = std::size_t{256} << 20;
  struct Entry {
    void* block = nullptr;
    std::size_t bytes = 0;
  };
  std::mutex mutex_;
  Entry entries_[4];
  std::size_t held_ = 0;
};

// Never destroyed: buffers may be released after static destructors have run.
BufferCache& buffer_cache() {
  static BufferCache* cache = new BufferCache;
  return *cache;
}

}  // namespace

std::shared_ptr<std::byte[]> allocate_buffer(std::size_t bytes) {
  if (bytes >= kHugeThreshold) {
    // Rounded to whole pages only, so that the resident size is that of the elements.
    std::size_t rounded = (bytes + kPage - 1) / kPage * kPage;
    void* p = buffer_cache().take(rounded);
    if (p == nullptr) {
      if (posix_memalign(&p, kHugePage, rounded) != 0) throw std::bad_alloc();
      // Whole huge pages only: a huge page for the partial tail would add up to 2 MiB.
      madvise(p, rounded / kHugePage * kHugePage, MADV_HUGEPAGE);
    }
    return std::shared_ptr<std::byte[]>(
        static_cast<std::byte*>(p), [rounded](std::byte* b) { buffer_cache().give(b, rounded); });
  }
  // Small buffers come from malloc, aligned by hand: aligned allocations take a much slower
  // path through the allocator, which single-element operations would feel.
  void* raw = std::malloc(bytes + kAlignment);
  if (raw == nullptr) throw std::bad_alloc();
  auto* p = reinterpret_cast<std::byte*>((reinterpret_cast<std::uintptr_t>(raw) + kAlignment) &
                                         ~std::uintptr_t{kAlignment - 1});
  return std::shared_ptr<std::byte[]>(p, [raw](std::byte*) { std::free(raw); });
}

}  // namespace zevra
