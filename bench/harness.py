"""Timing cases that compare zevra with a reference measured in the same process."""

from __future__ import annotations

import statistics
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    name: str
    zevra: Callable[[], object]
    reference: Callable[[], object]
    reference_name: str
    target: float | None = None


@dataclass
class Timing:
    case: Case
    zevra_s: float
    reference_s: float

    @property
    def ratio(self) -> float:
        return self.zevra_s / self.reference_s

    @property
    def met(self) -> bool | None:
        return None if self.case.target is None else self.ratio <= self.case.target


def _calls_per_sample(fn: Callable[[], object], budget_s: float) -> int:
    """How many calls fill one sample of about `budget_s` seconds."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget_s or n >= 1 << 20:
            return max(1, int(n * budget_s / max(elapsed, 1e-9)))
        n *= 4


def _sample(fn: Callable[[], object], calls: int) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def measure(case: Case, rounds: int = 9, budget_s: float = 0.02) -> Timing:
    """Median time per call of both sides, sampling them alternately."""
    case.zevra()
    case.reference()
    calls_z = _calls_per_sample(case.zevra, budget_s)
    calls_r = _calls_per_sample(case.reference, budget_s)
    zs, rs = [], []
    for i in range(rounds):
        if i % 2:
            rs.append(_sample(case.reference, calls_r))
            zs.append(_sample(case.zevra, calls_z))
        else:
            zs.append(_sample(case.zevra, calls_z))
            rs.append(_sample(case.reference, calls_r))
    return Timing(case, statistics.median(zs), statistics.median(rs))


def format_seconds(s: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"
