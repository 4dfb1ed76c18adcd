// Raw copies between foreign memory (arrays handed in and out by the binding) and storages.
// Data always crosses by copy, so a storage never shares memory with the outside.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace zevra {

// A new row-major storage of `dtype` from elements laid out as one row-major run at `data`
// (any alignment). Bool bytes other than 0 read as true.
CpuStorage storage_from_block(DType dtype, const void* data, Shape shape);

// The same from elements at `data` with the given element strides (one per axis, any sign;
// `data` aligned for the element type), read in row-major logical order.
CpuStorage storage_from_strided(DType dtype, const void* data, Shape shape,
                                std::span<const std::ptrdiff_t> strides);

// A new uninitialised row-major storage of `dtype`, and where its elements go: for a copy made by
// foreign code, which must finish before the storage is shared.
std::pair<CpuStorage, void*> storage_to_fill(DType dtype, Shape shape);

// Rewrites Bool bytes other than 0 as 1 (Bool elements that foreign code wrote).
void normalise_bools(void* data, std::size_t count);

// How a storage's elements are laid out in an array handed out.
enum class ExportLayout {
  RowMajorBlock,     // the storage is row-major: same strides, one block copy
  ColumnMajorBlock,  // the storage is column-major (2+ dimensions): same strides, one block copy
  RowMajorCopy,      // any other layout: a row-major array filled element by element
};

ExportLayout export_layout(const CpuStorage& storage);

// Writes the storage's elements into `dst`, an allocation of size() elements laid out as
// `layout` says (for the block layouts, with the storage's own strides).
void export_elements(const CpuStorage& storage, ExportLayout layout, void* dst);

}  // namespace zevra
