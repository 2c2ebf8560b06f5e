"""Helpers shared by the Python tests: playing columns and reentrant arguments."""
import signal

import pytest

import drevik_gravline as dg

# A shell starts a background job with Ctrl-C ignored, and Python then keeps
# it ignored, as do the processes it starts: the tests of Ctrl-C need it
# handled, here and in the jobs they run.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


class Reenter:
    """An integer argument whose conversion calls back into the module.

    `__index__` runs `action` once and keeps what happened in `caught`:
    ("ok", value) or (exception type, message). It then returns `value`, or
    re-raises when `propagate` is set.
    """

    def __init__(self, action, value=0, propagate=False):
        self.action, self.value, self.propagate = action, value, propagate
        self.caught = None

    def __index__(self):
        try:
            self.caught = ("ok", self.action())
        except BaseException as exc:
            self.caught = (type(exc), str(exc))
            if self.propagate:
                raise
        return self.value


def _play(game, cols):
    for c in cols:
        row = game.board().column_height(c)
        assert game.make_move(dg.Move(c, row)), f"column {c} refused"
    return game


@pytest.fixture
def play():
    """play(game, columns) drops pieces in the given columns, asserting each is accepted."""
    return _play


@pytest.fixture
def reenter():
    return Reenter


def snapshot(game):
    """Everything observable about a game's position and state."""
    return (str(game), repr(game), game.turn(), game.is_over(), game.outcome(), game.legal_moves())


@pytest.fixture
def state():
    return snapshot


@pytest.fixture(scope="module")
def traced():
    """Memory tracing for a leak test module's calls (see leak_support)."""
    from leak_support import tracing

    with tracing():
        yield
