// Gradient kernels of multiplication, division and matrix multiplication: shapes (never
// reduced), values and rounding order, dispatch and messages.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::storage_of;
using testing::values;

using Pair = std::pair<CpuStorage, CpuStorage>;

std::vector<float> random_values(std::size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-3.0f, 3.0f);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

TEST(BackwardKernels, MulKeepsBroadcastShapes) {
  CpuStorage lhs = storage_of({2, 3}, {1, 2, 3, 4, 5, 6});
  CpuStorage rhs = storage_of({3}, {10, 20, 30});
  CpuStorage grad = storage_of({2, 3}, {1, 1, 2, 2, 3, 3});
  auto [dl, dr] = *lhs.backward_mul(grad, rhs);
  EXPECT_EQ(dl.shape(), (Shape{2, 3}));
  EXPECT_EQ(dr.shape(), (Shape{2, 3}));  // not summed down to (3,)
  EXPECT_EQ(values(dl), (std::vector<float>{10, 20, 60, 20, 60, 90}));
  EXPECT_EQ(values(dr), (std::vector<float>{1, 2, 6, 8, 15, 18}));

  // grad first in the product: its shape comes first in the message.
  auto r = lhs.backward_mul(grad, storage_of({4}, {1, 2, 3, 4}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Shape mismatch: cannot broadcast [2, 3] and [4]");
}

TEST(BackwardKernels, MulRoundsEachProduct) {
  // 3 * 683 = 2049 rounds to 2048 in binary16 (ties to even).
  auto [dl, dr] = *storage_of<f16>({1}, {1}).backward_mul(storage_of<f16>({1}, {3}),
                                                          storage_of<f16>({1}, {683}));
  EXPECT_EQ(dl.dtype(), DType::F16);
  EXPECT_EQ(values(dl), std::vector<float>{2048});
  EXPECT_EQ(values(dr), std::vector<float>{3});
}

TEST(BackwardKernels, DivValuesAndSpecialCases) {
  auto div = [](float g, float a, float b) {
    auto [dl, dr] = *storage_of({1}, {a}).backward_div(storage_of({1}, {g}), storage_of({1}, {b}));
    return std::pair{values(dl)[0], values(dr)[0]};
  };
  auto [l, r] = div(1, 6, 3);
  EXPECT_EQ(l, 1.0f / 3.0f);
  EXPECT_EQ(r, -6.0f / 9.0f);
  std::tie(l, r) = div(1, 1, 0);
  EXPECT_EQ(l, INFINITY);
  EXPECT_EQ(r, -INFINITY);
  std::tie(l, r) = div(0, 1, 0);
  EXPECT_TRUE(std::isnan(l));
  EXPECT_TRUE(std::isnan(r));

  // binary16: b * b = 90000 rounds to +inf, so (-1 * 1) / inf = -0 while 1 / 300 is finite.
  auto [dl, dr] = *storage_of<f16>({1}, {1}).backward_div(storage_of<f16>({1}, {1}),
                                                          storage_of<f16>({1}, {300}));
  EXPECT_EQ(values(dl)[0], to_f32(to_f16(1.0f / 300.0f)));
  EXPECT_EQ(std::get<NdArray<f16>>(dr.array).data[0].bits, 0x8000);
}

// Every element of both gradients equals the rule applied to the broadcast elements, each
// product and quotient rounded to T.
template <class T>
void check_div_against_rule(std::mt19937& rng) {
  const Shape gs{2, 1, 3}, ls{4, 1}, rs{3};
  auto g = random_values(6, rng), a = random_values(4, rng), b = random_values(3, rng);
  b[1] = 0.0f;
  auto [dl, dr] = *storage_of<T>(ls, a).backward_div(storage_of<T>(gs, g), storage_of<T>(rs, b));
  const Shape f{2, 4, 3};
  EXPECT_EQ(dl.shape(), f);
  EXPECT_EQ(dr.shape(), f);
  EXPECT_EQ(dl.strides(), row_major_strides(f));
  EXPECT_EQ(dr.strides(), row_major_strides(f));
  auto round = [](float x) { return to_f32(from_f32<T>(x)); };
  std::vector<float> el, er;
  for (std::size_t i = 0; i < 2; ++i)
    for (std::size_t j = 0; j < 4; ++j)
      for (std::size_t k = 0; k < 3; ++k) {
        float gv = round(g[i * 3 + k]), av = round(a[j]), bv = round(b[k]);
        el.push_back(round(gv / bv));
        er.push_back(round(round(-gv * av) / round(bv * bv)));
      }
  auto same = [](const std::vector<float>& x, const std::vector<float>& y) {
    ASSERT_EQ(x.size(), y.size());
    for (std::size_t i = 0; i < x.size(); ++i)
      EXPECT_TRUE(x[i] == y[i] || (std::isnan(x[i]) && std::isnan(y[i]))) << i;
  };
  same(values(dl), el);
  same(values(dr), er);
}

TEST(BackwardKernels, DivFollowsTheRuleInEveryType) {
  std::mt19937 rng(5);
  check_div_against_rule<float>(rng);
  check_div_against_rule<f16>(rng);
  check_div_against_rule<bf16>(rng);
}

TEST(BackwardKernels, DivMessagesAndLimit) {
  auto f32 = [](const Shape& s) { return storage_of(s, std::vector<float>(element_count(s), 1)); };
  struct Case {
    Shape grad, lhs, rhs;
    std::string message;
  } cases[] = {
      {{2, 3}, {4}, {3}, "Shape mismatch: cannot broadcast [2, 3] and [4]"},
      {{2, 1}, {3}, {4}, "Shape mismatch: cannot broadcast [2, 3] and [4]"},
  };
  for (const auto& c : cases) {
    auto r = f32(c.lhs).backward_div(f32(c.grad), f32(c.rhs));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
    EXPECT_EQ(r.error().message, c.message);
  }
  // grad and lhs broadcast fine; F = [2^32, 2^32, 0] cannot be counted.
  constexpr std::size_t big = std::size_t{1} << 32;
  auto empty = [](Shape s) { return CpuStorage(NdArray<float>::row_major(std::move(s))); };
  EXPECT_THROW((void)empty({big, 1, 0}).backward_div(empty({big, 1, 0}), empty({1, big, 0})),
               FatalError);
}

TEST(BackwardKernels, MatmulThroughTransposedOperands) {
  std::mt19937 rng(6);
  auto small_ints = [&](const Shape& s) {
    std::uniform_int_distribution<int> d(-4, 4);
    std::vector<float> v(element_count(s));
    for (float& x : v) x = float(d(rng));
    return storage_of(s, v);
  };
  struct Case {
    Shape lhs, rhs, grad, dl, dr;
  } cases[] = {
      {{2, 3}, {3, 4}, {2, 4}, {2, 3}, {3, 4}},
      {{5, 2, 3}, {3, 4}, {5, 2, 4}, {5, 2, 3}, {5, 3, 4}},  // the five products are not summed
  };
  for (const auto& c : cases) {
    CpuStorage lhs = small_ints(c.lhs), rhs = small_ints(c.rhs), grad = small_ints(c.grad);
    auto [dl, dr] = *lhs.backward_matmul(grad, rhs);
    EXPECT_EQ(dl.shape(), c.dl);
    EXPECT_EQ(dr.shape(), c.dr);
    EXPECT_EQ(dl.strides(), row_major_strides(c.dl));
    EXPECT_EQ(values(dl), values(*grad.matmul(rhs.transpose(c.rhs.size() - 2, c.rhs.size() - 1))));
    EXPECT_EQ(values(dr), values(*lhs.transpose(c.lhs.size() - 2, c.lhs.size() - 1).matmul(grad)));
  }
  // A failing product reports the forward message.
  auto r = small_ints({2, 3}).backward_matmul(small_ints({2, 5}), small_ints({3, 4}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Matrix inner dimensions mismatch for matmul: 5 vs 4");
  // 16-bit gradients are rounded once: 2048 + 1 + 1 = 2050.
  auto w = storage_of<f16>({3, 1}, {2048, 1, 1})
               .backward_matmul(storage_of<f16>({3, 1}, {1, 1, 1}), storage_of<f16>({1, 1}, {0}));
  EXPECT_EQ(values(w->second), std::vector<float>{2050});
}

TEST(BackwardKernels, DispatchRequiresTheGradientType) {
  const std::string message = "DType mismatch between gradient and operands during backward pass.";
  CpuStorage f = storage_of({2, 2}, {1, 2, 3, 4});
  CpuStorage h = storage_of<f16>({2, 2}, {1, 2, 3, 4});
  CpuStorage b = storage_of<bool>({2, 2}, {1, 0, 1, 0});
  using Entry = Result<Pair> (CpuStorage::*)(const CpuStorage&, const CpuStorage&) const;
  for (Entry entry :
       {&CpuStorage::backward_mul, &CpuStorage::backward_div, &CpuStorage::backward_matmul}) {
    for (const auto& [lhs, grad, rhs] :
         {std::tuple{f, f, h}, std::tuple{h, f, f}, std::tuple{f, h, f}, std::tuple{b, b, b}}) {
      auto r = (lhs.*entry)(grad, rhs);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
      EXPECT_EQ(r.error().message, message);
    }
    for (const CpuStorage& s : {f, h, storage_of<bf16>({2, 2}, {1, 2, 3, 4})}) {
      auto r = (s.*entry)(s, s);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->first.dtype(), s.dtype());
      EXPECT_EQ(r->second.dtype(), s.dtype());
    }
  }
}

}  // namespace
}  // namespace zevra
