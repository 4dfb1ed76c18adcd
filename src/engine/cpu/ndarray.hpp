// The strided n-dimensional array every storage holds: a shared, immutable element buffer,
// the position of the first element in it, the shape and the element strides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/cpu/float16.hpp"

namespace zevra {

using Shape = std::vector<std::size_t>;
using Strides = std::vector<std::ptrdiff_t>;

// "[2, 3]", "[]" for no dimensions.
std::string format_shape(std::span<const std::size_t> shape);

// The product of the extents, or nothing when the product of the non-zero extents
// overflows or exceeds the largest pointer-sized signed integer.
std::optional<std::size_t> checked_element_count(std::span<const std::size_t> shape);

// Unchecked product of the extents (1 for no dimensions).
std::size_t element_count(std::span<const std::size_t> shape);

// Row-major strides of a shape: last axis 1, each other the product of the extents after it.
Strides row_major_strides(std::span<const std::size_t> shape);

// Strides of a freshly laid-out result: as above, but all 0 when the array has no elements.
Strides fresh_row_major_strides(std::span<const std::size_t> shape);
Strides fresh_column_major_strides(std::span<const std::size_t> shape);

// Column-major strides: first axis 1, each other the product of the extents before it.
Strides column_major_strides(std::span<const std::size_t> shape);

// Whether the strides are those of a row-major layout; axes of extent 1 may have any
// stride and an array without elements counts as row-major.
bool is_row_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

// The same read from the first axis to the last.
bool is_column_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

// Whether the elements fill one gap-free block in some order of the axes (a permutation of a
// row-major layout); axes of extent 1 may have any stride.
bool is_dense(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

// An aligned, uninitialised allocation of `bytes` bytes (64-byte aligned; large ones are
// backed by transparent huge pages where the system offers them). Throws std::bad_alloc.
std::shared_ptr<std::byte[]> allocate_buffer(std::size_t bytes);

template <class T>
struct NdArray {
  std::shared_ptr<std::byte[]> buffer;  // shared only because nothing writes a finished array
  T* data = nullptr;                    // the first element
  Shape shape;
  Strides strides;

  std::size_t ndim() const { return shape.size(); }
  std::size_t size() const { return element_count(shape); }

  // A new uninitialised array with the given layout. The strides must describe a gap-free
  // block (any axis order); the block is allocated and `data` points at element zero.
  static NdArray with_layout(Shape shape, Strides strides) {
    NdArray a;
    std::size_t n = element_count(shape);
    // Counts are checked against the pointer-sized limit, but their bytes may still exceed it
    // (and wrap): such an array can never be allocated.
    if (n > std::size_t(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T))
      throw std::bad_alloc();
    a.buffer = allocate_buffer(n * sizeof(T));
    std::ptrdiff_t offset = 0;  // negative strides start the first element further in
    for (std::size_t i = 0; i < shape.size(); ++i)
      if (strides[i] < 0 && shape[i] > 0) offset -= strides[i] * std::ptrdiff_t(shape[i] - 1);
    a.data = reinterpret_cast<T*>(a.buffer.get()) + offset;
    a.shape = std::move(shape);
    a.strides = std::move(strides);
    return a;
  }

  // A new uninitialised row-major array, laid out as every fresh result is: an array without
  // elements gets all strides 0.
  static NdArray row_major(Shape shape) {
    Strides s = fresh_row_major_strides(shape);
    return with_layout(std::move(shape), std::move(s));
  }

  // A new uninitialised array with the row-major strides of its shape even when it has no
  // elements: the layout of arrays built from user data.
  static NdArray row_major_exact(Shape shape) {
    Strides s = row_major_strides(shape);
    return with_layout(std::move(shape), std::move(s));
  }

  // A new row-major array with every element equal to `value`.
  static NdArray filled(Shape shape, T value) {
    NdArray a = row_major(std::move(shape));
    std::size_t n = a.size();
    for (std::size_t i = 0; i < n; ++i) a.data[i] = value;
    return a;
  }
};

}  // namespace zevra
