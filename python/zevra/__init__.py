"""zevra: tensors with reverse-mode automatic differentiation on the CPU."""

try:  # registers the "bfloat16" dtype with NumPy when the optional package is installed
    import ml_dtypes as _ml_dtypes  # noqa: F401
except ImportError:
    pass

from . import zevra_core
from .zevra_core import FatalError, Tensor

__all__ = ["Tensor", "FatalError", "zevra_core"]
