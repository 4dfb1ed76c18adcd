"""The module, the class, its properties, argument binding and how failures are raised."""

import ctypes
import importlib.util
import os
import threading
import types
import weakref

import numpy as np
import pytest

import zevra
from zevra import Tensor, zevra_core

METHODS = ["grad", "__req__", "__rlt__", "__rgt__", "to_numpy", "zeros_like", "ones_like",
           "reshape", "transpose", "backward", "clear_graph"]
PROPERTIES = ["shape", "ndim", "strides", "dtype", "device", "requires_grad"]


def test_module_exports_exactly_the_class():
    assert zevra_core.__all__ == ["Tensor"]
    assert zevra_core.Tensor is Tensor
    assert zevra_core.__doc__ == ""
    assert Tensor.__module__ == "zevra"
    assert Tensor.__qualname__ == "Tensor"
    assert Tensor.__bases__ == (object,)


def test_exec_step_reuses_the_class_on_a_second_module_object():
    spec = zevra_core.__spec__
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again.Tensor is Tensor
    assert again.__all__ == ["Tensor"]


def test_class_docstring_and_signature():
    assert Tensor.__doc__ == ""
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'


def test_method_table_order_and_signatures():
    own = [name for name, value in vars(Tensor).items()
           if isinstance(value, (types.MethodDescriptorType, staticmethod))]
    assert own == METHODS
    for name in METHODS:
        method = getattr(Tensor, name)
        args = "" if name == "clear_graph" else "$self" + {
            "__req__": ", other", "__rlt__": ", other", "__rgt__": ", other",
            "reshape": ", shape", "transpose": ", dim0, dim1"}.get(name, "")
        assert method.__text_signature__ == f"({args})"
        assert not method.__doc__
    assert isinstance(vars(Tensor)["clear_graph"], staticmethod)


def test_properties_are_read_only_and_undocumented():
    t = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    props = [name for name, value in vars(Tensor).items()
             if isinstance(value, types.GetSetDescriptorType)]
    assert props == PROPERTIES
    for name in PROPERTIES:
        assert vars(Tensor)[name].__doc__ is None
        with pytest.raises(AttributeError):
            setattr(t, name, getattr(t, name))
        with pytest.raises(AttributeError):
            delattr(t, name)


def test_property_values():
    t = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], requires_grad=True)
    assert (t.shape, t.strides, t.ndim, t.dtype, t.device, t.requires_grad) == \
        ([2, 3], [3, 1], 2, "f32", "cpu", True)
    assert type(t.shape) is list and type(t.strides) is list and type(t.requires_grad) is bool
    assert t.shape is not t.shape  # a new list every time
    s = Tensor(2.0)
    assert (s.shape, s.strides, s.ndim) == ([], [], 0)
    e = Tensor(np.zeros((0, 4)))
    assert e.shape == [0, 4] and len(e.strides) == 2


def test_instances_are_closed_shells():
    t = Tensor([1.0])
    with pytest.raises(TypeError):
        class Sub(Tensor):
            pass
    with pytest.raises(AttributeError):
        t.foo = 1
    assert not hasattr(t, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(t)
    with pytest.raises(TypeError, match="unhashable type: 'zevra.Tensor'"):
        hash(t)
    assert Tensor.__hash__ is None
    assert repr(t).startswith("<zevra.Tensor object at 0x")
    assert bool(Tensor([0.0])) is True


@pytest.mark.parametrize("call, message", [
    (lambda t: t.transpose(0), "Tensor.transpose() missing 1 required positional argument: 'dim1'"),
    (lambda t: t.transpose(), "Tensor.transpose() missing 2 required positional arguments: 'dim0' and 'dim1'"),
    (lambda t: t.transpose(dim1=0), "Tensor.transpose() missing 1 required positional argument: 'dim0'"),
    (lambda t: t.transpose(0, 1, 2), "Tensor.transpose() takes 3 positional arguments but 4 were given"),
    (lambda t: t.transpose(0, dim0=1), "Tensor.transpose() got multiple values for argument 'dim0'"),
    (lambda t: t.transpose(0, 1, dim2=1), "Tensor.transpose() got an unexpected keyword argument 'dim2'"),
    (lambda t: t.grad(1), "Tensor.grad() takes 1 positional argument but 2 were given"),
    (lambda t: t.to_numpy(1, 2), "Tensor.to_numpy() takes 1 positional argument but 3 were given"),
    (lambda t: t.backward(x=1), "Tensor.backward() got an unexpected keyword argument 'x'"),
    (lambda t: t.reshape(), "Tensor.reshape() missing 1 required positional argument: 'shape'"),
    (lambda t: t.reshape([1], [1]), "Tensor.reshape() takes 2 positional arguments but 3 were given"),
    (lambda t: t.__req__(), "Tensor.__req__() missing 1 required positional argument: 'other'"),
    (lambda t: t.__rlt__(1, other=1), "Tensor.__rlt__() got multiple values for argument 'other'"),
    (lambda t: Tensor.clear_graph(1), "Tensor.clear_graph() takes 0 positional arguments but 1 was given"),
    (lambda t: t.clear_graph(self=t), "Tensor.clear_graph() got an unexpected keyword argument 'self'"),
    (lambda t: Tensor(), "Tensor() missing 1 required positional argument: 'data'"),
    (lambda t: Tensor(1, None, "cpu", False, 5), "Tensor() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda t: Tensor(1, data=1), "Tensor() got multiple values for argument 'data'"),
    (lambda t: Tensor(1, shape=[1]), "Tensor() got an unexpected keyword argument 'shape'"),
])
def test_argument_binding_uses_pythons_wording(call, message):
    with pytest.raises(TypeError) as info:
        call(Tensor([[1.0, 2.0]]))
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_every_parameter_binds_by_keyword():
    t = Tensor(data=[[1.0, 2.0, 3.0]], dtype="f16", device="cpu", requires_grad=False)
    assert t.transpose(dim1=0, dim0=1).shape == [3, 1]
    assert t.reshape(shape=[3]).shape == [3]
    assert t.__rgt__(other=2.0).to_numpy().tolist() == [[True, False, False]]


@pytest.mark.parametrize("call, kind, param", [
    (lambda t: t.reshape([2, -1]), OverflowError, "shape"),
    (lambda t: t.reshape([2.0, 1]), TypeError, "shape"),
    (lambda t: t.reshape("21"), TypeError, "shape"),
    (lambda t: t.reshape(2), TypeError, "shape"),
    (lambda t: t.reshape({2: 1}), TypeError, "shape"),
    (lambda t: t.reshape(x for x in (2, 1)), TypeError, "shape"),
    (lambda t: t.reshape([2**64]), OverflowError, "shape"),
    (lambda t: t.transpose(-1, 0), OverflowError, "dim0"),
    (lambda t: t.transpose(0, 1.0), TypeError, "dim1"),
    (lambda t: t.transpose("0", 1), TypeError, "dim0"),
    (lambda t: t.__req__("a"), TypeError, "other"),
    (lambda t: t.__rlt__(None), TypeError, "other"),
    (lambda t: t.__rgt__(10**400), OverflowError, "other"),
])
def test_conversion_errors_carry_the_parameter_note(call, kind, param):
    with pytest.raises(kind) as info:
        call(Tensor([[1.0], [2.0]]))
    assert type(info.value) is kind
    assert info.value.__notes__ == [f"while processing '{param}'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("shape", [[3, 2], (3, 2), range(3, 1, -1), np.array([3, 2]),
                                   [Index(3), np.int64(2)], b"\x03\x02"])
def test_reshape_accepts_any_sequence_of_integers(shape):
    assert Tensor(np.arange(6.0)).reshape(shape).shape == [3, 2]


def test_transpose_accepts_index_objects():
    assert Tensor(np.zeros((2, 3))).transpose(Index(1), np.uint8(0)).shape == [3, 2]


def test_fatal_error_class():
    fatal = zevra.FatalError
    assert zevra_core.FatalError is fatal and "FatalError" not in zevra_core.__all__
    assert fatal.__bases__ == (BaseException,)
    assert not issubclass(fatal, Exception)
    assert (fatal.__module__, fatal.__name__) == ("zevra", "FatalError")


def test_fatal_error_is_not_caught_as_exception_and_leaves_module_usable():
    t = Tensor([[1.0, 2.0]])
    caught = None
    try:
        try:
            t.transpose(0, 5)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("a fatal error was caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert type(caught) is zevra.FatalError
    assert str(caught) == "index out of bounds: the len is 2 but the index is 5"
    assert caught.args == ("index out of bounds: the len is 2 but the index is 5",)
    assert t.transpose(0, 1).shape == [2, 1]
    assert (t + 1).to_numpy().tolist() == [[2.0, 3.0]]


def test_comparison_code_outside_pythons_six_is_fatal():
    compare = ctypes.pythonapi.PyObject_RichCompare
    compare.restype = ctypes.py_object
    compare.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
    t = Tensor([1.0])
    with pytest.raises(zevra.FatalError, match="^invalid compareop$"):
        compare(t, 1.0, 6)
    assert compare(t, 1.0, 2).to_numpy().tolist() == [True]  # Py_EQ


# AddressSanitizer aborts on an impossible allocation unless told to fail it instead.
UNDER_ASAN_THAT_ABORTS = "libasan" in os.environ.get("LD_PRELOAD", "") and \
    "allocator_may_return_null=1" not in os.environ.get("ASAN_OPTIONS", "")


@pytest.mark.skipif(UNDER_ASAN_THAT_ABORTS, reason="needs ASAN_OPTIONS=allocator_may_return_null=1")
@pytest.mark.parametrize("op", [lambda a, b: a + b, lambda a, b: a @ b, lambda a, b: a < b])
@pytest.mark.parametrize("requires_grad", [False, True])
def test_running_out_of_memory_raises_memory_error(op, requires_grad):
    # The result would need 2**48 bytes: more than any address space offers.
    a = Tensor(np.ones((1 << 23, 1), dtype=np.float32), requires_grad=requires_grad)
    b = Tensor(np.ones((1, 1 << 23), dtype=np.float32))
    with pytest.raises(MemoryError):
        op(a, b)
    assert (Tensor([1.0]) + 1).to_numpy().tolist() == [2.0]


def test_errors_are_raised_with_the_message_as_only_argument():
    with pytest.raises(ValueError) as info:
        Tensor([1.0]) + Tensor([True], dtype="bool")
    message = "Tensor DType mismatch during binary execution. Cannot operate between F32 and Bool."
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert not getattr(info.value, "__notes__", None)


def test_threads_use_their_own_tapes_concurrently():
    errors = []

    def work(seed):
        try:
            rng = np.random.default_rng(seed)
            for _ in range(20):
                x = rng.random((8, 8), dtype=np.float32)
                a = Tensor(x, requires_grad=True)
                y = (a * a + 1.0) @ a
                y.backward()
                assert a.grad().shape == (8, 8)
                big = Tensor(rng.random(1 << 16, dtype=np.float32))  # runs detached
                np.testing.assert_array_equal((big * 2.0).to_numpy(), big.to_numpy() * 2)
                Tensor.clear_graph()
                assert a.grad() is None
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
