"""What the leak tests share: the resident size, tracing, and one call repeated
thousands of times with the reference counts and memory compared around it."""
import contextlib
import gc
import os
import sys
import tracemalloc
from array import array
from itertools import repeat
from typing import NamedTuple

TRACED_SLACK = 8 * 1024
RSS_SLACK = 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
STATM = os.open("/proc/self/statm", os.O_RDONLY)


def rss():
    # A raw read of a descriptor opened once: a text file opened here would
    # itself touch the counts being compared.
    return int(os.pread(STATM, 200, 0).split()[1]) * PAGE


def refcounts(watched):
    # Kept in a C array: a list of Python ints would itself hold references to
    # the small ints being counted.
    return array("q", (sys.getrefcount(obj) for obj in watched.values()))


@contextlib.contextmanager
def tracing():
    # Objects that exist now are left out of the collections that each
    # measurement runs, which then take a moment instead of a scan of the
    # whole test session's heap.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


def loop_of(call, error):
    """`call`, or where it raises `error`, a call that catches it."""
    if error is None:
        return call

    def failing():
        try:
            call()
        except error:
            pass
    return failing


def measure(loop, n, watched, warmup=None):
    """Runs `loop` `warmup` times (by default a tenth of n, at least 200), then
    n times; returns the counts of `watched`, the traced memory and the
    resident size from before and after the n runs."""
    for _ in repeat(None, max(200, n // 10) if warmup is None else warmup):
        loop()
    gc.collect()
    counts, traced, resident = refcounts(watched), tracemalloc.get_traced_memory()[0], rss()
    for _ in repeat(None, n):
        loop()
    gc.collect()
    return (counts, refcounts(watched), traced, tracemalloc.get_traced_memory()[0], resident, rss())


class Growth(NamedTuple):
    moved: dict  # name in watched -> how far its reference count moved
    traced_0: int
    traced_1: int
    rss_0: int
    rss_1: int
    attempts: int
    calls: int

    def check(self):
        # Every call is the same, so a leaked reference moves a count by about
        # the number of calls; a move of one or two is a stray reference that
        # the session itself took or dropped meanwhile (seen on None).
        leaked = {k: d for k, d in self.moved.items() if abs(d) >= max(2, self.calls // 4)}
        assert leaked == {}, f"reference counts moved over {self.calls} calls: {self.moved}"
        grew, rss_grew = self.traced_1 - self.traced_0, self.rss_1 - self.rss_0
        assert grew < TRACED_SLACK, f"traced memory grew by {grew} bytes"
        assert rss_grew < RSS_SLACK, f"resident size grew by {rss_grew} bytes"


def growth_of(loop, n, watched, warmup=None):
    """What n runs of `loop` moved (see measure)."""
    # A leak shows on every attempt. A second attempt is allowed for the rare
    # stray reference that the test session itself drops meanwhile (seen as
    # None's count moving by one on 3.11, never by anything like n).
    for attempt in range(2):
        counts, counts_after, traced_0, traced_1, rss_0, rss_1 = measure(loop, n, watched, warmup)
        moved = {k: after - was for k, was, after in zip(watched, counts, counts_after) if was != after}
        if not moved and traced_1 - traced_0 < TRACED_SLACK and rss_1 - rss_0 < RSS_SLACK:
            break
    return Growth(moved, traced_0, traced_1, rss_0, rss_1, attempt + 1, n)
