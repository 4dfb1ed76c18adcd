"""Shared fixtures for the Python tests."""

import pytest

from zevra import Tensor


@pytest.fixture(autouse=True)
def fresh_tape():
    """Every test starts and ends with an empty tape on the main thread."""
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()
