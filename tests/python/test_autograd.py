"""Gradients as a user sees them: recording, backward(), grad(), clear_graph(), threads."""

import threading

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zevra import Tensor

NUMPY_TYPE = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}

A = np.array([[1.5, -2.0, 3.25], [0.5, 4.0, -1.0]], dtype=np.float32)
B = np.array([2.0, -0.5, 3.0], dtype=np.float32)


def var(data, dtype=None):
    return Tensor(np.asarray(data), dtype=dtype, requires_grad=True)


def assert_same(actual, expected):
    """Equal dtype, shape and values, NaN equal to NaN and -0.0 distinct from 0.0."""
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    a, e = actual.astype(np.float32), expected.astype(np.float32)  # exact for every type here
    assert np.array_equal(np.isnan(a), np.isnan(e))
    numbers = ~np.isnan(a)
    assert np.array_equal(a[numbers], e[numbers])
    assert np.array_equal(np.signbit(a[numbers]), np.signbit(e[numbers]))


def fatal(excinfo_value, message):
    assert not isinstance(excinfo_value, Exception)
    assert str(excinfo_value) == message


# --- what grad() and backward() report ------------------------------------------------------

def test_grad_is_none_until_a_pass_reaches_the_tensor():
    c = Tensor(A)
    a = var(A)
    assert c.grad() is None and a.grad() is None
    a.backward()
    g = a.grad()
    assert_same(g, np.ones_like(A))
    g[0, 0] = 42  # a copy: the tape is not changed through it
    assert a.grad()[0, 0] == 1


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_gradient_of_a_leaf_is_the_seed(dtype):
    t = Tensor(np.ones((2, 3)), dtype=dtype, requires_grad=True)
    t.backward()
    expected = np.ones((2, 3), dtype=NUMPY_TYPE.get(dtype, np.bool_))
    assert_same(t.grad(), expected)


def test_backward_refuses_constants():
    with pytest.raises(ValueError) as e:
        Tensor(A).backward()
    assert str(e.value) == "backward() called on tensor that does not require grad"
    a = var(A)
    for constant in (a > 0.0, a == a, a.zeros_like(), a.ones_like(), ~(a < 1.0)):
        assert constant.requires_grad is False
        with pytest.raises(ValueError, match="^backward\\(\\) called on tensor that does not"):
            constant.backward()


def test_requires_grad_propagates_from_either_operand():
    a, c = var(A), Tensor(B)
    for r in (a + c, c - a, c * a, a / c, a * 2.0, 2.0 * a, a / 4.0, a - 1.0, 1.0 + a,
              a.reshape([3, 2]), a.transpose(0, 1), a @ Tensor(np.ones((3, 2)))):
        assert r.requires_grad is True
    assert (c * c).requires_grad is False
    assert c.grad() is None


def test_clear_graph_is_static_and_forgets_every_gradient():
    a = var(A)
    y = a * 3.0
    y.backward()
    assert Tensor.clear_graph() is None
    assert a.grad() is None and y.grad() is None
    assert a.clear_graph() is None


def test_backward_from_a_tensor_older_than_the_tape_is_fatal():
    a, b = var([1.0]), var([2.0])
    y = a + b  # id 2
    Tensor.clear_graph()
    var([3.0])
    with pytest.raises(BaseException) as e:
        y.backward()
    fatal(e.value, "index out of bounds: the len is 1 but the index is 2")
    z = var([4.0]) * 2.0  # the tape is still usable
    z.backward()
    assert z.grad().tolist() == [1.0]


def test_a_new_tensor_never_inherits_a_gradient_written_through_a_stale_id():
    old = [var([1.0]) for _ in range(4)]
    Tensor.clear_graph()
    y = old[3] + var([2.0])  # its node refers to id 3, beyond the new tape's end
    y.backward()
    fresh = [var([0.0]) for _ in range(2)]  # ids 2 and 3
    assert [t.grad() for t in fresh] == [None, None]


def test_bool_gradients_flow_through_shape_operations():
    t = Tensor([[True, False, True]], dtype="bool", requires_grad=True)
    t.transpose(0, 1).reshape([3]).backward()
    assert_same(t.grad(), np.ones((1, 3), dtype=np.bool_))


# --- each node's gradient against NumPy -------------------------------------------------------

BINARY = {
    "add": (lambda x, y: x + y, lambda a, b, g: (g, g)),
    "sub": (lambda x, y: x - y, lambda a, b, g: (g, -g)),
    "mul": (lambda x, y: x * y, lambda a, b, g: (g * b, g * a)),
    "div": (lambda x, y: x / y, lambda a, b, g: (g / b, (-g * a) / (b * b))),
}


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(sorted(BINARY)), st.sampled_from(sorted(NUMPY_TYPE)),
       hnp.mutually_broadcastable_shapes(num_shapes=2, max_dims=3, max_side=3), st.data())
def test_elementwise_gradients_keep_the_broadcast_shape(op, dtype, shapes, data):
    np_type = NUMPY_TYPE[dtype]
    values = st.floats(-8, 8, width=16).map(np.float32)
    a = data.draw(hnp.arrays(np.float32, shapes.input_shapes[0], elements=values)).astype(np_type)
    b = data.draw(hnp.arrays(np.float32, shapes.input_shapes[1], elements=values)).astype(np_type)
    forward, formula = BINARY[op]
    Tensor.clear_graph()
    ta, tb = var(a, dtype), var(b, dtype)
    forward(ta, tb).backward()
    g = np.ones(shapes.result_shape, dtype=np_type)
    a_b, b_b = np.broadcast_arrays(a, b)
    with np.errstate(all="ignore"):
        expected_a, expected_b = formula(a_b, b_b, g)
    # Gradients are not reduced over broadcast axes: both have the result's shape.
    assert_same(ta.grad(), np.broadcast_to(expected_a, shapes.result_shape))
    assert_same(tb.grad(), np.broadcast_to(expected_b, shapes.result_shape))


@pytest.mark.parametrize("a_shape, b_shape", [((2, 3), (3, 4)), ((5, 2, 3), (3, 4)),
                                              ((2, 1, 2, 3), (3, 3, 2))])
def test_matmul_gradients(a_shape, b_shape):
    rng = np.random.default_rng(7)
    a = rng.uniform(-2, 2, a_shape).astype(np.float32)
    b = rng.uniform(-2, 2, b_shape).astype(np.float32)
    ta, tb = var(a), var(b)
    y = ta @ tb
    y.backward()
    g = np.ones(y.shape, dtype=np.float32)
    expected_a = g @ np.swapaxes(b, -1, -2)
    expected_b = np.swapaxes(a, -1, -2) @ g
    # Batch axes are broadcast, never summed: the gradients carry the full batch shape.
    assert ta.grad().shape == expected_a.shape and tb.grad().shape == expected_b.shape
    np.testing.assert_allclose(ta.grad(), expected_a, rtol=1e-6)
    np.testing.assert_allclose(tb.grad(), expected_b, rtol=1e-6)


@pytest.mark.parametrize("build, factor", [
    (lambda t: t + 3.0, 1.0), (lambda t: 3.0 + t, 1.0), (lambda t: t - 3.0, 1.0),
    (lambda t: t * 3.0, 3.0), (lambda t: 3.0 * t, 3.0), (lambda t: t / 4.0, 0.25),
    (lambda t: t / 3.0, np.float32(1) / np.float32(3)),
])
def test_scalar_gradients_scale_the_incoming_gradient(build, factor):
    t = var(A)
    s = build(t)
    (s * Tensor(B)).backward()  # the scalar node receives B, not ones
    incoming = np.broadcast_to(B, A.shape)
    assert_same(s.grad(), incoming)
    assert_same(t.grad(), incoming * np.float32(factor))


def test_reshape_and_transpose_send_gradients_back_in_the_input_shape():
    c = np.arange(10, 70, 10, dtype=np.float32).reshape(3, 2)
    x = var(A)
    (x.reshape([3, 2]) * Tensor(c)).backward()
    assert_same(x.grad(), c.reshape(2, 3))
    (x.transpose(0, 1) * Tensor(c)).backward()
    assert_same(x.grad(), c.T)
    assert x.grad().shape == (2, 3)


def test_reshape_cannot_take_a_gradient_in_transposed_layout():
    x = var(A)
    z = x.reshape([3, 2]).transpose(0, 1)
    with pytest.raises(ValueError) as e:
        z.backward()
    assert str(e.value) == \
        "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"
    assert x.grad() is None and z.grad() is None


def test_f16_division_rounds_every_step():
    lhs, rhs = var([1.0], "f16"), var([300.0], "f16")
    (lhs / rhs).backward()
    # b * b = 90000 overflows binary16, so the divisor's gradient is -1 / inf = -0.0.
    assert_same(rhs.grad(), np.array([-0.0], dtype=np.float16))
    assert_same(lhs.grad(), np.float16(1) / np.array([300], dtype=np.float16))


def test_scalar_division_multiplies_by_the_rounded_reciprocal():
    t = Tensor([3.0, -2.0, 0.0])
    assert (t / 15.0).to_numpy()[0] == np.float32(0.20000001788139343)
    with np.errstate(all="ignore"):
        assert_same((t / 0.0).to_numpy(), np.array([np.inf, -np.inf, np.nan], dtype=np.float32))
    assert (t / -0.0).to_numpy()[0] == -np.inf


# --- accumulation and passes -----------------------------------------------------------------

def test_a_tensor_used_twice_receives_the_sum():
    x = var(B)
    (x + x).backward()
    assert_same(x.grad(), np.full(3, 2, dtype=np.float32))
    (x * x + x).backward()
    assert_same(x.grad(), 2 * B + 1)


def test_gradients_of_different_shapes_sum_by_broadcasting():
    b = var(B)
    y = (Tensor(A) + b) * b  # b receives [2, 3] twice
    y.backward()
    assert_same(b.grad(), (A + B) + B)


def test_failing_pass_leaves_every_gradient_as_it_was():
    x = var(B)
    p = Tensor(A) + x               # [2, 3]
    u = Tensor(np.ones((3, 3))) + x  # [3, 3]
    p.backward()
    before = x.grad()
    with pytest.raises(RuntimeError) as e:
        (p @ u).backward()  # x receives [3, 3], then [2, 3]
    assert str(e.value) == "Shape mismatch: cannot broadcast [3, 3] and [2, 3]"
    assert_same(x.grad(), before)
    assert_same(p.grad(), np.ones((2, 3), dtype=np.float32))
    assert u.grad() is None


def test_passes_replace_only_the_gradients_they_reach():
    a = var([1.0, 2.0])
    z = a * 2.0
    z.backward()
    z.backward()
    assert a.grad().tolist() == [2.0, 2.0]
    w = a * 3.0
    w.backward()
    assert a.grad().tolist() == [3.0, 3.0]  # replaced, not added
    assert z.grad().tolist() == [1.0, 1.0]  # the first root keeps its seed


# --- finite differences over composite graphs ------------------------------------------------

def numeric_gradient(f, args, which, eps=1e-2):
    """d sum(f(args)) / d args[which] by central differences, in float64."""
    x = args[which].astype(np.float64)
    out = np.zeros_like(x)
    for idx in np.ndindex(x.shape):
        sums = []
        for step in (eps, -eps):
            moved = x.copy()
            moved[idx] += step
            values = [Tensor(moved if i == which else a) for i, a in enumerate(args)]
            sums.append(f(*values).to_numpy().astype(np.float64).sum())
        out[idx] = (sums[0] - sums[1]) / (2 * eps)
    return out


COMPOSITES = [
    ("rational", lambda x, w: ((x * x + x / 3.0) @ w - 2.0) / (x @ w + 9.0),
     [(2, 3), (3, 4)]),
    ("shapes", lambda x, w: (x.transpose(0, 1) @ w).reshape([6]) * 0.5 - x.reshape([6]),
     [(2, 3), (2, 2)]),
    ("quotient", lambda x, y: (x - y) / (x * y + 4.0) + 1.5 * y, [(3, 2), (3, 2)]),
]


@pytest.mark.parametrize("name, f, shapes", COMPOSITES, ids=[c[0] for c in COMPOSITES])
def test_composite_graphs_match_finite_differences(name, f, shapes):
    rng = np.random.default_rng(3)
    args = [rng.uniform(0.2, 1.0, s).astype(np.float32) for s in shapes]
    tensors = [var(a) for a in args]
    f(*tensors).backward()
    for i, t in enumerate(tensors):
        np.testing.assert_allclose(t.grad(), numeric_gradient(f, args, i), rtol=2e-2, atol=2e-3)


def test_broadcast_gradient_sums_to_the_finite_difference():
    f = lambda a, b: a * b + b / 2.0  # noqa: E731
    a, b = var(A), var(B)
    f(a, b).backward()
    assert b.grad().shape == (2, 3)  # kept in the broadcast shape
    np.testing.assert_allclose(b.grad().sum(axis=0), numeric_gradient(f, [A, B], 1), rtol=1e-2)


# --- threads ---------------------------------------------------------------------------------

def run_in_thread(fn):
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            box["error"] = e

    th = threading.Thread(target=target)
    th.start()
    th.join()
    if "error" in box:
        raise box["error"]
    return box.get("result")


def test_each_thread_records_on_its_own_tape():
    a, b = var([1.0]), var([2.0])
    y = a * b  # node 2 on this thread's tape

    def other():
        u = var([5.0])
        (u * 3.0).backward()
        Tensor.clear_graph()  # clears only this thread's tape
        return u

    u = run_in_thread(other)
    assert u.grad() is None  # u's id 0 names a on this thread, which has no gradient yet
    y.backward()
    assert a.grad().tolist() == [2.0] and b.grad().tolist() == [1.0]
    assert u.grad().tolist() == [2.0]  # now it reads a's slot

    def foreign_root():
        var([0.0])
        y.backward()

    with pytest.raises(BaseException) as e:
        run_in_thread(foreign_root)
    fatal(e.value, "index out of bounds: the len is 1 but the index is 2")


def graph_gradients(a, b, w):
    ta, tb, tw = var(a), var(b), var(w)
    h = ((ta * tb + Tensor(b)) / (tb + 4.0)) @ tw
    (h - ta * 0.5).transpose(0, 1).backward()
    out = [t.grad() for t in (ta, tb, tw)]
    Tensor.clear_graph()
    return out


def test_threads_sharing_inputs_match_a_single_thread():
    rng = np.random.default_rng(11)
    a = rng.uniform(-1, 1, (4, 3)).astype(np.float32)
    b = rng.uniform(0.5, 2, (3,)).astype(np.float32)
    w = rng.uniform(-1, 1, (3, 3)).astype(np.float32)
    reference = graph_gradients(a, b, w)
    start = threading.Barrier(4)
    results = [None] * 4

    def worker(i):
        start.wait()
        for _ in range(20):
            results[i] = graph_gradients(a, b, w)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for r in results:
        for got, want in zip(r, reference):
            assert_same(got, want)
