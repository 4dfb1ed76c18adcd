// Broadcasting: the common shape of two shapes, the zero-stride views, and every refusal with
// its message, including the element-count limit.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <variant>

#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace zevra {
namespace {

// An array header over a single element: broadcasting reads only shapes and strides, so huge
// shapes can be checked without memory behind them.
template <class T = float>
NdArray<T> header(Shape shape, Strides strides = {}) {
  static T element{};
  NdArray<T> a;
  a.data = &element;
  a.strides = strides.empty() ? row_major_strides(shape) : std::move(strides);
  a.shape = std::move(shape);
  return a;
}

std::string outcome(const Broadcasted<Shape>& r) {
  return r ? format_shape(*r) : "error: " + r.error();
}

TEST(BroadcastShapes, Table) {
  struct Case {
    Shape a, b;
    std::string expected;
  };
  const Case cases[] = {
      {{}, {2, 3}, "[2, 3]"},
      {{}, {}, "[]"},
      {{3}, {2, 3}, "[2, 3]"},
      {{2, 1}, {1, 3}, "[2, 3]"},
      {{4, 1, 5}, {3, 1}, "[4, 3, 5]"},
      {{0}, {1}, "[0]"},
      {{1}, {0}, "[0]"},
      {{0, 1}, {1, 0}, "[0, 0]"},
      {{2, 3}, {3, 2}, "error: Shape mismatch: cannot broadcast [2, 3] and [3, 2]"},
      {{2, 3}, {4}, "error: Shape mismatch: cannot broadcast [2, 3] and [4]"},
      {{0}, {3}, "error: Shape mismatch: cannot broadcast [0] and [3]"},
      {{5, 2, 3}, {}, "[5, 2, 3]"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(outcome(broadcast_shapes(c.a, c.b)), c.expected)
        << format_shape(c.a) << " with " << format_shape(c.b);
}

template <class T>
void expect_views(const NdArray<T>& a, const NdArray<T>& b, const Shape& shape, const Strides& sa,
                  const Strides& sb) {
  auto r = broadcast_tensors(a, b);
  ASSERT_TRUE(r) << r.error();
  const auto& [va, vb] = *r;
  EXPECT_EQ(Shape(va.shape.begin(), va.shape.end()), shape);
  EXPECT_EQ(Shape(vb.shape.begin(), vb.shape.end()), shape);
  EXPECT_EQ(Strides(va.strides.begin(), va.strides.end()), sa);
  EXPECT_EQ(Strides(vb.strides.begin(), vb.strides.end()), sb);
  EXPECT_EQ(va.data, a.data);
  EXPECT_EQ(vb.data, b.data);
}

TEST(BroadcastTensors, ViewsHaveZeroStrides) {
  expect_views(header({2, 3}), header({3}), {2, 3}, {3, 1}, {0, 1});
  expect_views(header({2, 1}), header({2, 3}), {2, 3}, {1, 0}, {3, 1});
  expect_views(header({2, 1}), header({1, 3}), {2, 3}, {1, 0}, {0, 1});
  expect_views(header({}), header({4, 1, 5}), {4, 1, 5}, {0, 0, 0}, {5, 5, 1});
  // A transposed operand keeps its strides; an operand of the common shape is not touched.
  expect_views(header({2, 3}, {1, 2}), header({1}), {2, 3}, {1, 2}, {0, 0});
  expect_views(header({2, 3}, {1, 2}), header({2, 3}, {1, 2}), {2, 3}, {1, 2}, {1, 2});
  // Bool arrays follow the same rule.
  expect_views(header<bool>({2}), header<bool>({2, 1}), {2, 2}, {0, 1}, {1, 0});
}

TEST(BroadcastTensors, ViewsSurviveAMove) {
  NdArray<float> a = header({2, 1}), b = header({1, 3});
  auto r = broadcast_tensors(a, b);
  ASSERT_TRUE(r);
  BroadcastViews<float> moved = std::move(*r);
  EXPECT_EQ(Strides(moved.a.strides.begin(), moved.a.strides.end()), (Strides{1, 0}));
  EXPECT_EQ(Shape(moved.b.shape.begin(), moved.b.shape.end()), (Shape{2, 3}));
}

template <class T = float>
std::string failure(Shape a, Shape b) {
  auto r = broadcast_tensors(header<T>(std::move(a)), header<T>(std::move(b)));
  return r ? "ok" : r.error();
}

TEST(BroadcastTensors, Refusals) {
  static_assert(sizeof(std::size_t) == 8, "the limits below are those of a 64-bit target");
  const std::size_t k32 = std::size_t{1} << 32;
  // Compatible extents whose element count does not fit: the left view fails first.
  EXPECT_EQ(failure({k32, 1}, {1, k32}),
            "Broadcast failed for A: [4294967296, 1] -> [4294967296, 4294967296]");
  EXPECT_EQ(failure<bool>({k32, 1}, {1, k32}),
            "Broadcast failed for A: [4294967296, 1] -> [4294967296, 4294967296]");
  // 3037000500^2 just exceeds 2^63 - 1, 3037000499^2 just fits.
  EXPECT_EQ(failure({3037000500, 1}, {1, 3037000500}),
            "Broadcast failed for A: [3037000500, 1] -> [3037000500, 3037000500]");
  EXPECT_EQ(failure({3037000499, 1}, {1, 3037000499}), "ok");
  // Extents 0 are left out of the count, so an empty target can still be too large.
  EXPECT_EQ(failure({0, k32, 1}, {k32}),
            "Broadcast failed for A: [0, 4294967296, 1] -> [0, 4294967296, 4294967296]");
  // Incompatible shapes are reported before any size check.
  EXPECT_EQ(failure({k32, 2}, {3}), "Shape mismatch: cannot broadcast [4294967296, 2] and [3]");
  EXPECT_EQ(failure<bool>({3}, {4}), "Shape mismatch: cannot broadcast [3] and [4]");
}

TEST(ExpandStrides, ImpossibleExpansions) {
  const Shape three{3};
  const Strides unit{1};
  const Shape target{2, 3};
  EXPECT_EQ(expand_strides(target, Strides{3, 1}, three), std::nullopt);  // fewer target axes
  EXPECT_EQ(expand_strides(three, unit, Shape{2, 4}), std::nullopt);      // 3 against 4
  EXPECT_EQ(expand_strides(three, unit, target), (Strides{0, 1}));
}

}  // namespace
}  // namespace zevra
