// Batched matrix multiplication: values against a naive reference over many layouts, the
// 16-bit rounding, result layout, dispatch and the messages in their order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "engine/cpu/numeric/ops/matmul.hpp"
#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::storage_of;
using testing::values;

// Small integers keep every sum exact, so any summation order gives the same float.
CpuStorage random_storage(const Shape& shape, std::mt19937& rng) {
  std::uniform_int_distribution<int> digit(-4, 4);
  std::vector<float> v(element_count(shape));
  for (float& x : v) x = float(digit(rng));
  return storage_of(shape, v);
}

// The batched product of the row-major values of a and b, naively, with the batch broadcast.
std::pair<Shape, std::vector<float>> reference_product(const CpuStorage& a, const CpuStorage& b) {
  Shape as = a.shape(), bs = b.shape();
  std::vector<float> av = values(a), bv = values(b);
  std::size_t m = as[as.size() - 2], k = as.back(), n = bs.back();
  std::size_t nb = std::max(as.size(), bs.size()) - 2;
  // Batch extents of each operand, padded with leading 1s.
  auto padded = [&](const Shape& s) {
    Shape p(nb + 2 - s.size(), 1);
    p.insert(p.end(), s.begin(), s.end() - 2);
    return p;
  };
  Shape pa = padded(as), pb = padded(bs), batch(nb);
  for (std::size_t i = 0; i < nb; ++i) batch[i] = pa[i] == 1 ? pb[i] : pa[i];
  Shape out_shape = batch;
  out_shape.push_back(m);
  out_shape.push_back(n);
  std::vector<float> out;
  for (std::size_t flat = 0; flat < element_count(batch); ++flat) {
    std::size_t ia = 0, ib = 0;
    for (std::size_t i = 0, rest = flat, span = element_count(batch); i < nb; ++i) {
      span /= batch[i];
      std::size_t idx = rest / span;
      rest %= span;
      ia = ia * pa[i] + (pa[i] == 1 ? 0 : idx);
      ib = ib * pb[i] + (pb[i] == 1 ? 0 : idx);
    }
    for (std::size_t r = 0; r < m; ++r)
      for (std::size_t c = 0; c < n; ++c) {
        double sum = 0;
        for (std::size_t p = 0; p < k; ++p)
          sum += double(av[(ia * m + r) * k + p]) * bv[(ib * k + p) * n + c];
        out.push_back(float(sum));
      }
  }
  return {out_shape, out};
}

void expect_product(const CpuStorage& a, const CpuStorage& b) {
  auto product = a.matmul(b);
  ASSERT_TRUE(product) << product.error().message;
  auto [shape, expected] = reference_product(a, b);
  EXPECT_EQ(product->shape(), shape);
  EXPECT_EQ(product->strides(), fresh_row_major_strides(shape));
  EXPECT_EQ(values(*product), expected);
}

struct ShapePair {
  Shape a, b;
};

TEST(Matmul, MatchesReferenceForRowMajorOperands) {
  std::mt19937 rng(1);
  const ShapePair cases[] = {
      {{2, 3}, {3, 4}},
      {{1, 1}, {1, 1}},
      {{5, 2, 3}, {3, 4}},
      {{3, 4}, {6, 4, 2}},
      {{2, 1, 2, 3}, {4, 3, 5}},
      {{3, 1, 4, 5}, {3, 2, 5, 2}},
      {{7, 3, 2, 2}, {7, 3, 2, 2}},
      {{40, 1, 33}, {33, 70}},
      {{1, 65}, {65, 1}},
      {{65, 1}, {1, 65}},
      {{4, 50, 30}, {4, 30, 20}},
      {{2, 3, 1, 20}, {3, 20, 9}},
      {{6, 1, 9, 8}, {1, 5, 8, 7}},
      {{1, 2, 3}, {1, 3, 2}},
  };
  for (const auto& [as, bs] : cases) {
    SCOPED_TRACE(format_shape(as) + " @ " + format_shape(bs));
    expect_product(random_storage(as, rng), random_storage(bs, rng));
  }
}

TEST(Matmul, ReadsAnyStrides) {
  std::mt19937 rng(2);
  // Column-major (transposed) operands go to the kernel as they are; an operand with no unit
  // stride (axes 0 and 2 of a 3-D array exchanged) is packed.
  CpuStorage at = random_storage({30, 20}, rng).transpose(0, 1);  // (20, 30), strides [1, 20]
  CpuStorage bt = random_storage({10, 30}, rng).transpose(0, 1);  // (30, 10)
  CpuStorage a = random_storage({20, 30}, rng), b = random_storage({30, 10}, rng);
  CpuStorage packed = random_storage({30, 4, 20}, rng).transpose(0, 2);   // (20, 4, 30)
  CpuStorage small_t = random_storage({3, 2}, rng).transpose(0, 1);       // (2, 3)
  CpuStorage batch_t = random_storage({5, 30, 20}, rng).transpose(1, 2);  // (5, 20, 30)
  const std::pair<CpuStorage, CpuStorage> cases[] = {
      {at, b},
      {a, bt},
      {at, bt},
      {packed.transpose(0, 1), b},  // (4, 20, 30), strides [20, 1, 80]: a wide leading dimension
      {packed, random_storage({20, 30, 6}, rng)},
      {small_t, random_storage({3, 2}, rng)},
      {batch_t, bt},
      {random_storage({6, 30}, rng), batch_t.transpose(1, 2)},
      // (2, 1, 7, 4) with matrix strides [2, 14]: packed once for the three products using it
      {random_storage({2, 3, 5, 7}, rng),
       random_storage({4, 7, 1, 2}, rng).transpose(0, 3).transpose(1, 2)},
  };
  for (const auto& [x, y] : cases) {
    SCOPED_TRACE(format_shape(x.shape()) + " @ " + format_shape(y.shape()));
    expect_product(x, y);
  }
}

TEST(Matmul, EmptyExtents) {
  std::mt19937 rng(3);
  const ShapePair cases[] = {
      {{2, 0}, {0, 3}},    {{0, 3}, {3, 4}},       {{2, 3}, {3, 0}},
      {{0, 2, 3}, {3, 4}}, {{4, 2, 0}, {1, 0, 5}}, {{3, 0, 2}, {2, 2}},
  };
  for (const auto& [as, bs] : cases) {
    SCOPED_TRACE(format_shape(as) + " @ " + format_shape(bs));
    expect_product(random_storage(as, rng), random_storage(bs, rng));
  }
  // k = 0 gives zeros; an empty result has all strides 0.
  auto zeros = *storage_of({2, 0}, {}).matmul(storage_of({0, 3}, {}));
  EXPECT_EQ(values(zeros), std::vector<float>(6, 0.0f));
  auto empty = *storage_of({0, 3}, {}).matmul(storage_of({3, 4}, std::vector<float>(12, 1)));
  EXPECT_EQ(empty.strides(), (Strides{0, 0}));
}

TEST(Matmul, SixteenBitRoundsEachResultOnce) {
  // 40000 + 40000 - 40000: the partial sum leaves the binary16 range. 2048 + 1 + 1 and
  // 256 + 1 + 1 would stay at 2048 and 256 if every step were rounded to 16 bits.
  auto f16_product =
      *storage_of<f16>({1, 3}, {40000, 40000, -40000}).matmul(storage_of<f16>({3, 1}, {1, 1, 1}));
  EXPECT_EQ(f16_product.dtype(), DType::F16);
  EXPECT_EQ(values(f16_product), std::vector<float>{40000});
  auto f16_sum = *storage_of<f16>({1, 3}, {2048, 1, 1}).matmul(storage_of<f16>({3, 1}, {1, 1, 1}));
  EXPECT_EQ(values(f16_sum), std::vector<float>{2050});
  auto bf16_sum =
      *storage_of<bf16>({1, 3}, {256, 1, 1}).matmul(storage_of<bf16>({3, 1}, {1, 1, 1}));
  EXPECT_EQ(bf16_sum.dtype(), DType::BF16);
  EXPECT_EQ(values(bf16_sum), std::vector<float>{258});

  // Results of float32 products rounded to nearest, ties to even: 1 + 2^-11 (f16) and
  // 1 + 2^-8 (bf16) are ties that go down to 1; 1 + 3 * 2^-11 goes up.
  const float h = std::ldexp(1.0f, -11), b = std::ldexp(1.0f, -8);
  EXPECT_EQ(
      values(*storage_of<f16>({1, 2}, {1, 1}).matmul(storage_of<f16>({2, 2}, {1, 1, h, 3 * h}))),
      (std::vector<float>{1, 1 + 4 * h}));
  EXPECT_EQ(
      values(*storage_of<bf16>({1, 2}, {1, 1}).matmul(storage_of<bf16>({2, 2}, {1, 1, b, 3 * b}))),
      (std::vector<float>{1, 1 + 4 * b}));

  // A bfloat16 NaN result is quiet.
  auto nan = *storage_of<bf16>({1, 1}, {INFINITY}).matmul(storage_of<bf16>({1, 1}, {0}));
  std::uint16_t bits = std::get<NdArray<bf16>>(nan.array).data[0].bits;
  EXPECT_EQ(bits & 0x7f80u, 0x7f80u);
  EXPECT_NE(bits & 0x0040u, 0u);
}

TEST(Matmul, SixteenBitMatchesFloatReference) {
  std::mt19937 rng(4);
  CpuStorage a = random_storage({3, 5, 7}, rng), b = random_storage({7, 4}, rng);
  auto [shape, expected] = reference_product(a, b);
  auto as16 = [](const CpuStorage& s, auto tag) {
    return storage_of<decltype(tag)>(s.shape(), values(s));
  };
  for (const auto& product :
       {*as16(a, f16{}).matmul(as16(b, f16{})), *as16(a, bf16{}).matmul(as16(b, bf16{}))}) {
    EXPECT_EQ(product.shape(), shape);
    EXPECT_EQ(product.strides(), row_major_strides(shape));
    EXPECT_EQ(values(product), expected);
  }
  // A transposed 16-bit operand reads as its values.
  CpuStorage t = random_storage({7, 5}, rng);
  auto [tshape, texpected] = reference_product(t.transpose(0, 1), b);
  EXPECT_EQ(values(*as16(t, f16{}).transpose(0, 1).matmul(as16(b, f16{}))), texpected);
}

TEST(Matmul, MessagesInCheckOrder) {
  auto f32 = [](const Shape& s) { return storage_of(s, std::vector<float>(element_count(s), 1)); };
  struct Case {
    Shape a, b;
    std::string message;
  } cases[] = {
      {{3}, {3}, "Matmul requires at least 2D tensors. A: 1D, B: 1D"},
      {{3}, {3, 2}, "Matmul requires at least 2D tensors. A: 1D, B: 2D"},
      {{2, 3}, {}, "Matmul requires at least 2D tensors. A: 2D, B: 0D"},
      {{4}, {3, 2}, "Matmul requires at least 2D tensors. A: 1D, B: 2D"},  // rank before k
      {{2, 3}, {4, 5}, "Matrix inner dimensions mismatch for matmul: 3 vs 4"},
      {{2, 2, 3}, {3, 4, 4}, "Matrix inner dimensions mismatch for matmul: 3 vs 4"},  // k first
      {{2, 2, 3}, {3, 3, 4}, "Shape mismatch: cannot broadcast [2] and [3]"},
      {{2, 5, 2, 3}, {4, 3, 4}, "Shape mismatch: cannot broadcast [2, 5] and [4]"},
  };
  for (const auto& c : cases) {
    auto r = f32(c.a).matmul(f32(c.b));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
    EXPECT_EQ(r.error().message, c.message);
  }
}

TEST(Matmul, ElementCountLimits) {
  // Elementless operands whose broadcast targets or output cannot be counted.
  constexpr std::size_t big = std::size_t{1} << 40, half = std::size_t{1} << 31;
  auto empty = [](Shape s) { return CpuStorage(NdArray<float>::row_major(std::move(s))); };
  auto r = empty({big, 1, 0, 1}).matmul(empty({1, big, 1, 0}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "Broadcast failed for A to [1099511627776, 1099511627776, 0, 1]");
  r = empty({half, 1, 1, 0}).matmul(empty({1, half, 0, 4}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Broadcast failed for B to [2147483648, 2147483648, 0, 4]");
  // Both targets count, the output (2^31 * 2^16 * 2^16 elements) does not.
  EXPECT_THROW((void)empty({half, 1 << 16, 0}).matmul(empty({1, 0, 1 << 16})), FatalError);
}

TEST(Matmul, DispatchChecksTypesFirst) {
  auto make = [](auto tag) { return storage_of<decltype(tag)>({2, 2}, {1, 0, 0, 1}); };
  struct Case {
    CpuStorage a, b;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {make(f16{}), make(float{}), ErrorKind::ValueError,
       "Tensor DType mismatch during binary execution. Cannot operate between F16 and F32."},
      {make(bool{}), make(float{}), ErrorKind::ValueError,
       "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."},
      {make(bf16{}), make(bool{}), ErrorKind::ValueError,
       "Tensor DType mismatch during binary execution. Cannot operate between BF16 and Bool."},
      {make(bool{}), make(bool{}), ErrorKind::TypeError,
       "Arithmetic operations are not supported for Bool data types. Cast to a numeric type "
       "first."},
      {storage_of<bool>({3}, {1, 1, 1}), storage_of<bool>({3}, {1, 1, 1}), ErrorKind::TypeError,
       "Arithmetic operations are not supported for Bool data types. Cast to a numeric type "
       "first."},
  };
  for (const auto& c : cases) {
    auto r = c.a.matmul(c.b);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, c.kind);
    EXPECT_EQ(r.error().message, c.message);
  }
  for (const auto& s : {make(f16{}), make(bf16{}), make(float{})}) {
    auto r = s.matmul(s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->dtype(), s.dtype());
    EXPECT_EQ(values(*r), (std::vector<float>{1, 0, 0, 1}));
  }
}

}  // namespace
}  // namespace zevra
