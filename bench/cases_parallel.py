"""Two threads against one: the same pair of large operations run on two threads at once and
one after the other on one thread. Heavy kernels run with the thread state detached, so even
under a global interpreter lock the two threads compute in parallel; on two cores the ideal
ratio is 0.5."""

import threading

import numpy as np

from harness import Case
from zevra import Tensor


def _two_threads(work):
    """Runs `work` on a second thread and on this one at the same time."""
    other = threading.Thread(target=work)
    other.start()
    work()
    other.join()


def _serial(work):
    work()
    work()


def cases():
    rng = np.random.default_rng(0)
    x = rng.standard_normal((1024, 1024), dtype=np.float32)
    y = rng.standard_normal((1024, 1024), dtype=np.float32)
    big = rng.standard_normal((2048, 2048), dtype=np.float32)

    def pair(name, work, target):
        return Case(f"parallel {name} x2 (2 threads)", lambda: _two_threads(work),
                    lambda: _serial(work), "zevra serial", target)

    for dtype, target in (("f32", 0.6), ("bf16", 0.65)):
        a, b = Tensor(x, dtype=dtype), Tensor(y, dtype=dtype)
        yield pair(f"matmul {dtype} [1024, 1024] @ [1024, 1024]", lambda a=a, b=b: a @ b, target)

    # A row-major f32 sum moves 12 bytes of memory per addition and the two cores share the
    # memory bandwidth, so it gains least. Transposed operands and 16-bit types compute more
    # per byte.
    a, b = Tensor(big), Tensor(big + 1)
    yield pair("add f32 [2048, 2048] + [2048, 2048]", lambda a=a, b=b: a + b, None)
    for dtype, target in (("f32", 0.75), ("f16", 0.7)):
        a, b = Tensor(big, dtype=dtype), Tensor(big.T, dtype=dtype).transpose(0, 1)
        yield pair(f"add {dtype} [2048, 2048] + transposed [2048, 2048]", lambda a=a, b=b: a + b,
                   target)

    def step(a=Tensor(x)):
        w = Tensor(y, requires_grad=True)
        ((a @ w) * 0.5 + a).backward()
        w.grad()
        Tensor.clear_graph()

    yield pair("forward and backward of (x @ w) * 0.5 + x, [1024, 1024]", step, 0.75)
