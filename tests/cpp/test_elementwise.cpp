// Element-wise kernels and their dispatch: refusals (kind and message), the element rules of
// each type (16-bit rounding, IEEE comparisons), the memory order of results, and the strided
// loop engine against a plain index-by-index reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::storage_of;
using testing::values;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using Binary = Result<CpuStorage> (CpuStorage::*)(const CpuStorage&) const;
using WithScalar = Result<CpuStorage> (CpuStorage::*)(float) const;

CpuStorage of_type(DType d, Shape shape = {2}) {
  std::vector<float> v(element_count(shape), 1.0f);
  switch (d) {
    case DType::F16:
      return storage_of<f16>(shape, v);
    case DType::BF16:
      return storage_of<bf16>(shape, v);
    case DType::F32:
      return storage_of<float>(shape, v);
    case DType::Bool:
      return storage_of<bool>(shape, v);
  }
  throw std::logic_error("dtype");
}

std::string outcome(const Result<CpuStorage>& r) {
  if (r) return "ok";
  const char* kind[] = {"TypeError", "ValueError", "RuntimeError"};
  return std::string(kind[static_cast<int>(r.error().kind)]) + ": " + r.error().message;
}

// --- Dispatch -------------------------------------------------------------------------------

struct BinaryOp {
  const char* name;
  Binary op;
};
const BinaryOp kArithmetic[] = {{"add", &CpuStorage::add},
                                {"sub", &CpuStorage::sub},
                                {"mul", &CpuStorage::mul},
                                {"div", &CpuStorage::div}};
const BinaryOp kComparisons[] = {{"==", &CpuStorage::eq},
                                 {">=", &CpuStorage::ge},
                                 {">", &CpuStorage::gt},
                                 {"<=", &CpuStorage::le},
                                 {"<", &CpuStorage::lt}};
const BinaryOp kLogical[] = {{"and", &CpuStorage::logical_and},
                             {"or", &CpuStorage::logical_or},
                             {"xor", &CpuStorage::logical_xor}};
const DType kTypes[] = {DType::F16, DType::BF16, DType::F32, DType::Bool};

TEST(Dispatch, ArithmeticAcceptsOnlyEqualNumericTypes) {
  for (const BinaryOp& op : kArithmetic)
    for (DType l : kTypes)
      for (DType r : kTypes) {
        std::string got = outcome((of_type(l).*op.op)(of_type(r)));
        std::string expected =
            l != r ? "ValueError: Tensor DType mismatch during binary execution. Cannot operate "
                     "between " +
                         std::string(dtype_name(l)) + " and " + std::string(dtype_name(r)) + "."
            : l == DType::Bool ? "TypeError: Arithmetic operations are not supported for Bool "
                                 "data types. Cast to a numeric type first."
                               : "ok";
        EXPECT_EQ(got, expected) << op.name << " " << dtype_name(l) << " " << dtype_name(r);
      }
  EXPECT_EQ(outcome(of_type(DType::Bool).add(of_type(DType::F32))),
            "ValueError: Tensor DType mismatch during binary execution. Cannot operate between "
            "Bool and F32.");
  EXPECT_EQ(outcome(of_type(DType::F16).sub(of_type(DType::BF16))),
            "ValueError: Tensor DType mismatch during binary execution. Cannot operate between "
            "F16 and BF16.");
}

TEST(Dispatch, ComparisonsAcceptEveryTypeAgainstItself) {
  for (const BinaryOp& op : kComparisons)
    for (DType l : kTypes)
      for (DType r : kTypes) {
        // The element-type check comes before broadcasting.
        std::string got = outcome((of_type(l, {3}).*op.op)(of_type(r, {l == r ? 3u : 4u})));
        std::string expected = l == r ? "ok"
                                      : std::string(
                                            "RuntimeError: Tensor device or dtype mismatch "
                                            "for element-wise ") +
                                            op.name + " operation.";
        EXPECT_EQ(got, expected) << op.name << " " << dtype_name(l) << " " << dtype_name(r);
      }
}

TEST(Dispatch, LogicalAcceptsOnlyBool) {
  for (const BinaryOp& op : kLogical)
    for (DType l : kTypes)
      for (DType r : kTypes)
        EXPECT_EQ(outcome((of_type(l).*op.op)(of_type(r))),
                  l == DType::Bool && r == DType::Bool
                      ? "ok"
                      : "RuntimeError: Logical operations are only supported for Bool data types.")
            << op.name;
}

TEST(Dispatch, ScalarOperationsRefuseBool) {
  const CpuStorage b = of_type(DType::Bool);
  const std::pair<WithScalar, std::string> cases[] = {
      {&CpuStorage::scalar_add,
       "ValueError: Tensor DType invalid during scalar add. Cannot operate between Bool and "
       "scalar."},
      {&CpuStorage::scalar_sub,
       "ValueError: Tensor DType invalid during scalar sub. Cannot operate between Bool and "
       "scalar."},
      {&CpuStorage::scalar_mul,
       "ValueError: Tensor DType invalid during scalar product. Cannot operate between Bool and "
       "scalar."},
      {&CpuStorage::scalar_eq,
       "RuntimeError: Tensor device or dtype mismatch for scalar == operation."},
      {&CpuStorage::scalar_ge,
       "RuntimeError: Tensor device or dtype mismatch for scalar >= operation."},
      {&CpuStorage::scalar_gt,
       "RuntimeError: Tensor device or dtype mismatch for scalar > operation."},
      {&CpuStorage::scalar_le,
       "RuntimeError: Tensor device or dtype mismatch for scalar <= operation."},
      {&CpuStorage::scalar_lt,
       "RuntimeError: Tensor device or dtype mismatch for scalar < operation."},
  };
  for (const auto& [op, message] : cases) {
    EXPECT_EQ(outcome((b.*op)(1.0f)), message);
    for (DType d : {DType::F16, DType::BF16, DType::F32})
      EXPECT_EQ(outcome((of_type(d).*op)(1.0f)), "ok");
  }
}

TEST(Dispatch, BroadcastFailuresAreRuntimeErrors) {
  const CpuStorage a = of_type(DType::F32, {2, 3}), b = of_type(DType::F32, {4});
  for (const BinaryOp& op : kArithmetic)
    EXPECT_EQ(outcome((a.*op.op)(b)),
              "RuntimeError: Shape mismatch: cannot broadcast [2, 3] and [4]");
  for (const BinaryOp& op : kComparisons)
    EXPECT_EQ(outcome((a.*op.op)(b)),
              "RuntimeError: Shape mismatch: cannot broadcast [2, 3] and [4]");
  EXPECT_EQ(outcome(of_type(DType::Bool, {3}).logical_and(of_type(DType::Bool, {4}))),
            "RuntimeError: Shape mismatch: cannot broadcast [3] and [4]");
}

TEST(Dispatch, ResultTypes) {
  for (DType d : {DType::F16, DType::BF16, DType::F32}) {
    EXPECT_EQ(of_type(d).add(of_type(d))->dtype(), d);
    EXPECT_EQ(of_type(d).scalar_mul(2.0f)->dtype(), d);
    EXPECT_EQ(of_type(d).scalar_lt(2.0f)->dtype(), DType::Bool);
  }
  for (DType d : kTypes) EXPECT_EQ(of_type(d).eq(of_type(d))->dtype(), DType::Bool);
}

// --- Element rules --------------------------------------------------------------------------

template <class T>
CpuStorage from_bits(std::vector<std::uint16_t> bits) {
  auto a = NdArray<T>::row_major({bits.size()});
  for (std::size_t i = 0; i < bits.size(); ++i) a.data[i] = T{bits[i]};
  return CpuStorage(std::move(a));
}

template <class T>
std::vector<std::uint16_t> bits_of(const CpuStorage& s) {
  const auto& a = std::get<NdArray<T>>(s.array);
  std::vector<std::uint16_t> out;
  for (std::size_t i = 0; i < a.size(); ++i) out.push_back(a.data[i * a.strides[0]].bits);
  return out;
}

// One binary operation on single elements, widened back to float.
float compute(DType d, Binary op, float x, float y) {
  auto run = [&]<class T>(T) {
    return values(*(storage_of<T>({1}, {x}).*op)(storage_of<T>({1}, {y})))[0];
  };
  switch (d) {
    case DType::F16:
      return run(f16{});
    case DType::BF16:
      return run(bf16{});
    default:
      return run(float{});
  }
}

bool same(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

TEST(ElementRules, RoundingAndSpecialValues) {
  struct Case {
    DType d;
    Binary op;
    float x, y, expected;
  };
  const float tiny16 = 0x1.0p-24f;  // the smallest binary16 subnormal
  const Case cases[] = {
      {DType::F16, &CpuStorage::add, 65504, 65504, kInf},
      {DType::F16, &CpuStorage::add, 65504, 15, 65504},  // below the halfway point to 65536
      {DType::F16, &CpuStorage::add, 65504, 16, kInf},   // halfway: ties to even is "65536"
      {DType::F16, &CpuStorage::add, 2048, 1, 2048},     // 2049: ties to even
      {DType::F16, &CpuStorage::add, 2048, 3, 2052},     // 2051: ties to even, upwards
      {DType::F16, &CpuStorage::div, 1, 0, kInf},
      {DType::F16, &CpuStorage::div, -1, 0, -kInf},
      {DType::F16, &CpuStorage::div, 0, 0, kNaN},
      {DType::F16, &CpuStorage::mul, tiny16, 0.5f, 0.0f},        // halfway to 0: even
      {DType::F16, &CpuStorage::mul, tiny16, 1.5f, 2 * tiny16},  // halfway: even is 2
      {DType::F16, &CpuStorage::mul, 3 * tiny16, 0.5f, 2 * tiny16},
      {DType::F16, &CpuStorage::sub, 0.1f, 0.1f, 0.0f},
      {DType::BF16, &CpuStorage::add, 256, 1, 256},
      {DType::BF16, &CpuStorage::add, 1, 0.00390625f, 1},
      {DType::BF16, &CpuStorage::add, 1, 0.005859375f, 1.0078125f},
      {DType::BF16, &CpuStorage::add, kNaN, 1, kNaN},
      {DType::BF16, &CpuStorage::div, 1, 3, 0.333984375f},
      {DType::F32, &CpuStorage::add, 0.1f, 0.2f, 0.30000001192092896f},
      {DType::F32, &CpuStorage::div, 1, -0.0f, -kInf},
      {DType::F32, &CpuStorage::mul, 1e30f, 1e30f, kInf},
  };
  for (const Case& c : cases) {
    float got = compute(c.d, c.op, c.x, c.y);
    EXPECT_TRUE(same(got, c.expected))
        << dtype_name(c.d) << " " << c.x << " " << c.y << " gave " << got;
  }
}

TEST(ElementRules, BFloat16NaNsAndCarries) {
  // A signalling NaN comes out quiet, its payload kept.
  EXPECT_EQ(
      bits_of<bf16>(*from_bits<bf16>({0x7F81, 0xFF81}).add(from_bits<bf16>({0x3F80, 0x3F80}))),
      (std::vector<std::uint16_t>{0x7FC1, 0xFFC1}));
  // Largest finite value plus three quarters of its last place rounds up into infinity; a
  // quarter rounds down.
  EXPECT_EQ(
      bits_of<bf16>(*from_bits<bf16>({0x7F7F, 0x7F7F}).add(from_bits<bf16>({0x7B40, 0x7AC0}))),
      (std::vector<std::uint16_t>{0x7F80, 0x7F7F}));
}

TEST(ElementRules, Float16NaNsStayNaN) {
  auto r = bits_of<f16>(
      *from_bits<f16>({0x7C01, 0xFE00, 0x7C00}).mul(from_bits<f16>({0x3C00, 0x3C00, 0})));
  EXPECT_GT(r[0] & 0x7FFF, 0x7C00);
  EXPECT_GT(r[1] & 0x7FFF, 0x7C00);
  EXPECT_GT(r[2] & 0x7FFF, 0x7C00);  // infinity times zero
}

TEST(ElementRules, ComparisonsFollowIEEE) {
  // x and y pairs: NaN with NaN, NaN with 1, -0 with +0, 1 with 2, -inf with +inf.
  const std::vector<float> x = {kNaN, kNaN, -0.0f, 1, -kInf};
  const std::vector<float> y = {kNaN, 1, 0.0f, 2, kInf};
  struct Case {
    Binary op;
    std::vector<float> expected;
  };
  const Case cases[] = {{&CpuStorage::eq, {0, 0, 1, 0, 0}},
                        {&CpuStorage::ge, {0, 0, 1, 0, 0}},
                        {&CpuStorage::gt, {0, 0, 0, 0, 0}},
                        {&CpuStorage::le, {0, 0, 1, 1, 1}},
                        {&CpuStorage::lt, {0, 0, 0, 1, 1}}};
  for (const Case& c : cases) {
    EXPECT_EQ(values(*(storage_of<float>({5}, x).*c.op)(storage_of<float>({5}, y))), c.expected);
    EXPECT_EQ(values(*(storage_of<f16>({5}, x).*c.op)(storage_of<f16>({5}, y))), c.expected);
    EXPECT_EQ(values(*(storage_of<bf16>({5}, x).*c.op)(storage_of<bf16>({5}, y))), c.expected);
  }
  // 16-bit NaNs of every kind (signalling, negative) never compare true, not even to themselves.
  const std::vector<std::uint16_t> f16_nans = {0x7C01, 0xFC01, 0x7E00, 0xFFFF};
  const std::vector<std::uint16_t> bf16_nans = {0x7F81, 0xFF81, 0x7FC0, 0xFFFF};
  for (Binary op : {&CpuStorage::eq, &CpuStorage::ge, &CpuStorage::le}) {
    EXPECT_EQ(values(*(from_bits<f16>(f16_nans).*op)(from_bits<f16>(f16_nans))),
              std::vector<float>(4, 0));
    EXPECT_EQ(values(*(from_bits<bf16>(bf16_nans).*op)(from_bits<bf16>(bf16_nans))),
              std::vector<float>(4, 0));
  }
  // -0 and +0 as bit patterns; infinities at the ends.
  EXPECT_EQ(values(*from_bits<f16>({0x8000, 0xFC00}).eq(from_bits<f16>({0x0000, 0xFC00}))),
            (std::vector<float>{1, 1}));
  EXPECT_EQ(values(*from_bits<bf16>({0x8000, 0xFF80}).lt(from_bits<bf16>({0x0000, 0xFF7F}))),
            (std::vector<float>{0, 1}));
}

TEST(ElementRules, BoolComparisons) {
  const CpuStorage x = storage_of<bool>({4}, {1, 1, 0, 0}), y = storage_of<bool>({4}, {1, 0, 1, 0});
  EXPECT_EQ(values(*x.eq(y)), (std::vector<float>{1, 0, 0, 1}));
  EXPECT_EQ(values(*x.gt(y)), (std::vector<float>{0, 1, 0, 0}));
  EXPECT_EQ(values(*x.ge(y)), (std::vector<float>{1, 1, 0, 1}));
  EXPECT_EQ(values(*x.lt(y)), (std::vector<float>{0, 0, 1, 0}));
  EXPECT_EQ(values(*x.le(y)), (std::vector<float>{1, 0, 1, 1}));
}

TEST(ElementRules, ScalarIsRoundedToTheElementTypeOnce) {
  EXPECT_EQ(values(*storage_of<bf16>({1}, {0}).scalar_add(0.1f))[0], 0.10009765625f);
  EXPECT_EQ(values(*storage_of<f16>({1}, {0}).scalar_add(0.1f))[0], 0.0999755859375f);
  // An F16 element equal to the binary16 value nearest 0.1 equals the scalar 0.1.
  EXPECT_EQ(values(*storage_of<f16>({1}, {0.1f}).scalar_eq(0.1f))[0], 1);
  // 1 + 2^-11 lies halfway between two binary16 values and rounds to the even one, 1.
  EXPECT_EQ(values(*storage_of<f16>({1}, {1}).scalar_eq(1 + 0x1.0p-11f))[0], 1);
  EXPECT_EQ(values(*storage_of<f16>({1}, {1}).scalar_add(1 + 0x1.0p-11f))[0], 2);
  // The element is always on the left.
  EXPECT_EQ(values(*storage_of<float>({2}, {1, 5}).scalar_sub(2)), (std::vector<float>{-1, 3}));
  EXPECT_EQ(values(*storage_of<float>({2}, {1, 5}).scalar_ge(2)), (std::vector<float>{0, 1}));
  EXPECT_EQ(values(*storage_of<float>({2}, {1, 5}).scalar_lt(2)), (std::vector<float>{1, 0}));
  for (DType d : {DType::F16, DType::BF16, DType::F32}) {
    EXPECT_EQ(values(*of_type(d).scalar_eq(kNaN)), (std::vector<float>{0, 0}));
    EXPECT_TRUE(std::isnan(values(*of_type(d).scalar_add(kNaN))[0]));
  }
  // Division through the reciprocal: 1/0 is +inf, so x * inf.
  auto r = values(*storage_of<float>({3}, {1, -1, 0}).scalar_mul(1.0f / 0.0f));
  EXPECT_EQ(r[0], kInf);
  EXPECT_EQ(r[1], -kInf);
  EXPECT_TRUE(std::isnan(r[2]));
}

TEST(ElementRules, LogicalTruthTables) {
  const CpuStorage x = storage_of<bool>({4}, {0, 0, 1, 1}), y = storage_of<bool>({4}, {0, 1, 0, 1});
  EXPECT_EQ(values(*x.logical_and(y)), (std::vector<float>{0, 0, 0, 1}));
  EXPECT_EQ(values(*x.logical_or(y)), (std::vector<float>{0, 1, 1, 1}));
  EXPECT_EQ(values(*x.logical_xor(y)), (std::vector<float>{0, 1, 1, 0}));
  EXPECT_EQ(values(x.logical_not()), (std::vector<float>{1, 1, 0, 0}));
  auto r = *storage_of<bool>({2}, {1, 0}).logical_and(storage_of<bool>({2, 1}, {1, 0}));
  EXPECT_EQ(r.shape(), (Shape{2, 2}));
  EXPECT_EQ(values(r), (std::vector<float>{1, 0, 0, 0}));
  // Results hold only the bytes 0 and 1.
  const CpuStorage negated = x.logical_not();
  const auto& bytes = std::get<NdArray<bool>>(negated.array);
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_LE(reinterpret_cast<const unsigned char*>(bytes.data)[i], 1);
}

TEST(Conversions, Binary16MatchesTheReferenceConversion) {
  for (std::uint32_t b = 0; b < 0x10000; ++b) {
    f16 h{static_cast<std::uint16_t>(b)};
    ASSERT_TRUE(same(to_f32(h), static_cast<float>(std::bit_cast<_Float16>(h.bits))))
        << std::hex << b;
  }
  // Every binary16 value, the points halfway between neighbours (and just beside them), and a
  // spread of other binary32 patterns, NaNs included.
  std::vector<float> probes;
  for (std::uint32_t b = 0; b < 0x7C00; ++b) {
    float x = to_f32(f16{static_cast<std::uint16_t>(b)});
    float next = to_f32(f16{static_cast<std::uint16_t>(b + 1)});
    float mid = x + (next - x) / 2;
    for (float p : {x, mid, std::nextafter(mid, 0.0f), std::nextafter(mid, kInf)}) {
      probes.push_back(p);
      probes.push_back(-p);
    }
  }
  for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += 65521)
    probes.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
  for (float p : probes) {
    std::uint16_t got = to_f16(p).bits;
    auto want = std::bit_cast<std::uint16_t>(static_cast<_Float16>(p));
    if (std::isnan(p))
      ASSERT_GT(got & 0x7FFF, 0x7C00) << std::hex << std::bit_cast<std::uint32_t>(p);
    else
      ASSERT_EQ(got, want) << std::hex << std::bit_cast<std::uint32_t>(p);
  }
}

TEST(ElementRules, Float16BlocksFollowTheElementRule) {
  // Every binary16 pattern against a shuffled copy: long contiguous runs go through blocks
  // converted with the conversion instructions, and must agree with the element rule bit for
  // bit (any NaN for a NaN), for both operands contiguous and for either one repeated.
  std::vector<std::uint16_t> xs(0x10000), ys(0x10000);
  std::iota(xs.begin(), xs.end(), 0);
  ys = xs;
  std::shuffle(ys.begin(), ys.end(), std::mt19937(3));
  const CpuStorage x = from_bits<f16>(xs), y = from_bits<f16>(ys), one = from_bits<f16>({0x3555});
  auto check = [](const CpuStorage& r, auto expected) {
    auto got = bits_of<f16>(r);
    for (std::size_t i = 0; i < got.size(); ++i) {
      std::uint16_t want = expected(i).bits;
      bool both_nan = (got[i] & 0x7FFF) > 0x7C00 && (want & 0x7FFF) > 0x7C00;
      ASSERT_TRUE(both_nan || got[i] == want) << std::hex << i << " " << got[i] << " " << want;
    }
  };
  auto at = [](const std::vector<std::uint16_t>& v, std::size_t i) { return f16{v[i]}; };
  const f16 third{0x3555};
  struct Op {
    Binary op;
    std::function<float(float, float)> f;
  };
  const Op ops[] = {{&CpuStorage::add, std::plus<float>{}},
                    {&CpuStorage::sub, std::minus<float>{}},
                    {&CpuStorage::mul, std::multiplies<float>{}},
                    {&CpuStorage::div, std::divides<float>{}}};
  for (const Op& o : ops) {
    auto rule = [&](f16 a, f16 b) { return to_f16(o.f(widen(a), widen(b))); };
    check(*(x.*o.op)(y), [&](std::size_t i) { return rule(at(xs, i), at(ys, i)); });
    check(*(x.*o.op)(one), [&](std::size_t i) { return rule(at(xs, i), third); });
    check(*(one.*o.op)(y), [&](std::size_t i) { return rule(third, at(ys, i)); });
  }
  const float s = 1.0f / 3.0f;  // rounds to the binary16 value 0x3555
  check(*x.scalar_add(s), [&](std::size_t i) { return to_f16(widen(at(xs, i)) + widen(third)); });
  check(*x.scalar_mul(s), [&](std::size_t i) { return to_f16(widen(at(xs, i)) * widen(third)); });
  // Whole-run conversions.
  std::vector<float> wide(xs.size());
  std::vector<f16> back(xs.size());
  const Shape shape{xs.size()};
  const Strides unit{1};
  convert(shape, Strided<float>{wide.data(), unit},
          Strided<const f16>{reinterpret_cast<const f16*>(xs.data()), unit});
  convert(shape, Strided<f16>{back.data(), unit}, Strided<const float>{wide.data(), unit});
  for (std::size_t i = 0; i < xs.size(); ++i) {
    ASSERT_TRUE(same(wide[i], widen(at(xs, i)))) << i;
    ASSERT_TRUE(back[i].bits == xs[i] || std::isnan(wide[i])) << i;
  }
}

// --- Memory order of results ----------------------------------------------------------------

// An F32 storage of `shape` with `strides` over a buffer of its own, element (i...) holding its
// row-major position. Strides need not be dense: the buffer covers what they reach.
CpuStorage laid_out(const Shape& shape, const Strides& strides) {
  std::size_t n = element_count(shape);
  std::ptrdiff_t lo = 0, hi = 0;
  for (std::size_t k = 0; k < shape.size(); ++k)
    if (shape[k] > 0) (strides[k] < 0 ? lo : hi) += strides[k] * std::ptrdiff_t(shape[k] - 1);
  auto base = NdArray<float>::row_major({std::size_t(hi - lo + 1)});
  NdArray<float> a{base.buffer, base.data - lo, shape, strides};
  for (std::size_t flat = 0; flat < n; ++flat) {
    std::ptrdiff_t offset = 0;
    for (std::size_t k = shape.size(), rest = flat; k-- > 0; rest /= shape[k])
      offset += std::ptrdiff_t(rest % shape[k]) * strides[k];
    a.data[offset] = float(flat);
  }
  return CpuStorage(std::move(a));
}

TEST(ResultLayout, TwoArrayRule) {
  struct Case {
    Shape sa;
    Strides ta;
    Shape sb;
    Strides tb;
    Strides expected;
  };
  const Case cases[] = {
      {{2, 3}, {3, 1}, {3}, {1}, {3, 1}},
      {{2, 3}, {1, 2}, {2, 3}, {1, 2}, {1, 2}},  // both transposed: column-major
      {{2, 3}, {3, 1}, {2, 3}, {1, 2}, {3, 1}},  // +2 and -2: row-major
      {{2, 3}, {1, 2}, {1}, {1}, {1, 2}},        // -2 and 0: column-major
      {{0, 3}, {3, 1}, {3}, {1}, {0, 0}},        // no elements: strides 0
      {{}, {}, {}, {}, {}},
      {{2, 1}, {1, 1}, {1, 3}, {3, 1}, {3, 1}},  // two stretched operands: row-major
      {{4, 1}, {1, 1}, {4, 3}, {1, 4}, {1, 4}},  // a stretched column (-1), column-major (-2)
      {{3, 4}, {8, 1}, {3, 4}, {1, 6}, {4, 1}},  // last axis stride 1 (+1), first axis (-1)
      {{3, 4}, {1, 6}, {3, 4}, {1, 6}, {1, 3}},  // -1 twice: column-major
      {{2, 3, 4}, {12, 1, 3}, {2, 3, 4}, {12, 1, 3}, {12, 4, 1}},  // anything else: 0
  };
  for (const Case& c : cases) {
    CpuStorage a = laid_out(c.sa, c.ta), b = laid_out(c.sb, c.tb);
    CpuStorage r = *a.add(b);
    EXPECT_EQ(r.strides(), c.expected) << format_shape(c.sa) << " + " << format_shape(c.sb);
    // The values do not depend on the layout.
    std::vector<float> va = values(a), vb = values(b), got = values(r);
    auto vs =
        broadcast_tensors(std::get<NdArray<float>>(a.array), std::get<NdArray<float>>(b.array));
    ASSERT_TRUE(vs);
    for (std::size_t flat = 0; flat < got.size(); ++flat) {
      std::ptrdiff_t oa = 0, ob = 0;
      for (std::size_t k = r.ndim(), rest = flat; k-- > 0; rest /= r.shape()[k]) {
        oa += std::ptrdiff_t(rest % r.shape()[k]) * vs->a.strides[k];
        ob += std::ptrdiff_t(rest % r.shape()[k]) * vs->b.strides[k];
      }
      EXPECT_EQ(got[flat], vs->a.data[oa] + vs->b.data[ob]);
    }
  }
}

TEST(ResultLayout, OneOperandResults) {
  struct Case {
    Shape shape;
    Strides strides, expected;
  };
  const Case cases[] = {
      {{2, 3}, {1, 2}, {1, 2}},               // transposed: kept
      {{2, 3}, {6, 2}, {3, 1}},               // not gap-free: row-major
      {{2, 3, 4}, {4, 8, 1}, {4, 8, 1}},      // any permutation: kept
      {{2, 1, 3}, {3, 100, 1}, {3, 100, 1}},  // extent-1 axes keep any stride
      {{3}, {-1}, {-1}},                      // reversed: kept, so still computed in memory order
      {{0, 3}, {3, 1}, {3, 1}},               // empty and taken over as it is
      {{}, {}, {}},
  };
  for (const Case& c : cases) {
    CpuStorage a = laid_out(c.shape, c.strides);
    std::vector<float> va = values(a);
    CpuStorage s = *a.scalar_mul(2);
    EXPECT_EQ(s.strides(), c.expected) << format_shape(c.shape);
    EXPECT_EQ(a.scalar_lt(1)->strides(), c.expected);
    std::vector<float> doubled = va;
    for (float& v : doubled) v *= 2;
    EXPECT_EQ(values(s), doubled);
  }
  // Negation keeps a transposed operand's strides.
  auto t = NdArray<bool>::with_layout({2, 3}, {1, 2});
  std::fill_n(t.data, 6, true);
  EXPECT_EQ(CpuStorage(std::move(t)).logical_not().strides(), (Strides{1, 2}));
  // Empty not-dense layouts do not exist (an array without elements counts as gap-free), but an
  // empty fresh two-array result has strides 0.
  EXPECT_EQ(storage_of<bool>({0, 3}, {}).logical_and(storage_of<bool>({3}, {1, 0, 1}))->strides(),
            (Strides{0, 0}));
}

// --- The loop engine ------------------------------------------------------------------------

// Elements of a strided operand, visited through an explicit index for reference results.
std::ptrdiff_t offset_of(std::size_t flat, const Shape& shape, const Strides& strides) {
  std::ptrdiff_t offset = 0;
  for (std::size_t k = shape.size(), rest = flat; k-- > 0; rest /= shape[k])
    offset += std::ptrdiff_t(rest % shape[k]) * strides[k];
  return offset;
}

// Strides of a gap-free block in a random axis order, some of them reversed.
Strides random_layout(const Shape& shape, std::mt19937& rng, std::ptrdiff_t& first) {
  std::vector<std::size_t> order(shape.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), rng);
  Strides s(shape.size());
  std::ptrdiff_t step = 1;
  first = 0;
  for (std::size_t k : order) {
    bool reversed = rng() % 4 == 0;
    s[k] = reversed ? -step : step;
    if (reversed && shape[k] > 0) first += step * std::ptrdiff_t(shape[k] - 1);
    step *= std::ptrdiff_t(shape[k]);
  }
  return s;
}

TEST(LoopEngine, MatchesIndexByIndexReference) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    Shape shape(rng() % 5);
    for (std::size_t& d : shape) d = rng() % 7 == 0 ? 1 : rng() % (trial % 3 == 0 ? 70 : 6);
    std::size_t n = element_count(shape);
    if (n > 200000) continue;
    // Two inputs of their own layouts (one of them possibly broadcast along some axes), and a
    // result in a third layout.
    std::ptrdiff_t fa, fb, fo;
    Strides sa = random_layout(shape, rng, fa), sb = random_layout(shape, rng, fb);
    Strides so = random_layout(shape, rng, fo);
    for (std::size_t k = 0; k < shape.size(); ++k)
      if (rng() % 4 == 0) sb[k] = 0;
    std::vector<f16> a(n + 1);
    std::vector<float> b(n + 1), out(n + 1, -1), twice(n + 1, -1);
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = to_f16(float(i % 1000));
      b[i] = float(i) * 0.5f;
    }
    for_each(
        shape,
        [](float& o, float& t, const f16& x, const float& y) {
          o = widen(x) + y;
          t = 2 * y;
        },
        Strided<float>{out.data() + fo, so}, Strided<float>{twice.data() + fo, so},
        Strided<const f16>{a.data() + fa, sa}, Strided<const float>{b.data() + fb, sb});
    for (std::size_t flat = 0; flat < n; ++flat) {
      std::ptrdiff_t o = fo + offset_of(flat, shape, so);
      float y = b[fb + offset_of(flat, shape, sb)];
      ASSERT_EQ(out[o], to_f32(a[fa + offset_of(flat, shape, sa)]) + y)
          << format_shape(shape) << " at " << flat;
      ASSERT_EQ(twice[o], 2 * y);
    }
  }
}

TEST(LoopEngine, BlockedWalkOfMixedLayouts) {
  // A row-major result with a transposed input of each element size, with extents that are not
  // multiples of the blocks.
  const Shape shape{100, 523};
  auto check = [&]<class T>(T scale) {
    std::vector<T> t(100 * 523);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = T(i % 97 * scale);
    std::vector<float> out(t.size());
    for_each(
        shape, [](float& o, const T& x) { o = float(x); },
        Strided<float>{out.data(), Strides{523, 1}}, Strided<const T>{t.data(), Strides{1, 100}});
    for (std::size_t i = 0; i < 100; ++i)
      for (std::size_t j = 0; j < 523; ++j) ASSERT_EQ(out[i * 523 + j], float(t[i + j * 100]));
  };
  check(1.0f);
  check(std::int16_t{1});
  check(std::uint8_t{1});
  // A transposed input walked backwards along the result's rows.
  std::vector<float> t(100 * 523);
  std::iota(t.begin(), t.end(), 0.0f);
  std::vector<float> out(t.size());
  const float* last_column = t.data() + 522 * 100;
  for_each(
      shape, [](float& o, const float& x) { o = x; }, Strided<float>{out.data(), Strides{523, 1}},
      Strided<const float>{last_column, Strides{1, -100}});
  for (std::size_t i = 0; i < 100; ++i)
    for (std::size_t j = 0; j < 523; ++j)
      ASSERT_EQ(out[i * 523 + j], t[i + (522 - j) * 100]) << i << " " << j;
}

TEST(LoopEngine, LargeResultsAreStreamedCorrectly) {
  // Big enough for non-temporal stores; rows of an odd length, so most of them start in the
  // middle of a cache line.
  const Shape shape{1536, 4099};
  auto a = NdArray<float>::row_major(shape);
  auto b = NdArray<float>::row_major({4099});
  std::size_t n = a.size();
  for (std::size_t i = 0; i < n; ++i) a.data[i] = float(i % 4093);
  for (std::size_t j = 0; j < 4099; ++j) b.data[j] = float(j) * 0.25f;
  auto r = add(a, b);
  ASSERT_TRUE(r);
  for (std::size_t i = 0; i < n; ++i)
    ASSERT_EQ(r->data[i], float(i % 4093) + float(i % 4099) * 0.25f) << i;
}

TEST(LoopEngine, SingleElementsAndEmptyShapes) {
  float x = 2, y = 3, o = 0;
  for_each(
      Shape{}, [](float& r, const float& a, const float& b) { r = a * b; }, Strided<float>{&o, {}},
      Strided<const float>{&x, {}}, Strided<const float>{&y, {}});
  EXPECT_EQ(o, 6);
  int calls = 0;
  const Strides s{1, 1};
  for_each(
      Shape{3, 0}, [&](float&) { ++calls; }, Strided<float>{&o, s});
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace zevra
