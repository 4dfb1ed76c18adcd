"""The package as a user gets it: a source distribution, a wheel built from it, and that wheel
installed into a new virtual environment that sees nothing of this checkout.

Compiles the project from scratch (a few minutes); ZEVRA_SKIP_PACKAGING=1 skips it.
"""

import os
import pathlib
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = [
    pytest.mark.skipif(os.environ.get("ZEVRA_SKIP_PACKAGING") == "1",
                       reason="ZEVRA_SKIP_PACKAGING=1"),
    # Under a preloaded sanitizer runtime the compiler itself would run instrumented.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="the sanitizer run does not build packages"),
]


def run(*args: str | pathlib.Path, cwd: pathlib.Path, env: dict[str, str]) -> str:
    done = subprocess.run([*map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=1800)
    assert done.returncode == 0, f"{args}:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return done.stdout


def clean_environment() -> dict[str, str]:
    """The environment without anything that points Python at this checkout's build."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    # The build tools of the development environment (cmake, ninja) come first on the path.
    env["PATH"] = os.pathsep.join([str(pathlib.Path(sys.executable).parent), env.get("PATH", "")])
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    return env


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    """(sdist, wheel): `python -m build` makes the sdist, then the wheel from the unpacked sdist,
    so the sdist is proven to hold everything the build needs. The build tools are the ones of
    the development environment; no network is needed."""
    out = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT, cwd=out,
        env=clean_environment())
    (sdist,), (wheel,) = list(out.glob("*.tar.gz")), list(out.glob("*.whl"))
    return sdist, wheel


def test_distributions_hold_the_package(dists):
    sdist, wheel = dists
    with tarfile.open(sdist) as tar:
        in_sdist = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/module.cpp",
                   "python/zevra/__init__.py", "python/zevra/zevra_core.pyi",
                   "python/zevra/py.typed"):
        assert needed in in_sdist
    assert not any(name.startswith(("bench/", ".ci/", "build")) for name in in_sdist)

    with zipfile.ZipFile(wheel) as whl:
        in_wheel = set(whl.namelist())
        metadata = whl.read("zevra-0.1.0.dist-info/METADATA").decode()
    for needed in ("zevra/__init__.py", "zevra/__init__.pyi", "zevra/zevra_core.pyi",
                   "zevra/py.typed", "zevra-0.1.0.dist-info/licenses/LICENSE"):
        assert needed in in_wheel
    assert any(name.startswith("zevra/zevra_core.") and name.endswith(".so") for name in in_wheel)
    for line in ("License-Expression: MIT", "Requires-Python: >=3.11",
                 "Classifier: Programming Language :: Python :: Free Threading :: 2 - Beta",
                 'Requires-Dist: ml_dtypes>=0.4; extra == "bf16"',
                 'Requires-Dist: scikit-learn; extra == "demo"'):
        assert line in metadata.splitlines()


def test_wheel_installs_and_runs_the_quickstart(dists, tmp_path):
    _, wheel = dists
    env = clean_environment()
    # A new environment from the base interpreter: no system or development site-packages.
    run(sys.executable, "-m", "venv", tmp_path / "venv", cwd=tmp_path, env=env)
    python = tmp_path / "venv" / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", f"{wheel}[bf16]", cwd=tmp_path, env=env)
    where = run(python, "-c", "import zevra; print(zevra.zevra_core.__file__)", cwd=tmp_path,
                env=env)
    assert pathlib.Path(where.strip()).is_relative_to(tmp_path / "venv")
    out = run(python, ROOT / "examples" / "quickstart.py", cwd=tmp_path, env=env)
    assert "dy/dw = [[8.0], [12.0]]" in out
    assert out.rstrip().endswith("zevra zevra ready")
