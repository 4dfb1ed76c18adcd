// Node gradients against their analytic formulas, accumulation, and the backward pass's
// all-or-nothing write, repeated passes and threads.
#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <functional>
#include <thread>

#include "autograd/graph.hpp"
#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::grad_of;
using testing::tensor;
using testing::values;
using Floats = std::vector<float>;

// Starts `threads` threads together, each running `work` `reps` times on its own tape, and
// returns each thread's last result.
template <class Work>
auto last_results_on_threads(int threads, int reps, const Work& work) {
  std::barrier sync(threads);
  std::vector<decltype(work())> results(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      sync.arrive_and_wait();
      for (int rep = 0; rep < reps; ++rep) results[t] = work();
    });
  for (std::thread& th : pool) th.join();
  return results;
}

class AutogradTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_graph(); }
  void TearDown() override { clear_graph(); }
};

void expect_grad(const Tensor& t, const Shape& shape, const Floats& expected) {
  CpuStorage g = grad_of(t);
  EXPECT_EQ(g.shape(), shape);
  EXPECT_EQ(values(g), expected);
}

// Elements of a [rows, cols] result built by f(i, j), row-major.
Floats grid(std::size_t rows, std::size_t cols,
            const std::function<float(std::size_t, std::size_t)>& f) {
  Floats out;
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) out.push_back(f(i, j));
  return out;
}

const Floats kA = {1.5f, -2.0f, 3.25f, 0.5f, 4.0f, -1.0f};  // [2, 3]
const Floats kB = {2.0f, -0.5f, 3.0f};                      // [3]

TEST_F(AutogradTest, AddAndSubPassTheGradientInTheBroadcastShape) {
  Tensor a = tensor({2, 3}, kA);
  Tensor b = tensor({3}, kB);
  ASSERT_TRUE(backward(*add(a, b)));
  expect_grad(a, {2, 3}, Floats(6, 1.0f));
  expect_grad(b, {2, 3}, Floats(6, 1.0f));  // not reduced to [3]
  ASSERT_TRUE(backward(*sub(a, b)));
  expect_grad(a, {2, 3}, Floats(6, 1.0f));
  expect_grad(b, {2, 3}, Floats(6, -1.0f));
}

TEST_F(AutogradTest, MulGradientIsTheOtherOperand) {
  Tensor a = tensor({2, 3}, kA);
  Tensor b = tensor({3}, kB);
  ASSERT_TRUE(backward(*mul(a, b)));
  expect_grad(a, {2, 3}, grid(2, 3, [](auto, auto j) { return kB[j]; }));
  expect_grad(b, {2, 3}, kA);
}

TEST_F(AutogradTest, DivGradientsInTheirRoundingOrder) {
  Floats a_vals = {6.0f, -1.5f};
  Tensor a = tensor({2, 1}, a_vals);
  Tensor b = tensor({3}, kB);
  ASSERT_TRUE(backward(*div(a, b)));
  expect_grad(a, {2, 3}, grid(2, 3, [](auto, auto j) { return 1.0f / kB[j]; }));
  expect_grad(b, {2, 3},
              grid(2, 3, [&](auto i, auto j) { return (-1.0f * a_vals[i]) / (kB[j] * kB[j]); }));
}

TEST_F(AutogradTest, MatmulGradients) {
  Floats w_vals = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // [3, 4]
  Tensor a = tensor({2, 3}, kA);
  Tensor w = tensor({3, 4}, w_vals);
  ASSERT_TRUE(backward(*matmul(a, w)));
  // grad · wᵀ with a grad of ones: row sums of w; aᵀ · grad: column sums of a.
  expect_grad(a, {2, 3}, grid(2, 3, [&](auto, auto p) {
                float s = 0;
                for (int j = 0; j < 4; ++j) s += w_vals[p * 4 + j];
                return s;
              }));
  expect_grad(w, {3, 4}, grid(3, 4, [](auto p, auto) { return kA[p] + kA[3 + p]; }));
}

TEST_F(AutogradTest, MatmulGradientKeepsTheBroadcastBatch) {
  Floats a_vals(5 * 2 * 3);
  for (std::size_t i = 0; i < a_vals.size(); ++i) a_vals[i] = float(i % 7) - 3.0f;
  Tensor a = tensor({5, 2, 3}, a_vals);
  Tensor w = tensor({3, 4}, Floats(12, 0.5f));
  ASSERT_TRUE(backward(*matmul(a, w)));
  expect_grad(a, {5, 2, 3}, Floats(30, 2.0f));
  Floats expected;
  for (std::size_t n = 0; n < 5; ++n)
    for (std::size_t p = 0; p < 3; ++p)
      for (std::size_t j = 0; j < 4; ++j)
        expected.push_back(a_vals[n * 6 + p] + a_vals[n * 6 + 3 + p]);
  expect_grad(w, {5, 3, 4}, expected);  // the five products are not summed
}

TEST_F(AutogradTest, ScalarNodesScaleTheIncomingGradient) {
  Tensor t = tensor({2}, {1.0f, -3.0f});
  Tensor shifted = *scalar_sub(*scalar_add(t, 3.0f), 1.0f);
  Tensor scaled = *scalar_mul(shifted, 3.0f);
  Tensor y = *scalar_div(scaled, 4.0f);
  ASSERT_TRUE(backward(y));
  expect_grad(scaled, {2}, {0.25f, 0.25f});
  expect_grad(shifted, {2}, {0.75f, 0.75f});
  expect_grad(t, {2}, {0.75f, 0.75f});
  // The divisor's reciprocal is rounded once, as in the forward product.
  ASSERT_TRUE(backward(*scalar_div(t, 3.0f)));
  expect_grad(t, {2}, {1.0f / 3.0f, 1.0f / 3.0f});
}

TEST_F(AutogradTest, ReshapeAndTransposeSendTheGradientBackInTheInputsShape) {
  Floats c_vals = {10, 20, 30, 40, 50, 60};
  Tensor x = tensor({2, 3}, kA);
  Tensor c = tensor({3, 2}, c_vals, false);
  ASSERT_TRUE(backward(*mul(*reshape(x, {3, 2}), c)));
  expect_grad(x, {2, 3}, c_vals);  // the same row-major order
  ASSERT_TRUE(backward(*mul(*transpose(x, 0, 1), c)));
  expect_grad(x, {2, 3}, grid(2, 3, [&](auto i, auto j) { return c_vals[j * 2 + i]; }));
}

TEST_F(AutogradTest, ReshapeCannotTakeATransposedGradient) {
  Tensor x = tensor({2, 3}, kA);
  Tensor z = *transpose(*reshape(x, {3, 2}), 0, 1);
  Result<void> r = backward(z);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
  EXPECT_EQ(r.error().message,
            "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout");
  EXPECT_FALSE(grad(x));
  EXPECT_FALSE(grad(z));
}

TEST_F(AutogradTest, TensorUsedTwiceReceivesTheSum) {
  Tensor x = tensor({3}, kB);
  ASSERT_TRUE(backward(*add(x, x)));
  expect_grad(x, {3}, {2, 2, 2});
  ASSERT_TRUE(backward(*mul(x, x)));
  expect_grad(x, {3}, {4.0f, -1.0f, 6.0f});
  Tensor y = *add(*mul(x, x), x);
  ASSERT_TRUE(backward(y));
  expect_grad(x, {3}, {5.0f, 0.0f, 7.0f});
}

TEST_F(AutogradTest, GradientsOfDifferentShapesAddByBroadcasting) {
  Tensor b = tensor({3}, kB);
  Tensor a = tensor({2, 3}, kA, false);
  Tensor y = *add(*add(a, b), b);  // b gets [2, 3] from the outer node, [2, 3] from the inner one
  Tensor z = *mul(y, b);           // and [2, 3] from here; all sum into [2, 3]
  ASSERT_TRUE(backward(z));
  CpuStorage g = grad_of(b);
  EXPECT_EQ(g.shape(), (Shape{2, 3}));
  EXPECT_EQ(values(g),
            grid(2, 3, [](auto i, auto j) { return kB[j] + kB[j] + (kA[i * 3 + j] + 2 * kB[j]); }));
}

TEST_F(AutogradTest, FailingPassLeavesEveryGradientAsItWas) {
  Tensor x = tensor({3}, kB);
  Tensor p = *add(tensor({2, 3}, kA, false), x);               // [2, 3]
  Tensor u = *add(tensor({3, 3}, Floats(9, 1.0f), false), x);  // [3, 3]
  ASSERT_TRUE(backward(p));
  Floats before = values(grad_of(x));
  // x receives [3, 3] from u's node, then [2, 3] from p's node: they do not broadcast.
  Result<void> r = backward(*matmul(p, u));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Shape mismatch: cannot broadcast [3, 3] and [2, 3]");
  EXPECT_EQ(values(grad_of(x)), before);
  expect_grad(p, {2, 3}, Floats(6, 1.0f));
  EXPECT_FALSE(grad(u));
}

TEST_F(AutogradTest, PassesReplaceOnlyWhatTheyReach) {
  Tensor a = tensor({2}, {1, 2});
  Tensor other = tensor({1}, {5});
  ASSERT_TRUE(backward(*scalar_mul(other, 4.0f)));
  Tensor z = *scalar_mul(a, 2.0f);
  ASSERT_TRUE(backward(z));
  ASSERT_TRUE(backward(z));  // twice is the same as once
  expect_grad(a, {2}, {2, 2});
  Tensor w = *scalar_mul(a, 3.0f);
  ASSERT_TRUE(backward(w));
  expect_grad(a, {2}, {3, 3});   // replaced, not added
  expect_grad(z, {2}, {1, 1});   // untouched by the second root
  expect_grad(other, {1}, {4});  // a graph the passes never reached
}

TEST_F(AutogradTest, SeedIsOnesOfTheRootsTypeAndShape) {
  Tensor leaf = tensor({2, 2}, {1, 2, 3, 4});
  ASSERT_TRUE(backward(leaf));
  expect_grad(leaf, {2, 2}, Floats(4, 1.0f));
  Tensor flags = tensor<bool>({3}, {0, 1, 0});
  ASSERT_TRUE(backward(flags));
  CpuStorage g = grad_of(flags);
  EXPECT_EQ(g.dtype(), DType::Bool);
  EXPECT_EQ(values(g), Floats(3, 1.0f));
  Tensor half = tensor<f16>({}, {0.5f});
  ASSERT_TRUE(backward(half));
  EXPECT_EQ(grad_of(half).dtype(), DType::F16);
  expect_grad(half, {}, {1.0f});
}

TEST_F(AutogradTest, BackwardChecksTheRootInOrder) {
  Tensor c = tensor({1}, {1}, false);
  Result<void> r = backward(c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
  EXPECT_EQ(r.error().message, "backward() called on tensor that does not require grad");
  Tensor no_node{std::nullopt, c.storage, true};
  r = backward(no_node);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "backward() called on a constant tensor with no node_id");
  r = backward(*scalar_gt(no_node, 0.0f));  // comparisons give constants
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "backward() called on tensor that does not require grad");
}

TEST_F(AutogradTest, F16DivisionRoundsEachStep) {
  Tensor lhs = tensor<f16>({1}, {1.0f});
  Tensor rhs = tensor<f16>({1}, {300.0f});
  ASSERT_TRUE(backward(*div(lhs, rhs)));
  // b·b = 90000 overflows binary16, so the divisor's gradient is -1 / inf = -0.
  float g_rhs = values(grad_of(rhs))[0];
  EXPECT_EQ(g_rhs, 0.0f);
  EXPECT_TRUE(std::signbit(g_rhs));
  EXPECT_EQ(values(grad_of(lhs))[0], to_f32(to_f16(1.0f / 300.0f)));
}

TEST_F(AutogradTest, ScalarDivisionMultipliesByTheRoundedReciprocal) {
  Tensor t = tensor({3}, {3.0f, -2.0f, 0.0f}, false);
  EXPECT_EQ(values(*scalar_div(t, 15.0f))[0], 0.20000001788139343f);
  EXPECT_NE(0.20000001788139343f, 0.2f);
  Floats by_zero = values(*scalar_div(t, 0.0f));
  EXPECT_EQ(by_zero[0], INFINITY);
  EXPECT_EQ(by_zero[1], -INFINITY);
  EXPECT_TRUE(std::isnan(by_zero[2]));
  EXPECT_EQ(values(*scalar_div(t, -0.0f))[0], -INFINITY);
}

TEST_F(AutogradTest, ResultRequiresGradWhenEitherOperandDoes) {
  Tensor a = tensor({1}, {1});
  Tensor c = tensor({1}, {2}, false);
  for (const Tensor& r : {*add(a, c), *sub(c, a), *mul(c, a), *div(a, c), *scalar_add(a, 1)}) {
    EXPECT_TRUE(r.requires_grad);
    EXPECT_TRUE(r.node_id);
  }
  Tensor k = *mul(c, c);
  EXPECT_FALSE(k.requires_grad);
  EXPECT_FALSE(k.node_id);
}

// The gradients of a small graph over inputs that every thread shares.
std::vector<Floats> run_graph(const std::vector<StoragePtr>& inputs) {
  clear_graph();
  Tensor a = make_tensor(inputs[0]->cpu, true);  // shares the buffer
  Tensor b = make_tensor(inputs[1]->cpu, true);
  Tensor w = make_tensor(inputs[2]->cpu, true);
  Tensor c{std::nullopt, inputs[1], false};
  Tensor h = *matmul(*div(*add(*mul(a, b), c), *scalar_add(b, 4.0f)), w);
  Tensor h2 = *matmul(h, *scalar_mul(*transpose(w, 0, 1), 0.5f));
  Tensor r = *reshape(*scalar_mul(*reshape(a, {12}), 0.5f), {4, 3});
  EXPECT_TRUE(backward(*scalar_div(*sub(h2, r), 3.0f)));
  std::vector<Floats> out = {values(grad_of(a)), values(grad_of(b)), values(grad_of(w))};
  clear_graph();
  return out;
}

TEST(AutogradThreads, SharedInputsGiveTheSameGradientsOnEveryThread) {
  Floats av(4 * 3), bv(3), wv(3 * 3);
  for (std::size_t i = 0; i < av.size(); ++i) av[i] = 0.25f * float(i) - 1.0f;
  for (std::size_t i = 0; i < wv.size(); ++i) wv[i] = 1.0f / float(i + 1);
  bv = {0.5f, 2.0f, -1.5f};
  std::vector<StoragePtr> inputs = {share(testing::storage_of({4, 3}, av)),
                                    share(testing::storage_of({3}, bv)),
                                    share(testing::storage_of({3, 3}, wv))};
  std::vector<Floats> reference = run_graph(inputs);

  for (const auto& r : last_results_on_threads(4, 20, [&] { return run_graph(inputs); }))
    EXPECT_EQ(r, reference);
}

// Every operation over storages that all threads share, in each numeric element type, with
// transposed operands (the loop's blocked walks): forward values, comparisons, logical results
// and gradients, as one thread computes them on its own tape.
std::vector<Floats> run_every_operation(const std::vector<StoragePtr>& shared, std::size_t n) {
  clear_graph();
  std::vector<Floats> out;
  auto keep = [&](const Tensor& t) {
    out.push_back(values(t));
    return t;
  };
  for (const StoragePtr& s : shared) {
    Tensor c{std::nullopt, s, false};
    Tensor x = make_tensor(s->cpu, true);  // this thread's leaf over the shared buffer
    Tensor xt = keep(*transpose(x, 0, 1));
    Tensor q = keep(*div(*add(*mul(x, xt), c), *scalar_add(c, 4.0f)));
    Tensor r = keep(*matmul(q, xt));
    Tensor f = keep(*reshape(*scalar_mul(*sub(r, c), 0.5f), {n * n}));
    for (auto compare : {&eq, &ge, &gt, &le, &lt}) keep(*compare(xt, c));
    Tensor m = *lt(c, xt);
    Tensor k = *scalar_gt(x, 0.0f);
    keep(*logical_xor(*logical_and(m, k), *logical_or(m, *logical_not(k))));
    keep(zeros_like(xt));
    keep(ones_like(xt));
    EXPECT_TRUE(backward(*scalar_div(f, 3.0f)));
    out.push_back(values(grad_of(x)));
    out.push_back(values(grad_of(q)));
  }
  clear_graph();
  return out;
}

TEST(AutogradThreads, EveryOperationOnSharedStoragesMatchesOneThread) {
  constexpr std::size_t n = 128;
  Floats v(n * n);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = float((i * 37) % 101) / 50.0f - 1.0f;
  std::vector<StoragePtr> shared = {share(testing::storage_of<float>({n, n}, v)),
                                    share(testing::storage_of<f16>({n, n}, v)),
                                    share(testing::storage_of<bf16>({n, n}, v))};
  std::vector<Floats> reference = run_every_operation(shared, n);

  for (const auto& r :
       last_results_on_threads(8, 3, [&] { return run_every_operation(shared, n); }))
    EXPECT_EQ(r, reference);
  EXPECT_EQ(shared[0].use_count(), 1);  // no node of a finished thread holds it any more
}

}  // namespace
}  // namespace zevra
