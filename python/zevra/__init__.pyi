from . import zevra_core as zevra_core
from .zevra_core import FatalError as FatalError, Tensor as Tensor

__all__ = ["Tensor", "FatalError", "zevra_core"]
