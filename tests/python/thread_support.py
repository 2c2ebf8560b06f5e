"""What the thread tests share: a worker thread that keeps its call's outcome,
and holding a call open inside its argument conversion. Every wait has a
timeout, so a deadlock fails the test instead of hanging it."""
import threading

TIMEOUT = 60


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
