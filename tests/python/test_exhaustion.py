"""Results too large to exist: an allocation that fails raises MemoryError, a count that does not
fit a signed machine word raises the fixed error (or the fatal error where that is the rule),
and neither ends the process. The nodes recorded before the failing step stay on the tape, and
the interpreter and the tape go on working afterwards.

Every failing allocation here asks for at least 2**48 bytes, beyond any x86-64 address space,
so it fails whatever the system's overcommit policy; most operands are empty tensors of huge
shapes, which cost nothing. AddressSanitizer must be told to fail such allocations
(ASAN_OPTIONS=allocator_may_return_null=1, as `make test-asan` does) instead of aborting.
"""

import numpy as np
import pytest

from probes import ASAN_RETURNS_NULL, UNDER_ASAN, tape_length
from zevra import FatalError, Tensor

pytestmark = pytest.mark.skipif(UNDER_ASAN and not ASAN_RETURNS_NULL,
                                reason="needs ASAN_OPTIONS=allocator_may_return_null=1")


def empty(*shape, dtype="f32", requires_grad=False):
    """An empty tensor of any shape whose non-zero extents fit a signed word."""
    return Tensor(np.zeros(0, np.float32), dtype=dtype, requires_grad=requires_grad).reshape(
        list(shape))


def column(n, dtype):
    return Tensor(np.zeros((n, 1), np.float32), dtype=dtype)


def row(n, dtype):
    return Tensor(np.zeros((1, n), np.float32), dtype=dtype)


def still_works():
    a = Tensor([[1.0, 2.0]], requires_grad=True)
    y = (a * a + 1.0) @ a.transpose(0, 1)
    y.backward()
    assert y.to_numpy().tolist() == [[12.0]] and a.grad().tolist() == [[4.0, 13.0]]


# Each builds its operands, then attempts the impossible result; and the nodes recorded first.
IMPOSSIBLE = {
    "f16 comparison broadcast to 2**48": (lambda: (column(1 << 24, "f16"), row(1 << 24, "f16")),
                                          lambda a, b: a < b, 0),
    "bf16 product broadcast to 2**47": (lambda: (column(1 << 23, "bf16"), row(1 << 24, "bf16")),
                                        lambda a, b: a * b, 0),
    "bool logical broadcast to 2**48": (lambda: (column(1 << 24, "bool"), row(1 << 24, "bool")),
                                        lambda a, b: a ^ b, 0),
    "f32 matmul output of 2**48": (lambda: (empty(1 << 24, 0, requires_grad=True),
                                            empty(0, 1 << 24)), lambda a, b: a @ b, 2),
    "f16 matmul output of 2**48": (lambda: (empty(1 << 24, 0, dtype="f16"),
                                            empty(0, 1 << 24, dtype="f16")), lambda a, b: a @ b, 0),
    # 2**62 four-byte elements: the count fits a signed word, the bytes do not.
    "f32 matmul output of 2**62": (lambda: (empty(1 << 31, 0), empty(0, 1 << 31, requires_grad=True)),
                                   lambda a, b: a @ b, 2),
    "batched f32 matmul output of 2**48": (lambda: (empty(1 << 16, 1 << 16, 1, 0),
                                                    empty(1, 0, 1 << 16)), lambda a, b: a @ b, 0),
    "construction from a zero-stride view": (
        lambda: (np.broadcast_to(np.float32(0), (1 << 46,)), None), lambda a, b: Tensor(a), 0),
    "bf16 construction from a zero-stride view": (
        lambda: (np.broadcast_to(np.bool_(True), (1 << 47,)), None),
        lambda a, b: Tensor(a, dtype="bf16"), 0),
    "bool construction from a zero-stride view": (
        lambda: (np.broadcast_to(np.bool_(True), (1 << 48,)), None),
        lambda a, b: Tensor(a, dtype="bool", requires_grad=True), 0),
}


@pytest.mark.parametrize("case", IMPOSSIBLE)
def test_impossible_allocations_raise_memory_error(case):
    make, attempt, recorded = IMPOSSIBLE[case]
    a, b = make()
    before = tape_length()
    with pytest.raises(MemoryError):
        attempt(a, b)
    assert tape_length() == before + recorded
    still_works()


def test_numpy_reports_its_own_impossible_copy():
    class Sub(np.ndarray):  # not an exact array: NumPy makes the float32 copy first
        pass

    with pytest.raises(MemoryError):
        Tensor(np.broadcast_to(np.float32(0), (1 << 46,)).view(Sub))
    still_works()


@pytest.mark.parametrize("attempt, kind, message", [
    (lambda: empty(1 << 62, 1, 0) + empty(1, 1 << 62, 0), RuntimeError,
     "Broadcast failed for A: [4611686018427387904, 1, 0] -> "
     "[4611686018427387904, 4611686018427387904, 0]"),
    (lambda: empty(1 << 62, 1, 0, dtype="bool") & empty(1, 1 << 62, 0, dtype="bool"),
     RuntimeError, "Broadcast failed for A: [4611686018427387904, 1, 0] -> "
     "[4611686018427387904, 4611686018427387904, 0]"),
    (lambda: empty(1 << 31, 1, 1, 0) @ empty(1, 1 << 32, 0, 1), RuntimeError,
     "Broadcast failed for A to [2147483648, 4294967296, 1, 0]"),
    (lambda: empty(1 << 62, 0) @ empty(0, 2), FatalError,
     "Matmul output shape [4611686018427387904, 2] has too many elements"),
    (lambda: empty(0).reshape([1 << 63, 0]), ValueError,
     "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"),
    (lambda: empty(0).reshape([1 << 64]), OverflowError, None),
    (lambda: empty(1 << 62, 0).to_numpy(), ValueError, None),  # NumPy's own refusals
    (lambda: Tensor([1.0]).reshape([1] * 100).to_numpy(), ValueError, None),
])
def test_counts_beyond_a_signed_word(attempt, kind, message):
    with pytest.raises(kind) as info:
        attempt()
    assert message is None or info.value.args == (message,)
    still_works()


def test_huge_empty_tensors_compute():
    e = empty(1 << 62, 0, requires_grad=True)
    y = (e * 2.0 + e.ones_like()).transpose(0, 1)
    assert (y.shape, y.requires_grad) == ([0, 1 << 62], True)
    y.backward()
    with pytest.raises(ValueError):  # NumPy cannot make an array of that shape
        e.grad()
    assert (e.ones_like().reshape([0]) + 1.0).to_numpy().shape == (0,)
