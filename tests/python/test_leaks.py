"""Nothing leaks: repeating any call, successful or failing, leaves the reference counts of its
operands, of the class and of the fatal-error class as they were, allocates no Python memory
that outlives it, and keeps resident memory flat; a thread that ends gives back its tape and
every storage that its nodes held.

The loops use tensors of 1024 elements, so that a leaked result (4 KiB) would show in resident
memory; about 1e5 calls in all. Resident memory is not measured under AddressSanitizer, which
keeps freed memory in quarantine.
"""

import ctypes
import gc
import sys
import threading
import tracemalloc

import ml_dtypes
import numpy as np
import pytest

from probes import UNDER_ASAN, live_tensors, rss
from zevra import FatalError, Tensor

MiB = 1 << 20
X = np.linspace(-2, 2, 1024, dtype=np.float32).reshape(32, 32)
LIST = X[:4, :4].tolist()
A, B = Tensor(X), Tensor(X + 3)
AT = A.transpose(0, 1)  # column-major storage
H, BF = Tensor(X, dtype="f16"), Tensor(X, dtype="bf16")
M = Tensor(X > 0, dtype="bool")
STRIDED = Tensor(np.ones((4, 8, 32), np.float32)).transpose(0, 2)  # neither row- nor column-major
G = Tensor(X, requires_grad=True)
EMPTY = Tensor(np.zeros(0, np.float32)).reshape([1 << 24, 0])
SHAPE, BAD_SHAPE, AXES = [1024], [2, -1], (1, 0)
F16, BOOL_, RAGGED = np.float16, np.bool_, [[1.0], [1.0, 2.0]]


class Index:
    def __index__(self):
        raise OverflowError("no index")


IDX = Index()
OPERANDS = [A, B, AT, H, BF, M, STRIDED, G, EMPTY, X, LIST, SHAPE, BAD_SHAPE, AXES, F16, BOOL_,
            RAGGED, IDX, np.dtype(np.float32), np.dtype(np.float16), np.dtype(ml_dtypes.bfloat16),
            np.dtype(bool)]


def backward_and_grad():
    ((G * B + 1.0) @ G.transpose(0, 1) / B).backward()
    return G.grad()


CALLS = {
    # construction and exchange
    "construct f32": lambda: Tensor(X),
    "construct f16 from a transposed view": lambda: Tensor(X.T, dtype=F16),
    "construct bf16": lambda: Tensor(X, dtype="bf16"),
    "construct bool": lambda: Tensor(X, dtype="bool"),
    "construct from a list": lambda: Tensor(LIST, requires_grad=True),
    "to_numpy row-major": lambda: A.to_numpy(),
    "to_numpy column-major": lambda: AT.to_numpy(),
    "to_numpy strided": lambda: STRIDED.to_numpy(),
    "to_numpy bf16": lambda: BF.to_numpy(),
    "properties": lambda: (A.shape, A.strides, A.ndim, A.dtype, A.device, A.requires_grad),
    # operators
    "add": lambda: A + B, "sub": lambda: A - AT, "mul": lambda: H * H, "div": lambda: BF / BF,
    "matmul": lambda: A @ B, "matmul f16": lambda: H @ H,
    "scalar": lambda: (A + 1.5, 2 * A, A - 1, A / 3, 1 + A),
    "comparisons": lambda: (A < B, A <= 0.5, A == B, A != 1.0, 0.5 < A, A >= AT),
    "logical": lambda: (M & M, M | M, M ^ M, ~M),
    "comparison methods": lambda: (A.__req__(1.0), A.__rlt__(1.0), A.__rgt__(1.0)),
    # methods and the tape
    "reshape and transpose": lambda: (A.reshape(SHAPE), A.transpose(*AXES), G.reshape(SHAPE)),
    "zeros_like and ones_like": lambda: (AT.zeros_like(), BF.ones_like(), M.ones_like()),
    "recorded graph": lambda: (G * A + G) @ G,
    "backward and grad": backward_and_grad,
    "clear_graph": Tensor.clear_graph,
    # failures
    "device refused": lambda: Tensor(X, device=1),
    "device unknown": lambda: Tensor(X, device="cuda"),
    "requires_grad refused": lambda: Tensor(X, requires_grad=1),
    "dtype unknown": lambda: Tensor(X, dtype="float64"),
    "dtype NumPy refuses": lambda: Tensor(X, dtype=IDX),
    "data NumPy refuses": lambda: Tensor(RAGGED),
    "surplus arguments": lambda: Tensor(X, None, "cpu", False, 1),
    "dtype mismatch": lambda: A + H,
    "bool arithmetic": lambda: M * M,
    "broadcast mismatch": lambda: A + Tensor([1.0, 2.0]),
    "matmul mismatch": lambda: A @ Tensor([1.0]),
    "declined operands": lambda: A + "a",
    "declined reflected": lambda: 1.0 - A,
    "equality with a foreign object": lambda: A == "a",
    "reshape refused": lambda: AT.reshape(SHAPE),
    "reshape argument refused": lambda: A.reshape(BAD_SHAPE),
    "transpose out of range": lambda: G.transpose(0, 5),
    "transpose argument refused": lambda: A.transpose(IDX, 0),
    "comparison method argument refused": lambda: A.__req__("a"),
    "backward of a constant": lambda: A.backward(),
    "backward that fails": lambda: (G.reshape(SHAPE).reshape([32, 32]).transpose(0, 1)
                                    .reshape(SHAPE)).backward(),
    "unknown keyword": lambda: A.reshape(shape=SHAPE, order="C"),
    "out of memory": lambda: EMPTY @ EMPTY.transpose(0, 1),
}

WATCHED = [FatalError, *OPERANDS]


def repeat(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001, S110 - failures are part of what is repeated
            pass
        Tensor.clear_graph()


@pytest.mark.parametrize("name", CALLS)
def test_repetitions_leak_nothing(name):
    call = CALLS[name]
    repeat(call, 100)  # warm up caches, free lists and the allocator
    gc.collect()
    alive, counts = live_tensors(), [sys.getrefcount(x) for x in WATCHED]

    tracemalloc.start()
    try:
        # Free lists refill with traced blocks first, and caches of the interpreter and of
        # NumPy fill up over a window or two; a leak goes on growing in the last one.
        for _ in range(3):
            gc.collect()  # what only waits for the collector is not kept
            before = tracemalloc.get_traced_memory()[0]
            repeat(call, 500)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
            if grown < 10 * 1024:
                break
    finally:
        tracemalloc.stop()
    # Less than one object per call (the smallest, a float, takes 24 bytes).
    assert grown < 10 * 1024, f"{grown} bytes of Python memory kept after 500 calls"

    if not UNDER_ASAN:
        start = rss()
        repeat(call, 1200)
        assert rss() - start < 2 * MiB, "resident memory grew"
    gc.collect()
    assert live_tensors() == alive
    assert [sys.getrefcount(x) for x in WATCHED] == counts


def run_thread(work):
    th = threading.Thread(target=work)
    th.start()
    th.join()


@pytest.mark.skipif(UNDER_ASAN, reason="resident memory is not returned under AddressSanitizer")
def test_a_finished_threads_tape_releases_what_its_nodes_held():
    n = 72 << 20  # 288 MiB: more than the allocator keeps back for reuse
    inside = {}

    def work():
        big = Tensor(np.broadcast_to(np.float32(1), (n,)))
        y = big * Tensor([2.0], requires_grad=True)  # the product's node keeps `big`
        del big, y
        inside["rss"] = rss()

    start = rss()
    run_thread(work)
    assert inside["rss"] - start > 4 * n * 0.9  # only the node held it
    assert rss() - start < 16 * MiB


@pytest.mark.skipif(UNDER_ASAN, reason="resident memory is not returned under AddressSanitizer")
def test_a_finished_threads_whole_tape_is_released():
    grown = []

    def work():
        start = rss()
        y = Tensor(np.ones(4096, np.float32), requires_grad=True)
        for _ in range(4000):  # 4000 products, each node keeping a 16 KiB operand
            y = y * 1.0001 * Tensor([1.0])
        grown.append(rss() - start)

    start = rss()
    run_thread(work)
    ctypes.CDLL(None).malloc_trim(0)  # hand the thread's freed heap back to the system
    assert grown[0] > 48 * MiB  # the tape held its storages while the thread ran
    assert rss() - start < 16 * MiB
