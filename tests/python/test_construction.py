"""Building tensors from Python data and handing their data back to NumPy."""

import subprocess
import sys

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zevra import Tensor

NUMPY_TYPE = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
ACCEPTED = {"float32": "f32", "f32": "f32", "float16": "f16", "f16": "f16",
            "bfloat16": "bf16", "bf16": "bf16", "bool": "bool"}


def same_bits(a, b):
    """Equal dtype, shape and bytes (so NaN payloads and signed zeros count)."""
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and \
        np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


def test_lists_become_f32_by_default():
    t = Tensor([1, 2, 3])
    assert (t.dtype, t.shape, t.strides) == ("f32", [3], [1])
    assert same_bits(t.to_numpy(), np.array([1, 2, 3], dtype=np.float32))


def test_element_type_is_never_inferred():
    t = Tensor(np.array([True, False]))
    assert t.dtype == "f32" and t.to_numpy().tolist() == [1.0, 0.0]
    b = Tensor(np.array([True, False]), dtype="bool")
    assert b.dtype == "bool" and b.to_numpy().tolist() == [True, False]
    assert Tensor(np.arange(3, dtype=np.int64)).dtype == "f32"


def test_zero_dimensional_and_empty_tensors():
    s = Tensor(3.5)
    assert (s.shape, s.ndim) == ([], 0)
    assert same_bits(s.to_numpy(), np.array(3.5, dtype=np.float32))
    e = Tensor(np.zeros((0, 4)))
    assert e.shape == [0, 4]
    assert e.strides == [4, 1]  # data from NumPy is row-major, empty or not
    assert same_bits(e.to_numpy(), np.zeros((0, 4), dtype=np.float32))


def test_non_contiguous_input_is_read_in_row_major_order():
    x = np.arange(6.0).reshape(2, 3).T
    t = Tensor(x)
    assert (t.shape, t.strides) == ([3, 2], [2, 1])
    assert same_bits(t.to_numpy(), x.astype(np.float32))


@pytest.mark.parametrize("name, expected", sorted(ACCEPTED.items()))
def test_every_accepted_name(name, expected):
    t = Tensor([1.0, 0.0], dtype=name)
    assert t.dtype == expected
    assert t.to_numpy().dtype == NUMPY_TYPE[expected]
    assert Tensor([1.0], dtype=t.dtype).dtype == expected  # the property's name is accepted
    assert Tensor([1.0], dtype=type("Name", (str,), {})(name)).dtype == expected


@pytest.mark.parametrize("dtype, expected", [
    (np.float16, "f16"), (np.dtype("float16"), "f16"), (np.float32, "f32"),
    (np.dtype("float32"), "f32"), (bool, "bool"), (np.bool_, "bool"), (np.dtype(bool), "bool"),
    (ml_dtypes.bfloat16, "bf16"), (np.dtype(ml_dtypes.bfloat16), "bf16"), (None, "f32"),
])
def test_element_type_from_type_objects_and_dtypes(dtype, expected):
    assert Tensor([1.0], dtype=dtype).dtype == expected


@pytest.mark.parametrize("dtype, shown", [
    ("Float32", "Float32"), ("float64", "float64"), ("F32", "F32"), (" f32", " f32"),
    ("f32 ", "f32 "), ("", ""), ("int8", "int8"), ("BOOL", "BOOL"), ("bfloat16\0", "bfloat16\0"),
    (float, "float"), (int, "int"), (np.float64, "float64"), (np.dtype("int16"), "int16"),
    ("\udcff", "\udcff"),
])
def test_refused_names(dtype, shown):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], dtype=dtype)
    assert info.value.args == (f"Unsupported or invalid data type: '{shown}'",)


def test_dtype_objects_numpy_cannot_read_raise_numpys_error():
    with pytest.raises(TypeError) as info:
        Tensor([1.0], dtype=object())
    assert "interpret" in str(info.value)


def test_dtype_whose_name_is_not_text():
    named = type("Named", (), {"__name__": 5})()
    with pytest.raises(TypeError):
        Tensor([1.0], dtype=named)


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", type("Dev", (str,), {})("cPu")])
def test_device_names_accepted(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", ["cuda", "cpu:0", " cpu", "cpu ", "", "gpu"])
def test_device_names_refused(device):
    with pytest.raises(ValueError) as info:
        Tensor([1.0], device=device, dtype="not a type")  # the device is checked first
    assert info.value.args == ("The device string is invalid or not supported.",)


@pytest.mark.parametrize("kwargs, param", [
    ({"device": None}, "device"),
    ({"device": b"cpu"}, "device"),
    ({"device": None, "requires_grad": 1}, "device"),  # device converts before requires_grad
    ({"requires_grad": 1}, "requires_grad"),
    ({"requires_grad": None}, "requires_grad"),
    ({"requires_grad": "yes"}, "requires_grad"),
    ({"requires_grad": np.int8(1)}, "requires_grad"),
    ({"requires_grad": np.array(True)}, "requires_grad"),
    ({"requires_grad": 1, "device": "cuda"}, "requires_grad"),  # before the device text
])
def test_parameter_type_errors(kwargs, param):
    with pytest.raises(TypeError) as info:
        Tensor([1.0], **kwargs)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("flag, expected", [
    (True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_requires_grad_flags(flag, expected):
    t = Tensor([1.0], requires_grad=flag)
    assert t.requires_grad is expected
    assert t.grad() is None


@pytest.mark.parametrize("data", [
    "abc", [[1.0, 2.0], [3.0]], {"a": 1}, np.array(["1.5", "abc"]),
    np.array([1.0, "abc"], dtype=object), np.zeros(2, dtype="i4,f4")])
def test_numpys_conversion_errors_propagate_unchanged(data):
    with pytest.raises(Exception) as expected:
        np.array(data, dtype="float32")
    with pytest.raises(type(expected.value)) as info:
        Tensor(data)
    assert str(info.value) == str(expected.value)


def test_copies_in_both_directions():
    x = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    t = Tensor(x)
    x[0] = 100.0
    out = t.to_numpy()
    assert out.tolist() == [1.0, 2.0, 3.0]
    out[1] = 100.0
    again = t.to_numpy()
    assert again.tolist() == [1.0, 2.0, 3.0]
    assert again is not out and not np.shares_memory(again, out)
    assert again.flags.owndata and again.flags.writeable and again.base is None


def tensor_in_layout(x, layout, dtype):
    """A tensor holding x (2-D or 3-D) whose storage has the given layout."""
    if layout == "row-major":
        return Tensor(x, dtype=dtype), x
    if layout == "column-major":  # a transposed row-major storage
        return Tensor(x.T, dtype=dtype).transpose(0, x.ndim - 1), x
    # neither: the two leading axes of a 3-D storage exchanged
    return Tensor(np.swapaxes(x, 0, 1), dtype=dtype).transpose(0, 1), x


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
@pytest.mark.parametrize("layout, c, f", [
    ("row-major", True, False), ("column-major", False, True), ("mixed", True, False)])
@pytest.mark.parametrize("size", [2, 40])  # the larger copies run detached
def test_arrays_handed_out_keep_the_storage_layout(dtype, layout, c, f, size):
    x = (np.arange(3 * 4 * size) % 7 - 3).reshape(3, 4, size).astype(NUMPY_TYPE[dtype])
    t, expected = tensor_in_layout(x, layout, dtype)
    out = t.to_numpy()
    assert same_bits(out, expected)
    assert (out.flags.c_contiguous, out.flags.f_contiguous) == (c, f)
    if layout != "mixed":
        assert list(out.strides) == [s * out.itemsize for s in t.strides]


def test_transposed_2d_tensor_gives_a_fortran_array():
    x = np.arange(6.0, dtype=np.float32).reshape(2, 3)
    out = Tensor(x).transpose(0, 1).to_numpy()
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    assert same_bits(out, x.T)


class Sub(np.ndarray):
    """Not exactly NumPy's array type: construction goes through numpy.array."""


@pytest.mark.parametrize("view", [lambda b: b, lambda b: b[::2], lambda b: b.reshape(2, 4).T,
                                  lambda b: b.view(Sub), lambda b: b.reshape(2, 4).T.view(Sub)])
def test_bool_input_is_normalised_to_zero_and_one(view):
    raw = np.array([0, 1, 2, 255, 0, 7, 1, 128], dtype=np.uint8)
    data = view(raw.view(np.bool_))
    truth = data.view(np.uint8) != 0
    t = Tensor(data, dtype="bool")
    assert same_bits(t.to_numpy(), truth)
    assert same_bits((~t).to_numpy(), ~truth)
    assert same_bits((t == Tensor(np.ones(data.shape), dtype="bool")).to_numpy(), truth)


@pytest.mark.parametrize("ndim", [33, 64])
def test_every_rank_numpy_supports(ndim):
    x = np.arange(2.0 ** 6).reshape((2,) * 6 + (1,) * (ndim - 6))
    rev = x.transpose(tuple(reversed(range(ndim))))  # not C-contiguous: read element by element
    for a in (x, rev):
        t = Tensor(a)
        assert t.ndim == ndim
        assert same_bits(t.to_numpy(), a.astype(np.float32))


def test_ranks_beyond_numpy_raise_numpys_error():
    t = Tensor([1.0]).reshape([1] * 70)
    with pytest.raises(ValueError):
        t.to_numpy()


def test_numpy_scalars_and_nested_data():
    assert same_bits(Tensor(np.float16(1.5)).to_numpy(), np.float32(1.5))
    assert same_bits(Tensor([[1, 2.5], [True, 4]], dtype="f16").to_numpy(),
                     np.array([[1, 2.5], [1, 4]], dtype=np.float16))


float64_arrays = hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=4, max_side=5),
                            elements=st.floats(allow_nan=True, allow_infinity=True, width=64))


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@settings(max_examples=200, deadline=None)
@given(x=float64_arrays, name=st.sampled_from(sorted(ACCEPTED)), transpose=st.booleans(),
       subclass=st.booleans())
def test_conversion_matches_numpy(x, name, transpose, subclass):
    if transpose:
        x = x.T
    if subclass:
        x = x.view(Sub)
    expected = np.array(x, dtype=NUMPY_TYPE[ACCEPTED[name]])
    assert same_bits(Tensor(x, dtype=name).to_numpy(), expected)


NO_BFLOAT16 = r"""
import sys
sys.modules["ml_dtypes"] = None  # no package registers "bfloat16" with NumPy
import numpy as np
import zevra
for name, data in (("bf16", [1.0]), ("bfloat16", [1.0]), ("bf16", np.ones(2))):
    try:
        np.array(data, dtype="bfloat16")
    except Exception as e:
        expected = (type(e), str(e))
    try:
        zevra.Tensor(data, dtype=name)
    except Exception as e:
        assert (type(e), str(e)) == expected, (e, expected)
    else:
        raise AssertionError("built a bf16 tensor without a bfloat16 dtype")
assert zevra.Tensor([1.0], dtype="f16").to_numpy().dtype == np.float16
print("ok")
"""


def test_without_a_registered_bfloat16():
    result = subprocess.run([sys.executable, "-c", NO_BFLOAT16], capture_output=True, text=True,
                            env=None, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
