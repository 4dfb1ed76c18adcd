"""Trains a small multilayer perceptron on handwritten digits with zevra's autograd.

The data set (8x8 images of the digits 0-9) ships inside scikit-learn and loads offline.
The whole forward and backward pass runs in zevra: sums are products with a ones matrix,
and the ReLU is a product with a constant mask built from a comparison. Gradients of
broadcast operands (the biases) keep the broadcast shape, so they are summed over the batch
axis before the update.
"""

from __future__ import annotations

import time

import numpy as np
from sklearn.datasets import load_digits

from zevra import Tensor

HIDDEN = 128
CLASSES = 10
BATCH = 64
EPOCHS = 30
LEARNING_RATE = 0.05


def init_params(rng: np.random.Generator, features: int) -> dict[str, np.ndarray]:
    return {
        "w1": (rng.standard_normal((features, HIDDEN)) * np.sqrt(2.0 / features)).astype(np.float32),
        "b1": np.zeros((1, HIDDEN), np.float32),
        "w2": (rng.standard_normal((HIDDEN, CLASSES)) * np.sqrt(1.0 / HIDDEN)).astype(np.float32),
        "b2": np.zeros((1, CLASSES), np.float32),
    }


def forward(params: dict[str, Tensor], x: Tensor) -> Tensor:
    """The network's scores for a batch: relu(x @ w1 + b1) @ w2 + b2."""
    h = x @ params["w1"] + params["b1"]
    mask = Tensor((h > 0.0).to_numpy(), dtype="f32")  # a constant: no gradient flows through it
    return (h * mask) @ params["w2"] + params["b2"]


def loss_of(scores: Tensor, targets: Tensor, batch: int) -> Tensor:
    """Mean squared error against one-hot targets, summed with ones matrices: a [1, 1] tensor."""
    d = scores - targets
    rows = Tensor(np.ones((1, batch), np.float32))
    cols = Tensor(np.ones((CLASSES, 1), np.float32))
    return rows @ (d * d) @ cols * (1.0 / batch)


def step(params_np: dict[str, np.ndarray], x: np.ndarray, y: np.ndarray) -> tuple[float, dict[str, np.ndarray]]:
    """One forward and backward pass; returns the loss and the gradients in the parameters' shapes."""
    Tensor.clear_graph()  # the tape grows with every operation until cleared
    params = {k: Tensor(v, requires_grad=True) for k, v in params_np.items()}
    loss = loss_of(forward(params, Tensor(x)), Tensor(y), len(x))
    loss.backward()
    grads: dict[str, np.ndarray] = {}
    for k, p in params.items():
        g = p.grad()
        assert g is not None  # every parameter is reached by the pass
        # A broadcast bias gets one gradient row per example: sum them to the bias's shape.
        grads[k] = g.sum(axis=0, keepdims=True) if g.shape != params_np[k].shape else g
    return float(loss.to_numpy()[0, 0]), grads


def check_gradients(params_np: dict[str, np.ndarray], x: np.ndarray, y: np.ndarray,
                    rng: np.random.Generator) -> float:
    """Largest difference between backward() and central finite differences, relative to
    the largest gradient entry of the same parameter."""
    _, grads = step(params_np, x, y)
    worst = 0.0
    for name in ("w1", "b1", "w2", "b2"):
        p = params_np[name]
        for _ in range(3):
            idx = tuple(rng.integers(0, n) for n in p.shape)
            eps = 1e-2
            saved = p[idx]
            p[idx] = saved + eps
            up, _ = step(params_np, x, y)
            p[idx] = saved - eps
            down, _ = step(params_np, x, y)
            p[idx] = saved
            numeric = (up - down) / (2 * eps)
            scale = max(float(np.abs(grads[name]).max()), 1e-6)
            worst = max(worst, abs(numeric - grads[name][idx]) / scale)
    return worst


def accuracy(params_np: dict[str, np.ndarray], x: np.ndarray, labels: np.ndarray) -> float:
    Tensor.clear_graph()
    params = {k: Tensor(v) for k, v in params_np.items()}
    scores = forward(params, Tensor(x)).to_numpy()
    return float((scores.argmax(axis=1) == labels).mean())


def main() -> None:
    start = time.perf_counter()
    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    labels = digits.target
    onehot = np.eye(CLASSES, dtype=np.float32)[labels]
    rng = np.random.default_rng(0)
    order = rng.permutation(len(x))
    split = int(0.8 * len(x))
    train, test = order[:split], order[split:]

    params = init_params(rng, x.shape[1])
    worst = check_gradients(params, x[train[:BATCH]], onehot[train[:BATCH]], rng)
    print(f"gradient check against finite differences: worst relative error {worst:.1e}")

    for epoch in range(1, EPOCHS + 1):
        rng.shuffle(train)
        losses = []
        for i in range(0, len(train) - BATCH + 1, BATCH):
            batch = train[i:i + BATCH]
            loss, grads = step(params, x[batch], onehot[batch])
            for k in params:
                params[k] -= LEARNING_RATE * grads[k]
            losses.append(loss)
        if epoch % 5 == 0 or epoch == 1:
            print(f"epoch {epoch:2d}  loss {np.mean(losses):.4f}  "
                  f"test accuracy {accuracy(params, x[test], labels[test]):.3f}")
    print(f"final test accuracy {accuracy(params, x[test], labels[test]):.3f} "
          f"({time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
