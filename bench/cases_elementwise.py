"""Element-wise arithmetic, comparisons and logical operations (one thread)."""

import ml_dtypes
import numpy as np

from harness import Case
from zevra import Tensor

M = 1_000_000
BIG = 16_000_000


def _floats(shape, seed):
    return np.random.default_rng(seed).random(shape, dtype=np.float32) + 0.5


def _binary(name, op, a, b, target):
    ta, tb = Tensor(a), Tensor(b)
    return Case(name, lambda: op(ta, tb), lambda: op(a, b), "numpy", target)


def _contiguous(n, label, target):
    a, b = _floats(n, 1), _floats(n, 2)
    yield _binary(f"F32 a+b {label}", np.add, a, b, target)
    yield _binary(f"F32 a*b {label}", np.multiply, a, b, target)
    yield _binary(f"F32 a/b {label}", np.true_divide, a, b, target)


def _broadcast():
    m = _floats((2000, 2000), 3)
    yield _binary("F32 [2000,2000]+[2000]", np.add, m, _floats(2000, 4), 1.0)
    yield _binary("F32 [2000,2000]+[2000,1]", np.add, m, _floats((2000, 1), 5), 1.0)
    other = _floats((2000, 2000), 6)
    tm, tt = Tensor(m), Tensor(other).transpose(0, 1)
    yield Case("F32 [2000,2000] row-major + transposed", lambda: tm + tt, lambda: m + other.T,
               "numpy", 0.6)


def _with_scalar():
    a = _floats(BIG, 7)
    t = Tensor(a)
    yield Case("F32 t*3.0 1.6e7", lambda: t * 3.0, lambda: a * np.float32(3.0), "numpy", 0.9)
    yield Case("F32 t<0.5 1.6e7", lambda: t < 0.5, lambda: a < np.float32(0.5), "numpy", 0.9)


def _logical():
    rng = np.random.default_rng(8)
    a, b = rng.random(BIG) < 0.5, rng.random(BIG) < 0.5
    ta, tb = Tensor(a, dtype="bool"), Tensor(b, dtype="bool")
    yield Case("Bool a&b 1.6e7", lambda: ta & tb, lambda: a & b, "numpy", 0.9)
    yield Case("Bool ~a 1.6e7", lambda: ~ta, lambda: ~a, "numpy", 0.9)


def _sixteen_bit_cases(name, dtype, reference, reference_name, a, b, f32):
    x, y = a.astype(reference), b.astype(reference)
    tx, ty = Tensor(x, dtype=dtype), Tensor(y, dtype=dtype)
    fa, fb = f32
    yield Case(f"{name} a+b 1.6e7 vs zevra F32", lambda: tx + ty, lambda: fa + fb, "zevra f32", 1.0)
    yield Case(f"{name} a+b 1.6e7", lambda: tx + ty, lambda: x + y, reference_name, 0.1)


def _sixteen_bit():
    a, b = _floats(BIG, 9), _floats(BIG, 10)
    f32 = (Tensor(a), Tensor(b))
    yield from _sixteen_bit_cases("F16", "f16", np.float16, "numpy", a, b, f32)
    yield from _sixteen_bit_cases("BF16", "bf16", ml_dtypes.bfloat16, "ml_dtypes", a, b, f32)


def _one_element():
    a, b = np.ones(1, np.float32), np.full(1, 2, np.float32)
    ta, tb = Tensor(a), Tensor(b)
    yield Case("F32 a+b 1 element", lambda: ta + tb, lambda: a + b, "numpy", 1.0)
    ga = Tensor(a, requires_grad=True)
    calls = 0

    def recorded():
        # Every call records a node; the tape is emptied now and then so it cannot grow for
        # the whole run (the cost of dropping the nodes is part of the measurement).
        nonlocal calls
        calls += 1
        if calls % 4096 == 0:
            Tensor.clear_graph()
        return ga + tb

    yield Case("F32 a+b 1 element, requires_grad", recorded, lambda: a + b, "numpy", 1.5)


def cases():
    yield from _contiguous(M, "1e6", 1.0)
    yield from _contiguous(BIG, "1.6e7", 0.85)
    yield from _broadcast()
    yield from _with_scalar()
    yield from _logical()
    yield from _sixteen_bit()
    yield from _one_element()
    Tensor.clear_graph()
