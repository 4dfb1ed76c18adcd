// The per-thread tape: ids, leaves, gradient slots, clearing, access guard, thread lifetime.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <thread>

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "tensor_values.hpp"

namespace zevra {
namespace {

using testing::grad_of;
using testing::tensor;
using testing::values;

class TapeTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_graph(); }
  void TearDown() override { clear_graph(); }
  // The id the next node would get: the number of nodes on the tape.
  static std::size_t tape_length() { return thread_tape().push_leaf(); }
};

TEST_F(TapeTest, IdsFollowPushOrderAndConstantsGetFreshLeaves) {
  Tensor a = tensor({2}, {1, 2});
  Tensor b = tensor({2}, {3, 4});
  Tensor c = tensor({2}, {5, 6}, false);
  EXPECT_EQ(a.node_id, 0u);
  EXPECT_EQ(b.node_id, 1u);
  EXPECT_FALSE(c.node_id);

  Tensor ab = *add(a, b);
  EXPECT_EQ(ab.node_id, 2u);
  EXPECT_TRUE(ab.requires_grad);
  // A constant operand gets a leaf of its own before the node, on the side it stands.
  Tensor ac = *add(a, c);
  EXPECT_EQ(ac.node_id, 4u);
  Tensor ca = *mul(c, a);  // leaf 5 for c, node 6
  EXPECT_EQ(ca.node_id, 6u);
  Tensor cc = *add(c, c);  // two constants: nothing recorded
  EXPECT_FALSE(cc.node_id);
  EXPECT_FALSE(cc.requires_grad);
  EXPECT_FALSE(c.node_id);  // never written back
  EXPECT_EQ(tape_length(), 7u);

  // The constant on the left gets leaf 8 and the node refers to it as its left operand.
  Tensor e = *sub(c, a);
  ASSERT_EQ(e.node_id, 9u);
  ASSERT_TRUE(backward(e));
  EXPECT_EQ(values(*thread_tape().get_grad(8)), (std::vector<float>{1, 1}));
  EXPECT_EQ(values(grad_of(a)), (std::vector<float>{-1, -1}));
}

TEST_F(TapeTest, UnaryOperationsGiveAConstantInputALeaf) {
  Tensor c = tensor({2, 3}, {0, 1, 2, 3, 4, 5}, false);
  Tensor r = *reshape(c, {3, 2});
  EXPECT_FALSE(r.node_id);  // constant in, constant out
  Tensor inconsistent{std::nullopt, c.storage, true};
  Tensor s = *scalar_mul(inconsistent, 2.0f);
  EXPECT_EQ(s.node_id, 1u);  // leaf 0, node 1
}

TEST_F(TapeTest, FailingOperationKeepsItsNodes) {
  Tensor a = tensor({2}, {1, 2});
  Tensor flag = tensor<bool>({2}, {1, 0}, false);
  Result<Tensor> r = add(a, flag);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
  EXPECT_EQ(r.error().message,
            "Tensor DType mismatch during binary execution. Cannot operate between F32 and Bool.");
  EXPECT_EQ(tape_length(), 3u);  // a, the leaf for flag, the AddNode

  Tensor m = tensor({2, 3}, {0, 1, 2, 3, 4, 5});
  Result<Tensor> bad = reshape(m, {4});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message,
            "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes");
  EXPECT_EQ(tape_length(), 6u);  // m (id 4), the ReshapeNode (id 5)

  // An axis out of range is fatal; the TransposeNode was recorded first.
  EXPECT_THROW(transpose(m, 0, 2), FatalError);
  EXPECT_EQ(tape_length(), 8u);
}

TEST_F(TapeTest, ConstantResultsNeverTouchTheTape) {
  Tensor a = tensor({2}, {1, 2});
  Tensor b = tensor({2}, {2, 1});
  Tensor p = tensor<bool>({2}, {1, 0});
  Tensor q = tensor<bool>({2}, {1, 1});
  std::vector<Result<Tensor>> results = {
      eq(a, b),          ge(a, b),        gt(a, b),          le(a, b),
      lt(a, b),          scalar_eq(a, 1), scalar_ge(a, 1),   scalar_gt(a, 1),
      scalar_le(a, 1),   scalar_lt(a, 1), logical_and(p, q), logical_or(p, q),
      logical_xor(p, q), logical_not(p),  zeros_like(a),     ones_like(a)};
  for (const Result<Tensor>& r : results) {
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->requires_grad);
    EXPECT_FALSE(r->node_id);
  }
  EXPECT_EQ(tape_length(), 4u);
  EXPECT_EQ(values(*logical_not(p)), (std::vector<float>{0, 1}));
  Result<Tensor> bad = logical_not(a);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(bad.error().message, "Logical NOT is only supported for Bool data type.");
}

TEST_F(TapeTest, GetGradCopiesTheSlot) {
  Tensor a = tensor({2, 3}, {0, 1, 2, 3, 4, 5});
  EXPECT_FALSE(grad(a));                        // before any pass
  EXPECT_FALSE(thread_tape().get_grad(1000));   // beyond the end
  EXPECT_FALSE(grad(tensor({1}, {1}, false)));  // a constant has no slot
  Tensor t = *transpose(a, 0, 1);
  ASSERT_TRUE(backward(t));
  CpuStorage g1 = grad_of(t);
  CpuStorage g2 = grad_of(t);
  EXPECT_EQ(g1.shape(), (Shape{3, 2}));
  EXPECT_EQ(g1.strides(), (Strides{2, 1}));
  // Each read is a copy with a buffer of its own.
  EXPECT_NE(std::get<NdArray<float>>(g1.array).buffer, std::get<NdArray<float>>(g2.array).buffer);
  EXPECT_EQ(grad_of(a).strides(), (Strides{1, 2}));  // the seed's strides exchanged back
}

TEST_F(TapeTest, ClearRestartsIdsAndOldIdsReadTheNewSlots) {
  Tensor a = tensor({1}, {2});
  Tensor y = *scalar_mul(a, 3.0f);
  ASSERT_TRUE(backward(y));
  clear_graph();
  EXPECT_FALSE(grad(a));
  Tensor b = tensor({1}, {7});
  EXPECT_EQ(b.node_id, 0u);
  ASSERT_TRUE(backward(b));
  EXPECT_EQ(values(grad_of(a)), (std::vector<float>{1}));  // a's stale id 0 names b's node
}

TEST_F(TapeTest, NewNodeStartsWithoutGradientEvenWhereAStaleIdLeftOne) {
  std::vector<Tensor> old;
  for (int i = 0; i < 6; ++i) old.push_back(tensor({1}, {1}));
  clear_graph();
  Tensor fresh = tensor({1}, {2});
  Tensor y = *add(old[5], fresh);  // node 1 refers to the stale id 5
  ASSERT_TRUE(backward(y));
  EXPECT_EQ(values(grad_of(fresh)), (std::vector<float>{1}));
  for (int i = 2; i < 6; ++i) {
    Tensor t = tensor({1}, {0});
    EXPECT_EQ(t.node_id, std::size_t(i));
    EXPECT_FALSE(grad(t)) << "id " << i;
  }
}

TEST_F(TapeTest, StaleRootIsFatalAndTheTapeStaysUsable) {
  Tensor a = tensor({1}, {1});
  Tensor b = tensor({1}, {1});
  Tensor y = *add(a, b);
  clear_graph();
  Tensor c = tensor({1}, {1});
  try {
    (void)backward(y);
    FAIL() << "no fatal error";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 2");
  }
  EXPECT_TRUE(backward(c));
  EXPECT_EQ(values(grad_of(c)), (std::vector<float>{1}));
}

TEST(AutogradContext, AccumulateSumsWithTheHeldGradientOnTheLeft) {
  AutogradContext ctx(1);
  EXPECT_TRUE(LeafNode{}.backward(ctx, testing::storage_of({1}, {1})));
  EXPECT_FALSE(ctx.take(0));  // a leaf passes nothing on

  ASSERT_TRUE(ctx.accumulate(3, testing::storage_of({3}, {1, 2, 3})));  // grows to fit
  EXPECT_EQ(ctx.size(), 4u);
  ASSERT_TRUE(ctx.accumulate(3, testing::storage_of({2, 1}, {10, 20})));
  Result<void> r = ctx.accumulate(3, testing::storage_of<f16>({1}, {1}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message,  // the held F32 gradient is the left operand
            "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16.");
  std::optional<CpuStorage> held = ctx.take(3);  // unchanged by the failure
  ASSERT_TRUE(held);
  EXPECT_EQ(held->shape(), (Shape{2, 3}));
  EXPECT_EQ(values(*held), (std::vector<float>{11, 12, 13, 21, 22, 23}));
  EXPECT_FALSE(ctx.take(3));

  ctx.set_grad(1, testing::storage_of({1}, {5}));
  ctx.set_grad(1, testing::storage_of({1}, {6}));  // replaces
  EXPECT_EQ(values(*ctx.take(1)), (std::vector<float>{6}));
  EXPECT_FALSE(ctx.take(100));
}

TEST(AccessState, ReadersShareAndWritersExclude) {
  AccessState s;
  {
    AccessState::Shared r1(s);
    AccessState::Shared r2(s);
    EXPECT_THROW(AccessState::Exclusive{s}, FatalError);
  }
  {
    AccessState::Exclusive w(s);
    EXPECT_THROW(AccessState::Shared{s}, FatalError);
    EXPECT_THROW(AccessState::Exclusive{s}, FatalError);
  }
  AccessState::Exclusive again(s);  // released by the guards above
}

TEST_F(TapeTest, ReentrantAccessDuringAPassIsFatal) {
  Tape& tape = thread_tape();
  {
    Tape::Pass pass(tape);
    EXPECT_THROW(tape.push_leaf(), FatalError);
    EXPECT_THROW(tape.get_grad(0), FatalError);
    EXPECT_THROW(tape.clear(), FatalError);
    EXPECT_THROW(make_tensor(testing::storage_of({1}, {1}), true), FatalError);
    EXPECT_THROW(backward_pass(0, testing::storage_of({1}, {1})), FatalError);
  }
  EXPECT_EQ(tape.push_leaf(), 0u);
}

TEST(ThreadTape, ConcurrentThreadsEachStartAtZero) {
  constexpr int kThreads = 4;
  std::barrier sync(kThreads);
  std::vector<std::vector<std::size_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      sync.arrive_and_wait();
      for (int i = 0; i < 50; ++i) {
        Tensor x = testing::tensor({1}, {float(t)});
        Tensor y = *scalar_add(x, 1.0f);
        ids[t].push_back(*x.node_id);
        ids[t].push_back(*y.node_id);
      }
    });
  for (std::thread& th : threads) th.join();
  for (const auto& v : ids)
    for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i);
}

TEST(ThreadTape, EndingThreadReleasesWhatItsNodesHeld) {
  std::shared_ptr<const Storage> kept = testing::tensor({1}, {2}, false).storage;
  std::thread([&] {
    Tensor c{std::nullopt, kept, false};
    Tensor x = testing::tensor({1}, {3});
    (void)*mul(x, c);
    EXPECT_EQ(kept.use_count(), 3);  // kept, c, the MulNode
  }).join();
  EXPECT_EQ(kept.use_count(), 1);
}

// Destroyed after the tape (constructed before it), so its destructor finds it gone.
struct LateUser {
  std::atomic<int>* outcome;
  ~LateUser() {
    try {
      (void)thread_tape().push_leaf();
      *outcome = 1;
    } catch (const FatalError&) {
      *outcome = 2;
    }
  }
};

TEST(ThreadTape, AccessAfterTheThreadsTapeIsDestroyedIsFatal) {
  std::atomic<int> outcome = 0;
  std::thread([&] {
    thread_local LateUser late{nullptr};
    late.outcome = &outcome;
    (void)thread_tape().push_leaf();
  }).join();
  EXPECT_EQ(outcome, 2);
}

}  // namespace
}  // namespace zevra
