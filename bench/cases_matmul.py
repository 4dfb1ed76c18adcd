"""Matrix products: float32 against NumPy, the 16-bit types against zevra's own float32 (they
pay the widening and rounding around the same float32 product) and against NumPy float16."""

import numpy as np

from harness import Case
from zevra import Tensor


def cases():
    rng = np.random.default_rng(0)

    def pair(*shapes):
        return [rng.standard_normal(s, dtype=np.float32) for s in shapes]

    for n in (64, 256, 1024):
        a, b = pair((n, n), (n, n))
        ta, tb = Tensor(a), Tensor(b)
        yield Case(f"matmul f32 [{n}, {n}] @ [{n}, {n}]", lambda ta=ta, tb=tb: ta @ tb,
                   lambda a=a, b=b: a @ b, "numpy", 1.05)

    a, b = pair((512, 512), (512, 512))
    ta, tb = Tensor(a).transpose(0, 1), Tensor(b)
    yield Case("matmul f32 transposed [512, 512] @ [512, 512]", lambda: ta @ tb,
               lambda: a.T @ b, "numpy", 1.05)

    a, b = pair((64, 64, 64), (64, 64))
    tba, tbb = Tensor(a), Tensor(b)
    yield Case("matmul f32 [64, 64, 64] @ [64, 64]", lambda: tba @ tbb, lambda: a @ b,
               "numpy", 1.05)

    a, b = pair((1024, 1024), (1024, 1024))
    f32 = (Tensor(a), Tensor(b))
    for dtype in ("f16", "bf16"):
        x, y = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
        yield Case(f"matmul {dtype} [1024, 1024] @ [1024, 1024]", lambda x=x, y=y: x @ y,
                   lambda: f32[0] @ f32[1], "zevra f32", 1.25)

    a, b = (x.astype(np.float16) for x in pair((256, 256), (256, 256)))
    ha, hb = Tensor(a, dtype="f16"), Tensor(b, dtype="f16")
    yield Case("matmul f16 [256, 256] @ [256, 256]", lambda: ha @ hb, lambda: a @ b, "numpy",
               0.02)
