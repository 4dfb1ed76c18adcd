"""Element-wise operators against NumPy (float32, float16) and ml_dtypes (bfloat16), bit for bit.

Operands come in every layout a user can make (row-major, or axes permuted through
transpose), broadcast against each other, with zero-dimensional and empty shapes included.
"""

import operator

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zevra import Tensor

NUMPY_TYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
ARITHMETIC = [operator.add, operator.sub, operator.mul, operator.truediv]
COMPARISONS = [operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge]
LOGICAL = [operator.and_, operator.or_, operator.xor]

SETTINGS = settings(max_examples=60, deadline=None)


def bits(a):
    a = np.asarray(a)
    return a.view({1: np.uint8, 2: np.uint16, 4: np.uint32}[a.dtype.itemsize])


def assert_identical(got, expected):
    """Equal bit patterns, except that any NaN matches any NaN."""
    expected = np.asarray(expected)
    assert got.shape == expected.shape
    assert got.dtype == expected.dtype
    if expected.dtype == np.bool_:
        np.testing.assert_array_equal(got, expected)
        return
    nan = np.isnan(expected.astype(np.float32))
    np.testing.assert_array_equal(np.isnan(got.astype(np.float32)), nan)
    np.testing.assert_array_equal(bits(got)[~nan], bits(expected)[~nan])


@st.composite
def values(draw, dtype, shape):
    """Arrays of `dtype`: any 16-bit pattern for the 16-bit types, any float32 for F32."""
    if dtype == "bool":
        return draw(hnp.arrays(np.bool_, shape))
    if dtype == "f32":
        return draw(hnp.arrays(np.float32, shape, elements=st.floats(width=32)))
    return draw(hnp.arrays(np.uint16, shape)).view(NUMPY_TYPES[dtype])


@st.composite
def laid_out(draw, array, dtype):
    """A tensor equal to `array`, stored with its axes in a random memory order."""
    perm = draw(st.permutations(range(array.ndim)))
    t = Tensor(np.array(np.transpose(array, perm), order="C"), dtype=dtype)
    where = list(perm)  # where[i]: the axis of `array` that axis i of t holds
    for i in range(array.ndim):
        j = where.index(i)
        if j != i:
            t = t.transpose(i, j)
            where[i], where[j] = where[j], where[i]
    return t


@st.composite
def broadcast_pair(draw, dtype):
    """Two arrays whose shapes broadcast together, with tensors of them in random layouts."""
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=5, min_side=0, max_side=4))

    def operand_shape():
        kept = draw(st.integers(0, len(shape)))
        return tuple(1 if draw(st.integers(0, 3)) == 0 else d for d in shape[len(shape) - kept :])

    a = draw(values(dtype, operand_shape()))
    b = draw(values(dtype, operand_shape()))
    return a, b, draw(laid_out(a, dtype)), draw(laid_out(b, dtype))


@pytest.mark.parametrize("op", ARITHMETIC, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", NUMPY_TYPES)
@SETTINGS
@given(data=st.data())
def test_arithmetic_between_tensors(dtype, op, data):
    a, b, ta, tb = data.draw(broadcast_pair(dtype))
    with np.errstate(all="ignore"):
        expected = op(a, b)
    assert_identical(op(ta, tb).to_numpy(), expected)


@pytest.mark.parametrize("op", COMPARISONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [*NUMPY_TYPES, "bool"])
@SETTINGS
@given(data=st.data())
def test_comparison_between_tensors(dtype, op, data):
    a, b, ta, tb = data.draw(broadcast_pair(dtype))
    with np.errstate(all="ignore"):
        expected = op(a, b)
    assert_identical(op(ta, tb).to_numpy(), expected)


def scalar_operand(s, dtype):
    """The scalar as the engine sees it: rounded to binary32, then to the element type."""
    with np.errstate(all="ignore"):
        return np.float32(s).astype(NUMPY_TYPES[dtype])


@pytest.mark.parametrize("op", ARITHMETIC + COMPARISONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", NUMPY_TYPES)
@SETTINGS
@given(data=st.data(), s=st.floats())
def test_operations_with_a_scalar(dtype, op, data, s):
    a, _, ta, _ = data.draw(broadcast_pair(dtype))
    with np.errstate(all="ignore"):
        if op is operator.truediv:
            # Division by a scalar multiplies by the binary32 reciprocal.
            expected = a * scalar_operand(np.float32(1) / np.float32(s), dtype)
        else:
            expected = op(a, scalar_operand(s, dtype))
    assert_identical(op(ta, s).to_numpy(), expected)


@pytest.mark.parametrize("op", LOGICAL, ids=lambda f: f.__name__)
@SETTINGS
@given(data=st.data())
def test_logical_operations(op, data):
    a, b, ta, tb = data.draw(broadcast_pair("bool"))
    assert_identical(op(ta, tb).to_numpy(), op(a, b))
    assert_identical((~ta).to_numpy(), ~a)


def transposed(shape, dtype="f32"):
    """A tensor of `shape` whose two axes are stored column-major."""
    base = np.arange(np.prod(shape), dtype=np.float32).reshape(shape[::-1])
    return Tensor(base, dtype=dtype).transpose(0, 1)


def row_major(shape, dtype="f32"):
    return Tensor(np.arange(np.prod(shape), dtype=np.float32).reshape(shape), dtype=dtype)


@pytest.mark.parametrize(
    "left, right, strides",
    [
        (row_major((2, 3)), row_major((3,)), [3, 1]),
        (transposed((2, 3)), transposed((2, 3)), [1, 2]),
        (row_major((2, 3)), transposed((2, 3)), [3, 1]),
        (transposed((2, 3)), row_major((1,)), [1, 2]),
        (row_major((0, 3)), row_major((3,)), [0, 0]),
        (transposed((2, 3), "bool"), transposed((2, 3), "bool"), [1, 2]),
    ],
)
def test_two_operand_result_strides(left, right, strides):
    op = operator.and_ if left.dtype == "bool" else operator.add
    assert op(left, right).strides == strides
    assert (left == right).strides == strides


def test_one_operand_results_keep_a_dense_layout():
    t = transposed((2, 3))
    assert t.strides == [1, 2]
    for result in (t + 1.0, t * 2.0, t / 2.0, t < 1.0, ~(t < 1.0)):
        assert result.strides == [1, 2]
    permuted = Tensor(np.zeros((2, 3, 4), dtype=np.float32)).transpose(0, 2)
    assert (permuted - 1.0).strides == permuted.strides == [1, 4, 12]


def test_broadcast_failure_from_python():
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[2, 3\] and \[4\]$"):
        row_major((2, 3)) + row_major((4,))
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[3\] and \[4\]$"):
        row_major((3,), "bool") & row_major((4,), "bool")
