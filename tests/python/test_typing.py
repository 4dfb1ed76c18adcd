"""The package's type information: the stubs match the built module, a type checker sees what
the runtime accepts and refuses, and the examples type-check as a user's program."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(*args: str | pathlib.Path, cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=600)


def test_stubs_match_the_built_module(tmp_path):
    # Every class, method, property and operator slot of the module against the stubs, names,
    # parameter kinds and defaults included; the module imported is the one the tests use.
    done = run("mypy.stubtest", "zevra", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


# (line of a user's program, what the type checker says about it)
USES = [
    ("reveal_type(Tensor(np.zeros(3), dtype=np.float16, requires_grad=np.True_))", "Tensor"),
    ("reveal_type(t.shape)", "list[int]"),
    ("reveal_type(t.strides)", "list[int]"),
    ("reveal_type(t.dtype)", "str"),
    ("reveal_type(t.to_numpy())", "numpy.ndarray["),
    ("reveal_type(t.grad())", "numpy.ndarray[tuple[Any, ...], numpy.dtype[Any]] | None"),
    ("reveal_type(t + 1)", "Tensor"),
    ("reveal_type(1 + t)", "Tensor"),
    ("reveal_type(2.0 * t)", "Tensor"),
    ("reveal_type(t - np.float32(1))", "Tensor"),
    ("reveal_type(t / t)", "Tensor"),
    ("reveal_type(t @ t)", "Tensor"),
    ("reveal_type(~(t > 0.5) ^ (t <= t))", "Tensor"),
    ("reveal_type(0.5 < t)", "Tensor"),
    ("reveal_type(t == 1.0)", "Tensor"),
    ("reveal_type(t != t)", "Tensor"),
    ("reveal_type(t == 'a')", "bool"),
    ("reveal_type(t.__rlt__(0.5))", "Tensor"),
    ("reveal_type(t.reshape([3]).transpose(0, 0))", "Tensor"),
    ("reveal_type(Tensor.clear_graph)", "def ()"),
    ("1.0 - t", 'Unsupported operand types for - ("float" and "Tensor")'),
    ("1.0 / t", 'Unsupported operand types for / ("float" and "Tensor")'),
    ("t @ 2.0", 'Unsupported operand types for @ ("Tensor" and "float")'),
    ("t & True", 'Unsupported operand types for & ("Tensor" and "bool")'),
    ("True | t", 'No overload variant of "__or__" of "bool" matches argument type "Tensor"'),
    ("t + 'a'", 'Unsupported operand types for + ("Tensor" and "str")'),
    ("t < 'a'", 'Unsupported operand types for < ("Tensor" and "str")'),
    ("-t", 'Unsupported operand type for unary - ("Tensor")'),
    ("t.grad().sum()", 'Item "None" of'),
    ("t.shape = [1]", 'Property "shape" defined in "Tensor" is read-only'),
    ("t.reshape(3)", 'incompatible type "int"; expected "Sequence[SupportsIndex]"'),
    ("t.transpose(0)", 'Missing positional argument "dim1"'),
    ("class Sub(Tensor): pass", 'Cannot inherit from final class "Tensor"'),
    ("caught: Exception = zevra.FatalError('x')", 'has type "FatalError", variable has type "Exception"'),
]


def test_type_checker_sees_the_runtime_surface(tmp_path):
    lines = ["import numpy as np", "import zevra", "from zevra import Tensor", "t = Tensor([1.0])"]
    first = len(lines) + 1
    lines += [code for code, _ in USES]
    (tmp_path / "uses.py").write_text("\n".join(lines) + "\n")
    done = run("mypy", "--strict", "--no-error-summary", "--cache-dir", tmp_path / "cache",
               "uses.py", cwd=tmp_path)
    said: dict[int, str] = {}
    for line in done.stdout.splitlines():
        _, number, message = line.split(":", 2)
        said[int(number)] = said.get(int(number), "") + message
    for i, (code, expected) in enumerate(USES):
        assert expected in said.get(first + i, ""), (code, said.get(first + i), done.stdout)
    assert len(said) == len(USES), done.stdout  # nothing else is reported


def test_examples_type_check(tmp_path):
    # The project's configuration: the examples, strictly, as a user's program.
    done = run("mypy", "--cache-dir", tmp_path / "cache", cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "no issues found in 2 source files" in done.stdout
