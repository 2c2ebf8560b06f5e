"""GameBatch and encode_games across threads: a batch follows the borrow rules
of Game, also while its work runs without the interpreter lock, every thread
count gives the same games, and a forked child can use and free a batch whose
workers stayed behind."""
import os
import threading

import numpy as np
import pytest

import drevik_gravline_batch as gb
from drevik_gravline import Game
from drevik_gravline_batch import GameBatch, encode_games

from thread_support import TIMEOUT, hold, in_thread, scaled


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


def test_a_stepping_batch_refuses_readers_and_writers():
    b = GameBatch(2, 7, 6)
    actions = Blocking([3, 4])
    w = hold(lambda: b.step(actions), actions)
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
    w = hold(lambda: b.game(index), index)
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
    w = hold(lambda: encode_games(others), others)
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
        for _ in range(scaled(100)):
            try:
                mask = b.legal_mask()
                _, done = b.step((rng.random(mask.shape) + mask).argmax(1))
            except RuntimeError as exc:
                refused.append(str(exc))
                continue
            # The finished games must be reset before the next step: a refused
            # reset is tried again, or a finished game would be stepped.
            while True:
                try:
                    b.reset(done)
                    break
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

    threads = [in_thread(stepper), in_thread(reader)]
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

    seeds = range(scaled(6))
    expected = [play(1, seed) for seed in seeds]
    workers = [in_thread(lambda seed=seed: play(1 + seed % 3, seed)) for seed in seeds]
    for seed, w in enumerate(workers):
        outcome = w.result()
        assert outcome[0] == "ok", outcome
        assert outcome[1] == expected[seed]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_a_forked_child_uses_and_frees_a_batch_with_workers():
    b = GameBatch(4096, 7, 6, threads=3)
    b.step(np.arange(4096) % 7)
    expected = b.observe()
    pid = os.fork()
    if pid == 0:  # the child: none of the workers came along
        code = 1
        try:
            b.step(np.full(4096, 3))
            rows = list(range(0, 4096, 512))
            ok = np.array_equal(b.observe()[rows], encode_games([b.game(i) for i in rows]))
            del b
            code = 0 if ok else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    np.testing.assert_array_equal(b.observe(), expected)


def test_containers_changed_by_another_thread_while_a_call_reads_them():
    """A list of games or records, and the out= dict of expand, changed by
    another thread (items replaced, so that the old ones are freed at once,
    and the list resized) while calls read them: each call sees the items of
    one moment, never a freed one. Each reader has an out= dict of its own:
    two calls writing into the same arrays at once would race on their
    values, as any two writers of one array do."""
    games = [Game(7, 6) for _ in range(48)]
    records = [gb.self_play(2, 7, 6, seed=s) for s in range(6)]
    source = gb.self_play(20, 7, 6, seed=1)
    rows = np.arange(8)
    readers = scaled(2)
    outs = [{k: np.empty_like(v) for k, v in source.expand(rows).items()} for _ in range(readers)]
    stop = threading.Event()
    # The churners take turns with one another, never with the readers.
    turns = threading.Lock()

    def churn():
        rng = np.random.default_rng(2)
        while not stop.is_set():
            with turns:
                games[int(rng.integers(len(games)))] = Game(7, 6)
                games.append(Game(7, 6))
                del games[0]
                records[int(rng.integers(len(records)))] = gb.self_play(1, 7, 6, seed=3)
                out = outs[int(rng.integers(readers))]
                key = list(out)[int(rng.integers(5))]
                out[key] = np.empty_like(out[key])

    def read(out):
        for _ in range(scaled(300)):
            assert len(encode_games(games)) in (48, 49)
            assert GameBatch.from_games(games).count() in (48, 49)
            assert len(gb.Records.concat(records)) > 0
            got = source.expand(rows, out=out)
            assert sorted(got) == sorted(out)

    churners = [in_thread(churn) for _ in range(2)]
    try:
        outcomes = [w.result() for w in [in_thread(lambda out=out: read(out)) for out in outs]]
    finally:
        stop.set()
    assert [o for o in outcomes + [w.result() for w in churners] if o[0] != "ok"] == []
