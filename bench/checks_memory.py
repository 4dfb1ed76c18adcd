"""Memory checks, each in a fresh interpreter so that earlier cases do not blur the figures."""

import subprocess
import sys

_PRELUDE = """
import numpy as np
from zevra import Tensor

def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
"""

_PEAK_ADD = _PRELUDE + """
n = 16_000_000
a = Tensor(np.ones(n, np.float32)); b = Tensor(np.ones(n, np.float32))
reset_peak(); base = rss()
c = a + b
print(peak() - base)
"""

_TAPE_CLEAR = _PRELUDE + """
x = Tensor(np.ones(16, np.float32), requires_grad=True)
for _ in range(1000):  # warm the allocator
    y = x * 2.0
Tensor.clear_graph()
x = Tensor(np.ones(16, np.float32), requires_grad=True)
start = rss()
y = x
for _ in range(100_000):
    y = y * 1.0001
grown = rss()
del y
Tensor.clear_graph()
print(start, grown, rss())
"""


def _run(code: str) -> str:
    return subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                          text=True).stdout.split()


def checks():
    result = 64_000_000
    extra = int(_run(_PEAK_ADD)[0])
    yield ("peak memory of a 1.6e7-element F32 a + b", extra <= result + (1 << 20),
           f"{extra / 2**20:.1f} MiB beyond the operands (result {result / 2**20:.1f} MiB)")
    start, grown, after = map(int, _run(_TAPE_CLEAR))
    yield ("1e5 recorded operations, then clear_graph()", after <= start * 1.05,
           f"resident {start / 2**20:.1f} MiB -> {grown / 2**20:.1f} MiB -> {after / 2**20:.1f} MiB")
