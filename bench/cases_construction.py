"""Crossing the NumPy boundary: building tensors and handing data back."""

import numpy as np

from harness import Case
from zevra import Tensor


def cases():
    rng = np.random.default_rng(0)
    for n, label in ((1_000, "1e3"), (1_000_000, "1e6"), (16_000_000, "1.6e7")):
        a = rng.random(n, dtype=np.float32)
        yield Case(f"Tensor(float32 {label})", lambda a=a: Tensor(a),
                   lambda a=a: np.array(a, dtype="float32"), "numpy")
    side = 4000
    m = rng.random((side, side), dtype=np.float32).T
    yield Case("Tensor(transposed float32 [4000, 4000])", lambda: Tensor(m),
               lambda: np.array(m, dtype="float32"), "numpy")
    for n, label in ((1_000, "1e3"), (1_000_000, "1e6"), (16_000_000, "1.6e7")):
        a = rng.random(n, dtype=np.float32)
        t = Tensor(a)
        yield Case(f"to_numpy() float32 {label}", t.to_numpy, a.copy, "numpy")
    t = Tensor(m)
    yield Case("to_numpy() [4000, 4000]", t.to_numpy, np.ascontiguousarray(m).copy, "numpy")
