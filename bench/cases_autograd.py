"""Differentiation: a training step, a long scalar chain, and the gradient kernels."""

import numpy as np

from harness import Case
from zevra import Tensor

try:
    import torch

    torch.set_num_threads(1)
except ImportError:  # PyTorch is measured where it installs (CPython 3.11 here)
    torch = None


def _zevra_training_step(x_np, y_np, params_np):
    def run():
        Tensor.clear_graph()
        p = {k: Tensor(v, requires_grad=True) for k, v in params_np.items()}
        x, y = Tensor(x_np), Tensor(y_np)
        h = x @ p["w1"] + p["b1"]
        mask = Tensor((h > 0.0).to_numpy(), dtype="f32")
        d = (h * mask) @ p["w2"] + p["b2"] - y
        loss = Tensor(np.ones((1, len(x_np)), np.float32)) @ (d * d) @ Tensor(
            np.ones((10, 1), np.float32)) * (1.0 / len(x_np))
        loss.backward()
        return [p[k].grad() for k in p]

    return run


def _torch_training_step(x_np, y_np, params_np):
    def run():
        p = {k: torch.tensor(v, requires_grad=True) for k, v in params_np.items()}
        x, y = torch.from_numpy(x_np), torch.from_numpy(y_np)
        d = torch.relu(x @ p["w1"] + p["b1"]) @ p["w2"] + p["b2"] - y
        loss = (d * d).sum() / len(x_np)
        loss.backward()
        return [p[k].grad.numpy() for k in p]

    return run


def _zevra_chain(n):
    def run():
        Tensor.clear_graph()
        t = Tensor([1.5], requires_grad=True)
        y = t
        for i in range(n // 4):
            y = ((y * 1.001 + 0.5) - 0.25) / 1.5
        y.backward()
        return t.grad()

    return run


def _torch_chain(n):
    def run():
        t = torch.tensor([1.5], requires_grad=True)
        y = t
        for i in range(n // 4):
            y = ((y * 1.001 + 0.5) - 0.25) / 1.5
        y.backward()
        return t.grad.numpy()

    return run


def cases():
    rng = np.random.default_rng(0)
    x = rng.random((64, 64), dtype=np.float32)
    y = np.eye(10, dtype=np.float32)[rng.integers(0, 10, 64)]
    params = {
        "w1": rng.standard_normal((64, 128), dtype=np.float32) * 0.1,
        "b1": np.zeros((1, 128), np.float32),
        "w2": rng.standard_normal((128, 10), dtype=np.float32) * 0.1,
        "b2": np.zeros((1, 10), np.float32),
    }
    if torch is not None:
        yield Case("training step, batch 64, 64->128->10", _zevra_training_step(x, y, params),
                   _torch_training_step(x, y, params), "torch", 1.0)
        yield Case("200 scalar operations on [1], then backward()", _zevra_chain(200),
                   _torch_chain(200), "torch", 0.5)

    n = 16_000_000
    a_np = rng.random(n, dtype=np.float32) + 0.5
    b_np = rng.random(n, dtype=np.float32) + 0.5
    g_np = np.ones(n, np.float32)
    a, b = Tensor(a_np, requires_grad=True), Tensor(b_np, requires_grad=True)
    prod = a * b
    quot = a / b
    yield Case("backward() of a * b, 1.6e7", prod.backward,
               lambda: (g_np * b_np, g_np * a_np), "numpy", 1.0)
    yield Case("backward() of a / b, 1.6e7", quot.backward,
               lambda: (g_np / b_np, (-g_np * a_np) / (b_np * b_np)), "numpy", 0.6)
