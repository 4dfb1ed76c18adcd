// Shape operations: constant arrays of a shape, reshape with its two refusals, axis exchange,
// whole-array copies and the shape/strides accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "engine/cpu/numeric/ops/shape.hpp"
#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::storage_of;
using testing::values;

CpuStorage iota(const Shape& shape) {
  std::vector<float> v(element_count(shape));
  std::iota(v.begin(), v.end(), 0.0f);
  return storage_of(shape, v);
}

template <class T>
std::vector<std::uint16_t> bits(const CpuStorage& s) {
  const auto& a = std::get<NdArray<T>>(s.array);
  std::vector<std::uint16_t> out;
  for (std::size_t i = 0; i < a.size(); ++i) out.push_back(a.data[i].bits);
  return out;
}

TEST(Shape, ZerosAndOnesPerType) {
  const Shape shape{2, 2};
  auto of = [&](auto tag) { return storage_of<decltype(tag)>(shape, {1, 0, 1, 0}); };
  EXPECT_EQ(bits<f16>(of(f16{}).zeros_like()), std::vector<std::uint16_t>(4, 0x0000));
  EXPECT_EQ(bits<f16>(of(f16{}).ones_like()), std::vector<std::uint16_t>(4, 0x3C00));
  EXPECT_EQ(bits<bf16>(of(bf16{}).zeros_like()), std::vector<std::uint16_t>(4, 0x0000));
  EXPECT_EQ(bits<bf16>(of(bf16{}).ones_like()), std::vector<std::uint16_t>(4, 0x3F80));
  // Zero is +0.0, not -0.0.
  auto z = of(float{}).zeros_like();
  EXPECT_FALSE(std::signbit(std::get<NdArray<float>>(z.array).data[0]));
  EXPECT_EQ(values(z), std::vector<float>(4, 0.0f));
  EXPECT_EQ(values(of(float{}).ones_like()), std::vector<float>(4, 1.0f));
  EXPECT_EQ(values(of(bool{}).zeros_like()), std::vector<float>(4, 0.0f));
  EXPECT_EQ(values(of(bool{}).ones_like()), std::vector<float>(4, 1.0f));
  EXPECT_EQ(of(bool{}).ones_like().dtype(), DType::Bool);
  EXPECT_EQ(values(bool_ones({3})), std::vector<float>(3, 1.0f));
  EXPECT_EQ(bool_ones({3}).dtype(), DType::Bool);
}

TEST(Shape, ConstantArraysAreRowMajor) {
  CpuStorage t = iota({2, 3}).transpose(0, 1);
  for (const auto& s : {t.zeros_like(), t.ones_like()}) {
    EXPECT_EQ(s.shape(), (Shape{3, 2}));
    EXPECT_EQ(s.strides(), (Strides{2, 1}));
  }
  EXPECT_EQ(iota({}).ones_like().shape(), Shape{});
  EXPECT_EQ(iota({0, 3}).zeros_like().strides(), (Strides{0, 0}));
}

TEST(Shape, ReshapeKeepsRowMajorOrder) {
  struct Case {
    Shape from, to;
  } cases[] = {
      {{2, 3}, {3, 2}}, {{2, 3}, {6}}, {{2, 3}, {1, 6, 1}}, {{}, {1}},     {{}, {1, 1}},
      {{1}, {}},        {{1, 1}, {}},  {{0, 3}, {3, 0}},    {{0, 3}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format_shape(c.from) + " -> " + format_shape(c.to));
    auto r = iota(c.from).reshape(c.to);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->shape(), c.to);
    EXPECT_EQ(r->strides(), fresh_row_major_strides(c.to));
    EXPECT_EQ(values(*r), values(iota(c.from)));
  }
  EXPECT_EQ(values(*iota({2, 3}).reshape({3, 2})), (std::vector<float>{0, 1, 2, 3, 4, 5}));
  // Axes of extent 1 do not count in the layout test: the transpose of (1, 3) reads as row-major.
  auto r = iota({1, 3}).transpose(0, 1).reshape({3});
  ASSERT_TRUE(r);
  EXPECT_EQ(values(*r), (std::vector<float>{0, 1, 2}));
}

TEST(Shape, ReshapeRefusalsSizeFirst) {
  const std::string shape_error =
      "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes";
  const std::string layout_error =
      "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout";
  constexpr std::size_t huge = std::size_t{1} << 32;
  CpuStorage t = iota({2, 3}).transpose(0, 1);
  struct Case {
    CpuStorage input;
    Shape to;
    const std::string& message;
  } cases[] = {
      {iota({2, 3}), {4}, shape_error},
      {iota({2, 3}), {0}, shape_error},
      {iota({0, 3}), {1}, shape_error},
      {t, {6}, layout_error},
      {t, {3, 2}, layout_error},  // even to its own shape
      {t, {5}, shape_error},      // the size test comes first
      // (2^63 + 3) * 2 wraps around to 6 in 64 bits.
      {iota({2, 3}), {(std::size_t{1} << 63) + 3, 2}, shape_error},
      {iota({0}), {huge, huge, 0}, shape_error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(format_shape(c.to));
    auto r = c.input.reshape(c.to);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
    EXPECT_EQ(r.error().message, c.message);
  }
}

TEST(Shape, TransposeExchangesExtentsAndStrides) {
  CpuStorage t = iota({2, 3}).transpose(0, 1);
  EXPECT_EQ(t.shape(), (Shape{3, 2}));
  EXPECT_EQ(t.strides(), (Strides{1, 3}));
  EXPECT_EQ(values(t), (std::vector<float>{0, 3, 1, 4, 2, 5}));
  CpuStorage back = t.transpose(1, 0);
  EXPECT_EQ(back.strides(), (Strides{3, 1}));
  EXPECT_EQ(values(back), values(iota({2, 3})));
  CpuStorage same = iota({2, 3, 4}).transpose(1, 1);
  EXPECT_EQ(same.strides(), (Strides{12, 4, 1}));
  EXPECT_EQ(values(same), values(iota({2, 3, 4})));
  EXPECT_EQ(iota({2, 3, 4}).transpose(0, 2).strides(), (Strides{1, 4, 12}));
  EXPECT_EQ(storage_of<bool>({1, 2}, {1, 0}).transpose(0, 1).dtype(), DType::Bool);
}

TEST(Shape, TransposeAxisOutOfRangeIsFatal) {
  struct Case {
    Shape shape;
    std::size_t dim0, dim1;
    std::string message;
  } cases[] = {
      {{2, 3}, 0, 2, "index out of bounds: the len is 2 but the index is 2"},
      {{2, 3}, 5, 0, "index out of bounds: the len is 2 but the index is 5"},
      {{2, 3}, 5, 7, "index out of bounds: the len is 2 but the index is 5"},
      {{}, 0, 0, "index out of bounds: the len is 0 but the index is 0"},
  };
  for (const auto& c : cases) {
    try {
      (void)iota(c.shape).transpose(c.dim0, c.dim1);
      ADD_FAILURE() << "no fatal error";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST(Shape, CopyHasItsOwnBufferAndTheSameLayout) {
  for (const CpuStorage& s : {iota({2, 3}), iota({2, 3, 4}).transpose(0, 2), iota({}), iota({0, 3}),
                              storage_of<f16>({2, 2}, {1, 2, 3, 4}).transpose(0, 1)}) {
    CpuStorage c = s.copy();
    EXPECT_EQ(c.dtype(), s.dtype());
    EXPECT_EQ(c.shape(), s.shape());
    EXPECT_EQ(c.strides(), s.strides());
    EXPECT_EQ(values(c), values(s));
    std::visit(
        [&](const auto& a) {
          using A = std::decay_t<decltype(a)>;
          EXPECT_NE(std::get<A>(s.array).buffer.get(), a.buffer.get());
        },
        c.array);
  }
}

}  // namespace
}  // namespace zevra
