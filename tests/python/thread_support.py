"""What the thread tests share: a worker thread that keeps its call's outcome,
holding a call open inside its argument conversion, and the stress factor that
sets their thread and iteration counts. Every wait has a timeout, so a deadlock
fails the test instead of hanging it.

The stress factor is 1 on an interpreter with its lock, 4 on a free-threaded
build (where threads really run together, and a race has its chance), times
the whole number in the environment variable GRAVLINE_STRESS (default 1):
GRAVLINE_STRESS=10 pushes the thread tests ten times harder still."""
import os
import sysconfig
import threading
from dataclasses import dataclass
from typing import Any, Callable

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def _stress_factor():
    text = os.environ.get("GRAVLINE_STRESS", "1")
    if not text.isdigit() or int(text) < 1:
        raise ValueError(f"GRAVLINE_STRESS must be a whole number of at least 1, got {text!r}")
    return (4 if FREE_THREADED else 1) * int(text)


STRESS = _stress_factor()
# Only a deadlock should reach it, whatever the stress factor.
TIMEOUT = 60 * STRESS


def scaled(n):
    """A thread or iteration count of `n` on the ordinary builds, pushed up by
    the stress factor."""
    return n * STRESS


class Worker(threading.Thread):
    """Runs `fn` once; its outcome is ("ok", result) or (type, message)."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn, self.outcome = fn, None

    def run(self):
        try:
            self.outcome = ("ok", self.fn())
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            self.outcome = (type(exc), str(exc))

    def result(self):
        self.join(TIMEOUT)
        assert not self.is_alive(), "deadlock: the call did not return"
        return self.outcome


def in_thread(fn):
    w = Worker(fn)
    w.start()
    return w


def hold(call, blocking):
    """Starts `call` in a thread and returns once it is inside its conversion,
    where `blocking` (with events `entered` and `released`) keeps it."""
    w = in_thread(call)
    assert blocking.entered.wait(TIMEOUT), "the held call never started"
    return w


@dataclass(frozen=True)
class Workload:
    """One kind of work for the stress tier (test_threads_stress.py), which runs
    every workload on many threads at once, beside the others and across fork.

    `alone(seed)` works on objects of its own and returns a result that depends
    on the seed alone (any thread, any run); `shared()` makes one object that
    many threads then `read` at once, each read giving the same result, since
    a read changes nothing. The sizes are small: the factor multiplies the
    threads and rounds, not the work of one call."""
    name: str
    alone: Callable[[int], Any]
    shared: Callable[[], Any] | None = None
    read: Callable[[Any], Any] | None = None


def run_together(jobs):
    """Runs each job on a thread of its own, all released at once; returns
    their outcomes in order (see Worker)."""
    start = threading.Barrier(len(jobs), timeout=TIMEOUT)
    workers = [in_thread(lambda job=job: (start.wait(), job())[1]) for job in jobs]
    return [w.result() for w in workers]
