"""Per-call cost of the binding: one-element operations against NumPy's one-element ufuncs."""

import numpy as np

from harness import Case
from zevra import Tensor


def cases():
    na, nb = np.array([1.5], np.float32), np.array([2.5], np.float32)
    a, b = Tensor(na), Tensor(nb)
    yield Case("a + b, [1] f32", lambda: a + b, lambda: na + nb, "numpy", 1.0)
    yield Case("a + 2.0, [1] f32", lambda: a + 2.0, lambda: na + 2.0, "numpy", 1.0)
    yield Case("2.0 * a, [1] f32", lambda: 2.0 * a, lambda: 2.0 * na, "numpy", 1.0)
    yield Case("a < b, [1] f32", lambda: a < b, lambda: na < nb, "numpy", 1.0)
    yield Case("a != b, [1] f32", lambda: a != b, lambda: na != nb, "numpy")
    # Each call records one node; the tape grows by a few hundred MB at most over the run.
    ga, gb = Tensor(na, requires_grad=True), Tensor(nb, requires_grad=True)
    yield Case("a + b, [1] f32, requires_grad", lambda: ga + gb, lambda: na + nb, "numpy", 1.5)
    yield Case("Tensor(list of 1)", lambda: Tensor([1.5]), lambda: np.array([1.5], "float32"),
               "numpy")
    yield Case("to_numpy(), [1] f32", a.to_numpy, na.copy, "numpy")
