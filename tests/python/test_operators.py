"""Operators: which operands each accepts, how numbers become scalars, what is declined."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zevra import Tensor


def values(t):
    return t.to_numpy()


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


X = np.array([[-1.5, 0.0, 2.0], [3.25, -0.0, 7.0]], dtype=np.float32)


def test_numbers_on_either_side_of_add_and_multiply():
    t = Tensor(X)
    assert same(values(t + 1), values(1 + t))
    assert same(values(t + 1), X + np.float32(1))
    assert same(values(t * 2), values(2 * t))
    assert same(values(t * 2), X * np.float32(2))
    assert same(values(t - 1.0), X - np.float32(1))
    assert same(values(t / 4), X * np.float32(0.25))


@pytest.mark.parametrize("expr, message", [
    (lambda t: 1.0 - t, "unsupported operand type(s) for -: 'float' and 'zevra.Tensor'"),
    (lambda t: 1.0 / t, "unsupported operand type(s) for /: 'float' and 'zevra.Tensor'"),
    (lambda t: t @ 2.0, "unsupported operand type(s) for @: 'zevra.Tensor' and 'float'"),
    (lambda t: 2.0 @ t, "unsupported operand type(s) for @: 'float' and 'zevra.Tensor'"),
    (lambda t: t & True, "unsupported operand type(s) for &: 'zevra.Tensor' and 'bool'"),
    (lambda t: True & t, "unsupported operand type(s) for &: 'bool' and 'zevra.Tensor'"),
    (lambda t: t | 1, "unsupported operand type(s) for |: 'zevra.Tensor' and 'int'"),
    (lambda t: t ^ 1.0, "unsupported operand type(s) for ^: 'zevra.Tensor' and 'float'"),
    (lambda t: t + "a", 'unsupported operand type(s) for +: \'zevra.Tensor\' and \'str\''),
    (lambda t: t * None, "unsupported operand type(s) for *: 'zevra.Tensor' and 'NoneType'"),
    (lambda t: t + 10**400, "unsupported operand type(s) for +: 'zevra.Tensor' and 'int'"),
    (lambda t: t < "a", "'<' not supported between instances of 'zevra.Tensor' and 'str'"),
    (lambda t: "a" >= t, "'>=' not supported between instances of 'str' and 'zevra.Tensor'"),
    (lambda t: -t, "bad operand type for unary -: 'zevra.Tensor'"),
    (lambda t: +t, "bad operand type for unary +: 'zevra.Tensor'"),
    (lambda t: abs(t), "bad operand type for abs(): 'zevra.Tensor'"),
    (lambda t: t // 2, "unsupported operand type(s) for //: 'zevra.Tensor' and 'int'"),
    (lambda t: t % 2, "unsupported operand type(s) for %: 'zevra.Tensor' and 'int'"),
    (lambda t: t ** 2, "unsupported operand type(s) for ** or pow(): 'zevra.Tensor' and 'int'"),
    (lambda t: len(t), "object of type 'zevra.Tensor' has no len()"),
    (lambda t: t[0], "'zevra.Tensor' object is not subscriptable"),
    (lambda t: iter(t), "'zevra.Tensor' object is not iterable"),
])
def test_declined_operands(expr, message):
    with pytest.raises(TypeError) as info:
        expr(Tensor([1.0, 2.0]))
    assert str(info.value) == message


def test_declining_hides_the_conversion_error():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("not shown")

    t = Tensor([1.0])
    for expr in (lambda: t + Bad(), lambda: Bad() * t, lambda: t < Bad()):
        with pytest.raises(TypeError, match="not supported|unsupported operand"):
            expr()
    assert (t == Bad()) is False


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize("number, scalar", [
    (True, 1.0), (False, 0.0), (3, 3.0), (0.1, np.float32(0.1)), (1e39, np.inf),
    (-1e39, -np.inf), (Floaty(), 2.5), (Indexy(), 3.0), (np.float64(0.5), 0.5),
    (2**24 + 1, np.float32(2**24)),
])
def test_scalar_operand_is_rounded_to_single_precision(number, scalar):
    t = Tensor(X)
    expected = X + np.float32(scalar)
    assert same(values(t + number), expected)
    assert same(values(number + t), expected)


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, width=64))
def test_scalars_round_to_nearest_single(x):
    with np.errstate(over="ignore"):
        s = np.float32(x)
    assert same(values(Tensor([1.0]) * x), np.array([1.0], dtype=np.float32) * s)
    assert same(values(Tensor([0.5]) > x), np.array([np.float32(0.5) > s]))


def test_nan_scalar():
    t = Tensor([1.0, np.nan])
    assert np.isnan(values(t + float("nan"))).all()
    assert values(t == float("nan")).tolist() == [False, False]
    assert values(t != float("nan")).tolist() == [True, True]


def test_in_place_forms_rebind_to_a_new_object():
    t = Tensor([1.0])
    first = t
    t += 1.0
    assert t is not first
    assert values(first).tolist() == [1.0] and values(t).tolist() == [2.0]


def test_every_operator_returns_a_new_object():
    t = Tensor([1.0, 2.0])
    b = Tensor([True, False], dtype="bool")
    results = [t + 0, t * 1, t - 0, t / 1, t + t, t == t, t < 1.5, b & b, b | b, b ^ b, ~b]
    assert all(r is not t and r is not b for r in results)
    assert len({id(r) for r in results}) == len(results)


@pytest.mark.parametrize("op, reference", [
    ("<", np.less), ("<=", np.less_equal), ("==", np.equal), ("!=", np.not_equal),
    (">", np.greater), (">=", np.greater_equal)])
def test_comparisons(op, reference):
    a = np.array([[1.0, np.nan, -0.0, 3.0]], dtype=np.float32)
    b = np.array([[2.0], [np.nan], [0.0], [3.0]], dtype=np.float32)
    compare = eval(f"lambda x, y: x {op} y")
    for x, y in ((a, b), (b, a)):
        result = compare(Tensor(x), Tensor(y))
        assert result.dtype == "bool" and not result.requires_grad
        assert same(values(result), reference(x, y))
        assert same(values(compare(Tensor(x), 0.0)), reference(x, np.float32(0.0)))


def test_number_on_the_left_of_a_comparison_mirrors_it():
    t = Tensor([0.0, 0.5, 1.0])
    assert same(values(0.5 < t), values(t > 0.5))
    assert same(values(0.5 >= t), values(t <= 0.5))
    assert same(values(0.5 == t), values(t == 0.5))
    assert same(values(0.5 != t), values(t != 0.5))
    assert same(values(t.__rlt__(0.5)), values(t > 0.5))
    assert same(values(t.__rgt__(0.5)), values(t < 0.5))
    assert same(values(t.__req__(0.5)), values(t == 0.5))


def test_equality_with_foreign_objects_falls_back_to_identity():
    t = Tensor([1.0])
    assert (t == "a") is False and (t != "a") is True
    assert (t == None) is False  # noqa: E711


def test_not_equal_is_a_constant_negation_of_equal():
    a = Tensor([1.0, 2.0, np.nan], requires_grad=True)
    b = Tensor([1.0, 3.0, np.nan], requires_grad=True)
    ne = a != b
    assert ne.dtype == "bool" and ne.requires_grad is False
    assert values(ne).tolist() == [False, True, True]
    flags = Tensor([True, False], dtype="bool")
    assert values(flags != Tensor([True, True], dtype="bool")).tolist() == [False, True]


@pytest.mark.parametrize("expr, kind, message", [
    (lambda: Tensor([1.0], dtype="f16") != Tensor([1.0]), RuntimeError,
     "Tensor device or dtype mismatch for element-wise != operation."),
    (lambda: Tensor([1.0], dtype="f16") == Tensor([1.0]), RuntimeError,
     "Tensor device or dtype mismatch for element-wise == operation."),
    (lambda: Tensor([True], dtype="bool") != 2.0, RuntimeError,
     "Tensor device or dtype mismatch for scalar != operation."),
    (lambda: Tensor([True], dtype="bool") < 2.0, RuntimeError,
     "Tensor device or dtype mismatch for scalar < operation."),
    (lambda: Tensor(np.zeros((2, 3))) != Tensor(np.zeros(4)), RuntimeError,
     "Shape mismatch: cannot broadcast [2, 3] and [4]"),
    (lambda: Tensor(np.zeros((2, 3))) + Tensor(np.zeros(4)), RuntimeError,
     "Shape mismatch: cannot broadcast [2, 3] and [4]"),
    (lambda: Tensor([1.0]) + Tensor([True], dtype="bool"), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F32 and Bool."),
    (lambda: Tensor([True], dtype="bool") * Tensor([True], dtype="bool"), TypeError,
     "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
    (lambda: Tensor([True], dtype="bool") / 2, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda: 2 + Tensor([True], dtype="bool"), ValueError,
     "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda: Tensor([1.0]) & Tensor([1.0]), RuntimeError,
     "Logical operations are only supported for Bool data types."),
    (lambda: ~Tensor([1.0]), RuntimeError, "Logical NOT is only supported for Bool data type."),
    (lambda: Tensor(np.zeros(3)) @ Tensor(np.zeros((3, 2))), RuntimeError, None),
    # large enough to run with the thread state detached
    (lambda: Tensor(np.zeros((300, 300))) + Tensor(np.zeros(299)), RuntimeError,
     "Shape mismatch: cannot broadcast [300, 300] and [299]"),
])
def test_errors_of_operations_reach_python_unchanged(expr, kind, message):
    with pytest.raises(kind) as info:
        expr()
    assert type(info.value) is kind
    if message is not None:
        assert info.value.args == (message,)


def test_logical_operators():
    a = np.array([True, True, False, False])
    b = np.array([True, False, True, False])
    ta, tb = Tensor(a, dtype="bool"), Tensor(b, dtype="bool")
    assert same(values(ta & tb), a & b)
    assert same(values(ta | tb), a | b)
    assert same(values(ta ^ tb), a ^ b)
    assert same(values(~ta), ~a)


def test_matmul_operator():
    a = np.arange(6, dtype=np.float32).reshape(2, 3)
    b = np.arange(12, dtype=np.float32).reshape(3, 4)
    assert same(values(Tensor(a) @ Tensor(b)), a @ b)


def test_large_operands_give_the_same_results():
    rng = np.random.default_rng(1)
    a = rng.random((256, 256), dtype=np.float32)
    b = rng.random(256, dtype=np.float32)
    ta, tb = Tensor(a), Tensor(b)
    assert same(values(ta + tb), a + b)
    assert same(values(ta * 3.0), a * np.float32(3.0))
    assert same(values(ta < tb), a < b)
    assert same(values(~(ta < 0.5)), ~(a < 0.5))
