"""A first look at zevra: build tensors of each element type, inspect them, hand them back."""

import numpy as np

import zevra
from zevra import Tensor

data = np.arange(6, dtype=np.float64).reshape(2, 3)

for dtype in ("f32", "f16", "bf16", "bool"):
    t = Tensor(data, dtype=dtype)
    back = t.to_numpy()
    print(f"{dtype:>4}: shape={t.shape} strides={t.strides} dtype={t.dtype} "
          f"device={t.device} -> numpy {back.dtype}")
    print("      ", back.tolist())

t = Tensor(data).transpose(0, 1)
print("transposed: shape", t.shape, "strides", t.strides)
print("to_numpy() is Fortran-ordered:", t.to_numpy().flags.f_contiguous)

x = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
w = Tensor([[0.5], [-1.0]], requires_grad=True)
y = x @ w * 2.0 + 1.0
y.backward()
print("y =", y.to_numpy().ravel().tolist())
dw = w.grad()  # None until a backward pass reaches w
assert dw is not None
print("dy/dw =", dw.tolist())
print("zevra", zevra.__name__, "ready")
