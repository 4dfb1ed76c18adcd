"""grad, backward, clear_graph, reshape, transpose, zeros_like and ones_like as a user sees them."""

import ml_dtypes
import numpy as np
import pytest

from zevra import FatalError, Tensor


def test_grad_is_none_until_a_pass_reaches_the_tensor():
    assert Tensor([1.0]).grad() is None
    a = Tensor([1.0, 2.0], requires_grad=True)
    assert a.grad() is None
    (a * a).backward()
    g = a.grad()
    assert type(g) is np.ndarray and g.dtype == np.float32
    assert g.tolist() == [2.0, 4.0]


@pytest.mark.parametrize("dtype, numpy_type", [
    ("f32", np.float32), ("f16", np.float16), ("bf16", ml_dtypes.bfloat16)])
def test_grad_has_the_element_type_to_numpy_gives(dtype, numpy_type):
    a = Tensor([[1.0, 2.0]], dtype=dtype, requires_grad=True)
    (a * 3.0).backward()
    g = a.grad()
    assert g.dtype == a.to_numpy().dtype == numpy_type
    assert g.astype(np.float32).tolist() == [[3.0, 3.0]]


def test_grad_is_a_copy():
    a = Tensor([1.0, 2.0], requires_grad=True)
    (a + a).backward()
    g = a.grad()
    g[:] = 0
    assert a.grad().tolist() == [2.0, 2.0]
    assert not np.shares_memory(a.grad(), a.grad())


def test_grad_of_a_transposed_gradient_keeps_its_layout():
    a = Tensor(np.arange(6.0).reshape(2, 3), requires_grad=True)
    (a.transpose(0, 1) * 2.0).backward()
    assert a.grad().tolist() == [[2.0] * 3] * 2


def test_backward_refuses_constants():
    t = Tensor([1.0])
    with pytest.raises(ValueError) as info:
        t.backward()
    assert info.value.args == ("backward() called on tensor that does not require grad",)
    with pytest.raises(ValueError, match="^backward\\(\\) called on tensor that does not"):
        (Tensor([1.0], requires_grad=True) < 0.5).backward()


def test_backward_returns_none():
    a = Tensor([3.0], requires_grad=True)
    assert (a * 2.0).backward() is None


def test_clear_graph_forgets_every_gradient():
    a = Tensor([1.0], requires_grad=True)
    b = Tensor([2.0], requires_grad=True)
    (a * b).backward()
    assert a.grad() is not None and b.grad() is not None
    assert Tensor.clear_graph() is None
    assert a.grad() is None and b.grad() is None
    (a * b).backward()  # the ids are recorded afresh
    assert a.clear_graph() is None
    assert a.grad() is None


def test_transpose_exchanges_shape_and_strides():
    t = Tensor(np.arange(6.0).reshape(2, 3))
    u = t.transpose(0, 1)
    assert (u.shape, u.strides) == ([3, 2], [1, 3])
    assert (t.shape, t.strides) == ([2, 3], [3, 1])  # the receiver is untouched
    assert u.to_numpy().tolist() == [[0.0, 3.0], [1.0, 4.0], [2.0, 5.0]]


def test_transpose_out_of_range_is_fatal():
    with pytest.raises(FatalError, match="^index out of bounds: the len is 2 but the index is 5$"):
        Tensor([[1.0, 2.0]]).transpose(0, 5)


def test_reshape():
    t = Tensor(np.arange(6.0))
    r = t.reshape([3, 2])
    assert (r.shape, r.strides) == ([3, 2], [2, 1])
    assert r.to_numpy().tolist() == [[0.0, 1.0], [2.0, 3.0], [4.0, 5.0]]
    assert Tensor([5.0]).reshape([]).shape == []


@pytest.mark.parametrize("make, shape", [
    (lambda: Tensor(np.arange(6.0)), [4, 2]),
    (lambda: Tensor(np.arange(6.0).reshape(2, 3)).transpose(0, 1), [6]),
])
def test_reshape_errors(make, shape):
    with pytest.raises(ValueError) as info:
        make().reshape(shape)
    assert str(info.value).startswith("Error while reshape: ")


@pytest.mark.parametrize("requires_grad", [False, True])
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16", "bool"])
def test_zeros_like_and_ones_like_are_constants(dtype, requires_grad):
    if dtype == "bool" and requires_grad:
        requires_grad = False
    t = Tensor(np.full((2, 3), 7.0), dtype=dtype, requires_grad=requires_grad).transpose(0, 1)
    for made, fill in ((t.zeros_like(), 0), (t.ones_like(), 1)):
        assert made.requires_grad is False
        assert (made.dtype, made.shape) == (dtype, [3, 2])
        assert made.to_numpy().astype(np.float32).tolist() == [[float(fill)] * 2] * 3


def test_methods_never_return_the_receiver():
    t = Tensor([[1.0]], requires_grad=True)
    results = [t.reshape([1, 1]), t.transpose(0, 0), t.transpose(1, 1), t.zeros_like(),
               t.ones_like()]
    assert all(r is not t for r in results)
    assert results[0].requires_grad and results[1].requires_grad


def test_large_shape_operations():
    x = np.arange(1 << 16, dtype=np.float32).reshape(256, 256)
    t = Tensor(x, requires_grad=True)
    u = t.transpose(0, 1)
    assert np.array_equal(u.to_numpy(), x.T)
    assert np.array_equal(t.reshape([1 << 16]).to_numpy(), x.ravel())
    (u * 2.0).backward()
    assert np.array_equal(t.grad(), np.full((256, 256), 2.0, dtype=np.float32))
