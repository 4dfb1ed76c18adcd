"""Threads sharing tensors. Tensors are immutable, so any thread may read one; each thread
records on a tape of its own, so concurrent forward passes, backward passes, gradients and
clearing give exactly what one thread gets, and a thread's end or clear_graph() touches no
other thread's tape. The operands are large enough that kernels run with the thread state
detached, so threads really compute at the same time even with a global interpreter lock."""

import threading

import numpy as np

from probes import tape_length
from zevra import Tensor

N = 192  # 36864 elements: above the size from which kernels run detached
RNG = np.random.default_rng(7)
DATA = RNG.uniform(-1, 1, (N, N)).astype(np.float32)
SHARED = {dtype: (Tensor(DATA, dtype=dtype), Tensor(DATA.T * 0.5, dtype=dtype))
          for dtype in ("f32", "f16", "bf16")}
MASK = Tensor(DATA > 0, dtype="bool")


def every_operation():
    """Every operation over the shared tensors and leaves of this thread; the forward results,
    gradients and tape lengths as NumPy data."""
    out = []
    for dtype, (s, w) in SHARED.items():
        x = Tensor(DATA[:, :N // 2], dtype=dtype, requires_grad=True)  # this thread's leaf
        h = s.reshape([N * N]).reshape([N, N])
        y = ((h * w.transpose(0, 1) + s) / (w + 4.0) - 1.5) @ x
        z = (y.transpose(0, 1) * 0.5 - x.transpose(0, 1) / 2.0) @ s
        masks = [s < w, s <= 0.25, s == w, s != 0.0, 0.5 < s, s >= w]
        logical = (masks[0] & MASK) | (~masks[1] ^ masks[3])
        z.backward()
        out += [t.to_numpy() for t in (y, z, logical, *masks, s.zeros_like(), w.ones_like())]
        out += [x.grad(), y.grad()]
        out.append(np.array(tape_length()))
    Tensor.clear_graph()
    return out


def run_threads(count, work, *args):
    errors = []

    def target(*a):
        try:
            work(*a)
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            errors.append(e)

    threads = [threading.Thread(target=target, args=(i, *args)) for i in range(count)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    if errors:
        raise errors[0]


def same(results, reference):
    return len(results) == len(reference) and all(
        a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        for a, b in zip(results, reference))


def test_eight_threads_sharing_tensors_match_one_thread():
    reference = every_operation()
    start = threading.Barrier(8)
    results = [None] * 8

    def worker(i):
        start.wait()
        for _ in range(3):
            results[i] = every_operation()

    run_threads(8, worker)
    assert all(same(r, reference) for r in results)


def test_threads_ending_while_others_work():
    reference = every_operation()
    done = threading.Event()
    outcomes = []

    def short_lived(i):
        # Records nodes that hold the shared storages and ends without clearing its tape.
        s, w = SHARED["f32"]
        leaf = Tensor(DATA, requires_grad=True)
        ((leaf * s) @ w / s).backward()
        outcomes.append(tape_length())

    finished = threading.Barrier(3, action=done.set)

    def worker(i):
        if i == 0:  # one thread keeps starting threads that end at once
            while not done.is_set():
                run_threads(2, short_lived)
            return
        try:
            for _ in range(3):
                assert same(every_operation(), reference)
        finally:
            finished.wait()

    run_threads(4, worker)
    assert outcomes and set(outcomes) == {7}  # each ended thread had its own fresh tape


def test_clear_graph_on_one_thread_leaves_another_threads_tape():
    built, cleared = threading.Event(), threading.Event()
    seen = {}

    def keeper():
        a = Tensor(DATA, requires_grad=True)
        y = (a * a + a).transpose(0, 1)
        seen["before"] = tape_length()
        built.set()
        cleared.wait()
        seen["after"] = tape_length()
        y.backward()
        seen["grad"] = a.grad()

    def clearer():
        built.wait()
        b = Tensor(DATA, requires_grad=True)
        (b * 2.0).backward()
        for _ in range(100):
            Tensor.clear_graph()
        seen["cleared"] = tape_length()
        cleared.set()

    run_threads(2, lambda i: (keeper if i == 0 else clearer)())
    assert seen["before"] == seen["after"] == 4
    assert seen["cleared"] == 0
    np.testing.assert_array_equal(seen["grad"], (1 + DATA) + DATA)  # summed in that order


def test_clearing_concurrently_with_backward_passes_elsewhere():
    reference = every_operation()
    stop = threading.Event()

    def worker(i):
        if i == 0:
            while not stop.is_set():
                leaf = Tensor(DATA, requires_grad=True)
                (leaf * SHARED["f32"][0]).backward()
                Tensor.clear_graph()
            return
        try:
            for _ in range(3):
                assert same(every_operation(), reference)
        finally:
            stop.set()

    run_threads(3, worker)


def test_node_ids_are_read_against_the_using_threads_tape():
    owned = [Tensor([float(i)], requires_grad=True) for i in range(6)]  # ids 0..5 here
    a = owned[5]
    seen = {}

    def elsewhere(i):
        b = Tensor([3.0], requires_grad=True)  # id 0 on this thread
        y = a * b  # the product's node takes a's id, 5, as it is
        y.backward()
        seen["grad at 5"] = a.grad()  # whatever slot 5 of this thread's tape holds
        seen["b"] = b.grad()
        seen["length"] = tape_length()

    run_threads(1, elsewhere)
    assert seen["b"].tolist() == [5.0]
    assert seen["grad at 5"].tolist() == [3.0]  # the pass wrote the foreign id's slot
    assert seen["length"] == 2
    assert tape_length() == 6 and all(t.grad() is None for t in owned)  # this tape untouched
