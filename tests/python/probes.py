"""What the tests observe from outside: the length of the calling thread's tape, the number of
live tensors and the process's resident memory."""

import os
import re
import sys
import sysconfig
import threading

from zevra import FatalError, Tensor

_STALE_ID = 1 << 16


def _stale_root():
    """A tensor whose node id lies beyond any tape a test builds: made on a thread of its own,
    whose tape (and the leaves before it) ends with the thread."""
    box = []

    def build():
        for _ in range(_STALE_ID):
            Tensor(0.0, requires_grad=True)
        box.append(Tensor(0.0, requires_grad=True))

    th = threading.Thread(target=build)
    th.start()
    th.join()
    return box[0]


_STALE = _stale_root()
_LENGTH = re.compile(rf"index out of bounds: the len is (\d+) but the index is {_STALE_ID}")


def tape_length():
    """The number of nodes on the calling thread's tape, read from the fatal error of a backward
    pass from an id beyond its end; the pass stops before touching anything."""
    try:
        _STALE.backward()
    except FatalError as e:
        return int(_LENGTH.fullmatch(str(e))[1])
    raise AssertionError("a backward pass from an id beyond the tape must be fatal")


# Every instance holds a reference to its class, so the class's count tells how many tensors
# are alive. Free-threaded interpreters may keep such counts per thread.
COUNTS_INSTANCES = not sysconfig.get_config_var("Py_GIL_DISABLED")


def live_tensors():
    return sys.getrefcount(Tensor) if COUNTS_INSTANCES else 0


def rss():
    """Resident memory of the process in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


# AddressSanitizer keeps freed memory in quarantine and aborts on impossible allocations unless
# told to fail them.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ASAN_RETURNS_NULL = "allocator_may_return_null=1" in os.environ.get("ASAN_OPTIONS", "")
