"""Matrix products, reshape, transpose, zeros_like and ones_like as a user sees them."""

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zevra import FatalError, Tensor

NUMPY_TYPE = {"f16": np.float16, "bf16": ml_dtypes.bfloat16}


def operand(x, transposed):
    """A tensor holding x, built transposed (column-major strides) when asked."""
    if not transposed:
        return Tensor(x)
    return Tensor(np.ascontiguousarray(np.swapaxes(x, -1, -2))).transpose(x.ndim - 2, x.ndim - 1)


@st.composite
def matmul_operands(draw):
    m, k, n = (draw(st.integers(0, 6)) for _ in range(3))
    nb = draw(st.integers(0, 3))
    batch = draw(st.lists(st.integers(1, 3), min_size=nb, max_size=nb))
    # Each operand drops some leading batch axes and stretches some others from 1.
    def own(batch):
        drop = draw(st.integers(0, len(batch)))
        return [1 if draw(st.booleans()) else d for d in batch[drop:]]
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    a = rng.standard_normal((*own(batch), m, k), dtype=np.float32)
    b = rng.standard_normal((*own(batch), k, n), dtype=np.float32)
    return a, b, draw(st.booleans()), draw(st.booleans())


@settings(max_examples=200, deadline=None)
@given(matmul_operands())
def test_matmul_matches_numpy(operands):
    a, b, ta, tb = operands
    product = operand(a, ta) @ operand(b, tb)
    expected = a @ b
    assert product.shape == list(expected.shape)
    assert product.dtype == "f32"
    assert product.strides == ([0] * expected.ndim if expected.size == 0 else
                               list(np.array(expected.strides) // 4))
    np.testing.assert_allclose(product.to_numpy(), expected, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("dtype, bound", [("f16", 128), ("bf16", 256)])
def test_16_bit_products_are_rounded_once(dtype, bound):
    # Integers up to `bound` are exact in the type, and so are float32 sums of three of their
    # products; the sums themselves mostly are not, so the float32 product rounded once is the
    # only right answer.
    rng = np.random.default_rng(7)
    kind = NUMPY_TYPE[dtype]
    a = rng.integers(-bound, bound + 1, (4, 5, 3)).astype(kind)
    b = rng.integers(-bound, bound + 1, (3, 6)).astype(kind)
    product = Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)
    expected = (a.astype(np.float32) @ b.astype(np.float32)).astype(kind)
    out = product.to_numpy()
    assert product.dtype == dtype and out.dtype == kind
    assert np.array_equal(out.view(np.uint16), expected.view(np.uint16))
    # Rounding every partial sum would lose the two ones: 2048 + 1 + 1 in float16.
    ones = np.ones((3, 1), dtype=np.float16)
    assert (Tensor(np.array([[2048, 1, 1]], np.float16), dtype="f16")
            @ Tensor(ones, dtype="f16")).to_numpy().tolist() == [[2050.0]]
    assert (Tensor(np.array([[40000, 40000, -40000]], np.float16), dtype="f16")
            @ Tensor(ones, dtype="f16")).to_numpy().tolist() == [[40000.0]]


@pytest.mark.parametrize("a, b, kind, message", [
    ((3,), (3,), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 1D"),
    ((3,), (3, 2), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
    ((2, 3), (4, 5), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    ((2, 2, 3), (3, 4, 4), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    ((2, 2, 3), (3, 3, 4), RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
])
def test_matmul_shape_errors(a, b, kind, message):
    with pytest.raises(kind) as info:
        Tensor(np.zeros(a)) @ Tensor(np.zeros(b))
    assert type(info.value) is kind and info.value.args == (message,)


@pytest.mark.parametrize("a, b, kind, message", [
    ("f16", "f32", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F16 and F32."),
    ("bool", "f32", ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
    ("bool", "bool", TypeError,
     "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
])
def test_matmul_type_errors(a, b, kind, message):
    # Types are checked before shapes: these shapes would not multiply either.
    with pytest.raises(kind) as info:
        Tensor(np.ones(3), dtype=a) @ Tensor(np.ones(3), dtype=b)
    assert type(info.value) is kind and info.value.args == (message,)


def test_matmul_with_empty_extents():
    zeros = Tensor(np.zeros((2, 0), np.float32)) @ Tensor(np.zeros((0, 3), np.float32))
    assert zeros.to_numpy().tolist() == [[0.0] * 3] * 2 and zeros.strides == [3, 1]
    empty = Tensor(np.zeros((4, 0, 3))) @ Tensor(np.zeros((3, 2)))
    assert (empty.shape, empty.strides) == ([4, 0, 2], [0, 0, 0])


@pytest.mark.parametrize("make, shape, layout", [
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)), [4], False),
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)), [0], False),
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)), [2**63 + 3, 2], False),  # wraps to 6
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)).transpose(0, 1), [3, 2], True),
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)).transpose(0, 1), [5], False),  # size first
])
def test_reshape_refusals(make, shape, layout):
    text = ("ShapeError/IncompatibleLayout: incompatible memory layout" if layout else
            "ShapeError/IncompatibleShape: incompatible shapes")
    with pytest.raises(ValueError) as info:
        make().reshape(shape)
    assert info.value.args == ("Error while reshape: " + text,)


@pytest.mark.parametrize("make, shape, expected", [
    # axes of extent 1 do not count in the layout test
    (lambda: Tensor(np.arange(3.0).reshape(1, 3)).transpose(0, 1), [3], [0.0, 1.0, 2.0]),
    (lambda: Tensor(np.array(4.0)), [1, 1], [[4.0]]),
    (lambda: Tensor(np.zeros((0, 3))), [3, 0], [[], [], []]),
])
def test_reshape_accepts(make, shape, expected):
    r = make().reshape(shape)
    assert r.shape == shape and r.to_numpy().tolist() == expected


@pytest.mark.parametrize("shape, dims, message", [
    ((2, 3), (0, 2), "index out of bounds: the len is 2 but the index is 2"),
    ((2, 3), (5, 7), "index out of bounds: the len is 2 but the index is 5"),
    ((), (0, 0), "index out of bounds: the len is 0 but the index is 0"),
])
def test_transpose_out_of_range(shape, dims, message):
    t = Tensor(np.zeros(shape))
    with pytest.raises(FatalError) as info:
        t.transpose(*dims)
    assert str(info.value) == message
    assert t.shape == list(shape)


def test_transpose_of_three_axes():
    x = np.arange(24.0, dtype=np.float32).reshape(2, 3, 4)
    u = Tensor(x).transpose(0, 2)
    assert (u.shape, u.strides) == ([4, 3, 2], [1, 4, 12])
    assert np.array_equal(u.to_numpy(), x.transpose(2, 1, 0))
    assert np.array_equal((u @ Tensor(np.ones((2, 1), np.float32))).to_numpy(),
                          x.transpose(2, 1, 0) @ np.ones((2, 1), np.float32))


@pytest.mark.parametrize("dtype, one", [("f16", 0x3C00), ("bf16", 0x3F80)])
def test_zeros_and_ones_bit_patterns(dtype, one):
    t = Tensor(np.full((2, 3), -5.0), dtype=dtype).transpose(0, 1)
    for made, bits in ((t.zeros_like(), 0), (t.ones_like(), one)):
        assert (made.shape, made.strides) == ([3, 2], [2, 1])
        assert made.to_numpy().view(np.uint16).tolist() == [[bits] * 2] * 3
