"""GameBatch and encode_games over time and across threads: repeated calls and
error paths leave memory and reference counts where they were, a batch follows
the borrow rules of Game (also while its work runs without the interpreter
lock), and every thread count gives the same games."""
import gc
import os
import sys
import threading
import tracemalloc
from array import array
from itertools import repeat

import numpy as np
import pytest

from drevik_gravline import Game
from drevik_gravline_batch import GameBatch, encode_games

N = int(os.environ.get("GRAVLINE_LEAK_ITERATIONS", "3000")) // 3
TRACED_SLACK = 8 * 1024
RSS_SLACK = 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")
STATM = os.open("/proc/self/statm", os.O_RDONLY)
TIMEOUT = 60


def rss():
    return int(os.pread(STATM, 200, 0).split()[1]) * PAGE


# ---- leaks ----

BIG = GameBatch(8, 32, 32)
for _ in range(200):
    BIG.step(np.where(BIG.legal_mask().any(1), BIG.legal_mask().argmax(1), -1))
SMALL = GameBatch(64, 7, 6)
PLANES = np.zeros((64, 17, 6, 7), np.float32)
MASK = np.zeros((64, 7), bool)
ACTIONS = np.zeros(64, np.int64)
SKIP = np.full(64, -1, np.int8)
ALL = np.ones(64, bool)
GAMES = [BIG.game(i) for i in range(8)]
MIXED = [Game(7, 6), Game(8, 6)]
WRONG_OUT = np.zeros((64, 17, 7, 6), np.float32)
ILLEGAL = np.full(64, 9, np.int64)
FLOATS = np.zeros(64, np.float64)

WATCHED = dict(BIG=BIG, SMALL=SMALL, PLANES=PLANES, MASK=MASK, ACTIONS=ACTIONS, SKIP=SKIP, ALL=ALL,
               GAMES=GAMES, MIXED=MIXED, WRONG_OUT=WRONG_OUT, ILLEGAL=ILLEGAL, FLOATS=FLOATS,
               Game=Game, GameBatch=GameBatch, none=None, true=True, false=False,
               **{f"game {i}": g for i, g in enumerate(GAMES + MIXED)})


def refcounts():
    return array("q", (sys.getrefcount(o) for o in WATCHED.values()))


def step_reset():
    SMALL.step(ACTIONS)
    SMALL.reset(ALL)


CASES = [
    ("new small batch", lambda: GameBatch(64, 7, 6), None),
    ("new big batch", lambda: GameBatch(8, 32, 32, threads=2), None),
    ("from_games", lambda: GameBatch.from_games(GAMES), None),
    ("step and reset", step_reset, None),
    ("step skipping, list", lambda: SMALL.step([-1] * 64), None),
    ("observe new", lambda: SMALL.observe(), None),
    ("observe out", lambda: SMALL.observe(out=PLANES), None),
    ("legal_mask out", lambda: SMALL.legal_mask(MASK), None),
    ("per-game arrays", lambda: (BIG.turns(), BIG.is_over(), BIG.winners(), BIG.move_counts(),
                                 BIG.state_hashes(), BIG.transposition_hashes()), None),
    ("game(i), long history", lambda: BIG.game(3), None),
    ("encode_games", lambda: encode_games(GAMES), None),
    ("illegal action", lambda: SMALL.step(ILLEGAL), ValueError),
    ("float actions", lambda: SMALL.step(FLOATS), TypeError),
    ("short actions", lambda: SMALL.step([0]), ValueError),
    ("wrong out", lambda: SMALL.observe(WRONG_OUT), ValueError),
    ("game index", lambda: BIG.game(8), IndexError),
    ("mixed sizes", lambda: GameBatch.from_games(MIXED), ValueError),
    ("encode mixed", lambda: encode_games(MIXED), ValueError),
    ("bad count", lambda: GameBatch(0, 7, 6), ValueError),
    ("bad keyword", lambda: GameBatch(1, 7, 6, thread=1), TypeError),
]


def loop_of(call, error):
    if error is None:
        return call

    def failing():
        try:
            call()
        except error:
            pass
    return failing


@pytest.fixture(scope="module")
def traced():
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


@pytest.mark.parametrize("name, call, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow_memory_or_counts(traced, name, call, error):
    loop = loop_of(call, error)
    for attempt in range(2):
        for _ in repeat(None, 100):
            loop()
        gc.collect()
        counts, traced_0, rss_0 = refcounts(), tracemalloc.get_traced_memory()[0], rss()
        for _ in repeat(None, N):
            loop()
        gc.collect()
        counts_after, traced_1, rss_1 = refcounts(), tracemalloc.get_traced_memory()[0], rss()
        moved = {k: after - was for k, was, after in zip(WATCHED, counts, counts_after) if was != after}
        grew, rss_grew = traced_1 - traced_0, rss_1 - rss_0
        if not moved and grew < TRACED_SLACK and rss_grew < RSS_SLACK:
            break
    assert moved == {}
    assert grew < TRACED_SLACK, f"traced memory grew by {grew} bytes"
    assert rss_grew < RSS_SLACK, f"resident size grew by {rss_grew} bytes"


def test_batch_storage_is_traced_and_small():
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        b = GameBatch(100_000, 7, 6)
        held = tracemalloc.get_traced_memory()[0] - before
        del b
        freed = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert 60 * 100_000 <= held <= 96 * 100_000
    assert freed < 4096


# ---- threads ----

class Blocking:
    """A sequence whose items wait until released: NumPy reads them while the
    call that converts it holds its borrow."""

    def __init__(self, values):
        self.values = values
        self.entered = threading.Event()
        self.released = threading.Event()

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i >= len(self.values):
            raise IndexError(i)
        self.entered.set()
        if not self.released.wait(TIMEOUT):
            raise TimeoutError("never released")
        return self.values[i]


class Worker(threading.Thread):
    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn, self.outcome = fn, None

    def run(self):
        try:
            self.outcome = ("ok", self.fn())
        except BaseException as exc:  # noqa: BLE001
            self.outcome = (type(exc), str(exc))

    def result(self):
        self.join(TIMEOUT)
        assert not self.is_alive(), "deadlock: the call did not return"
        return self.outcome


def test_a_stepping_batch_refuses_readers_and_writers():
    b = GameBatch(2, 7, 6)
    actions = Blocking([3, 4])
    w = Worker(lambda: b.step(actions))
    w.start()
    assert actions.entered.wait(TIMEOUT)
    for call in (b.observe, b.legal_mask, b.turns, b.count, lambda: b.game(0)):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == "Already mutably borrowed"
    for call in (lambda: b.step([0, 0]), b.reset):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == "Already borrowed"
    actions.released.set()
    assert w.result()[0] == "ok"
    assert b.move_counts().tolist() == [1, 1]


def test_a_reading_batch_lets_readers_in_and_refuses_writers():
    b = GameBatch(2, 7, 6)

    class SlowIndex:
        entered, released = threading.Event(), threading.Event()

        def __index__(self):
            self.entered.set()
            assert self.released.wait(TIMEOUT)
            return 1
    index = SlowIndex()
    w = Worker(lambda: b.game(index))
    w.start()
    assert index.entered.wait(TIMEOUT)
    assert b.observe().shape == (2, 17, 6, 7)
    with pytest.raises(RuntimeError) as e:
        b.step([0, 0])
    assert str(e.value) == "Already borrowed"
    index.released.set()
    assert w.result()[0] == "ok"
    b.step([0, 0])


def test_encode_games_holds_each_games_borrow():
    g = Game(7, 6)
    others = Blocking([g])
    w = Worker(lambda: encode_games(others))
    w.start()
    assert others.entered.wait(TIMEOUT)
    others.released.set()
    assert w.result()[0] == "ok"
    assert g.apply_action(0)


def test_two_threads_on_one_large_batch_never_work_at_once():
    """Calls on a batch large enough to run without the interpreter lock: each
    call either runs whole or is refused, and the games stay consistent."""
    b = GameBatch(4096, 7, 6, threads=2)
    refused = []
    stop = threading.Event()

    def stepper():
        rng = np.random.default_rng(1)
        for _ in range(100):
            try:
                mask = b.legal_mask()
                _, done = b.step((rng.random(mask.shape) + mask).argmax(1))
                b.reset(done)
            except RuntimeError as exc:
                refused.append(str(exc))
        stop.set()

    def reader():
        while not stop.is_set():
            try:
                planes = b.observe()
                counts = b.move_counts()
                assert planes.shape == (4096, 17, 6, 7) and counts.max() <= 42
            except RuntimeError as exc:
                refused.append(str(exc))

    threads = [Worker(stepper), Worker(reader)]
    for t in threads:
        t.start()
    for t in threads:
        assert t.result()[0] == "ok", t.outcome
    assert set(refused) <= {"Already borrowed", "Already mutably borrowed"}
    for i in range(0, 4096, 97):
        g = b.game(i)
        np.testing.assert_array_equal(encode_games([g])[0], b.observe()[i])


def test_many_threads_on_their_own_batches_agree_with_one_thread():
    def play(threads, seed):
        b = GameBatch(3000, 9, 8, threads=threads)
        rng = np.random.default_rng(seed)
        for _ in range(40):
            mask = b.legal_mask()
            _, done = b.step((rng.random(mask.shape) + mask).argmax(1))
            b.reset(done)
        return b.state_hashes().tobytes(), b.observe().tobytes()

    expected = [play(1, seed) for seed in range(6)]
    workers = [Worker(lambda seed=seed: play(1 + seed % 3, seed)) for seed in range(6)]
    for w in workers:
        w.start()
    for seed, w in enumerate(workers):
        outcome = w.result()
        assert outcome[0] == "ok", outcome
        assert outcome[1] == expected[seed]
