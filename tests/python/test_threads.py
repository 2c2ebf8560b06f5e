"""Threads: readers of one game run together, a writer is refused at once while
anything holds the game, and nothing crashes, deadlocks or corrupts a game.

Under the interpreter lock a method runs to its end without a thread switch,
except while it converts an argument through Python code. A `__index__` that
waits on an event therefore keeps its call, and the borrow the call has taken,
open while other threads call the same object. Every wait has a timeout, so a
deadlock fails the test instead of hanging it.
"""
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import drevik_gravline as dg
from drevik_gravline import Board, Game, Move

from thread_support import STRESS, TIMEOUT, hold, in_thread, scaled

BORROWED = (RuntimeError, "Already borrowed")
MUTABLY = (RuntimeError, "Already mutably borrowed")


class Blocking:
    """An integer argument whose conversion waits until it is released."""

    def __init__(self, value):
        self.value = value
        self.entered = threading.Event()
        self.released = threading.Event()

    def __index__(self):
        self.entered.set()
        if not self.released.wait(TIMEOUT):
            raise TimeoutError("never released")
        return self.value


def play(game, cols):
    for c in cols:
        assert game.apply_action(c), c
    return game


def state(g):
    return (str(g), repr(g), g.state_hash(), g.transposition_hash(), hash(g), g.legal_moves())


def moves_of(game):
    """The game's history, oldest first, found by taking it back on a copy,
    and the copy with nothing left to take back."""
    c, moves = game.clone(), []
    while True:
        before = c.board()
        if not c.unmake_move():
            break
        after = c.board()
        col = next(x for x in range(c.width()) if before.column_height(x) != after.column_height(x))
        moves.append(Move(col, after.column_height(col)))
    return moves[::-1], c


def assert_consistent(game):
    """A game's hashes equal those of its own moves replayed on its base."""
    moves, base = moves_of(game)
    for m in moves:
        assert base.make_move(m), m
    assert state(base) == state(game)


GAME_READS = {
    "turn": lambda g: g.turn(),
    "get_piece": lambda g: g.get_piece(3, 0),
    "legal_moves": lambda g: g.legal_moves(),
    "is_legal_move": lambda g: g.is_legal_move(Move(0, 0)),
    "decode_action": lambda g: g.decode_action(1),
    "state_hash": lambda g: g.state_hash(),
    "hash": lambda g: hash(g),
    "str": lambda g: str(g),
    "clone": lambda g: g.clone().turn(),
    "board": lambda g: g.board().column_height(3),
    "Move.decode": lambda g: Move.decode(3, g),
}
GAME_WRITES = {
    "make_move": lambda g: g.make_move(Move(0, 0)),
    "unmake_move": lambda g: g.unmake_move(),
    "set_piece": lambda g: g.set_piece(6, 5, 1),
    "apply_action": lambda g: g.apply_action(0),
    "encode_spatial_planes": lambda g: g.encode_spatial_planes(),
    "encode_global_state_features": lambda g: g.encode_global_state_features(),
}


@pytest.fixture
def game():
    return play(Game(7, 6), [3, 3, 4])


@pytest.fixture
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


# ---- one call of another thread holds the game ----

def test_readers_run_together_while_a_reader_waits_and_writers_are_refused(game):
    before = state(game)
    held = Blocking(3)
    reader = hold(lambda: game.get_piece(held, 0), held)
    reads = {name: in_thread(lambda f=f: f(game)) for name, f in GAME_READS.items()}
    writes = {name: in_thread(lambda f=f: f(game)) for name, f in GAME_WRITES.items()}
    results = {name: w.result() for name, w in {**reads, **writes}.items()}
    # Everything above finished while the first reader was still inside its call.
    assert reader.is_alive()
    assert {n for n in GAME_READS if results[n][0] != "ok"} == set()
    assert {n: results[n] for n in GAME_WRITES} == {n: BORROWED for n in GAME_WRITES}
    held.released.set()
    assert reader.result() == ("ok", 1)
    assert state(game) == before
    assert game.make_move(Move(0, 0)) and game.unmake_move()


def test_readers_and_writers_are_refused_while_a_writer_waits(game):
    before = state(game)
    held = Blocking(6)
    writer = hold(lambda: game.set_piece(held, 0, -1), held)
    reads = {name: in_thread(lambda f=f: f(game)) for name, f in GAME_READS.items()}
    writes = {name: in_thread(lambda f=f: f(game)) for name, f in GAME_WRITES.items()}
    results = {name: w.result() for name, w in {**reads, **writes}.items()}
    assert writer.is_alive()
    assert {n: results[n] for n in GAME_READS} == {n: MUTABLY for n in GAME_READS}
    assert {n: results[n] for n in GAME_WRITES} == {n: BORROWED for n in GAME_WRITES}
    held.released.set()
    assert writer.result() == ("ok", None)
    # The writer's change, and nothing else, happened.
    assert game.get_piece(6, 0) == -1
    game.set_piece(6, 0, None)
    assert state(game) == before


def test_the_last_of_several_waiting_readers_frees_the_game(game):
    first, second = Blocking(3), Blocking(4)
    r1 = hold(lambda: game.get_piece(first, 0), first)
    r2 = hold(lambda: game.decode_action(second), second)
    first.released.set()
    assert r1.result() == ("ok", 1)
    # One reader is still inside: a writer must still be refused.
    assert in_thread(lambda: game.unmake_move()).result() == BORROWED
    assert in_thread(lambda: game.turn()).result() == ("ok", -1)
    second.released.set()
    assert r2.result() == ("ok", Move(4, 1))
    assert in_thread(lambda: game.unmake_move()).result() == ("ok", True)
    assert game.turn() == 1


@pytest.mark.parametrize("exclusive", [False, True], ids=["reader waits", "writer waits"])
def test_a_board_held_by_another_thread(exclusive):
    b = Board(7, 6)
    b.set_piece(2, 0, 1)
    held = Blocking(2)
    if exclusive:
        holder = hold(lambda: b.set_piece(held, 1, -1), held)
    else:
        holder = hold(lambda: b.column_height(held), held)
    reads = [in_thread(f) for f in (b.width, lambda: b.get_piece(2, 0), lambda: str(b),
                                    b.is_board_full, lambda: b.is_column_full(2))]
    writes = [in_thread(f) for f in (b.clear, lambda: b.set_piece(0, 0, 1))]
    read_results = [w.result() for w in reads]
    if exclusive:
        assert read_results == [MUTABLY] * len(reads)
    else:
        assert [r[0] for r in read_results] == ["ok"] * len(reads)
    assert [w.result() for w in writes] == [BORROWED] * len(writes)
    assert holder.is_alive()
    held.released.set()
    assert holder.result() == (("ok", None) if exclusive else ("ok", 1))
    assert (b.get_piece(0, 0), b.get_piece(2, 0), b.get_piece(2, 1)) == (None, 1, -1 if exclusive else None)


# ---- many threads at once ----

def random_games(seed, count=3):
    """Plays `count` random games; returns every position's hashes."""
    rng = random.Random(seed)
    trace = []
    for _ in range(count):
        g = Game(rng.randint(4, 32), rng.randint(4, 32))
        while not g.is_over():
            actions = g.legal_action_indices()
            if rng.random() < 0.1 and g.unmake_move():
                trace.append(("undo", g.state_hash()))
                continue
            assert g.apply_action(rng.choice(actions))
            trace.append((g.state_hash(), g.transposition_hash(), hash(g)))
            if rng.random() < 0.05:
                trace.append(("planes", sum(g.encode_spatial_planes()[0])))
        assert_consistent(g)
        trace.append(str(g))
    return trace


class Slow:
    """A reentrant argument: while its call holds the shared game, it records
    who is inside and loops in Python code, where the interpreter may switch
    threads in the middle of the call."""

    inside = {"read": 0, "write": 0}
    most_readers = 0
    violations = []
    lock = threading.Lock()

    def __init__(self, value, access):
        self.value, self.access = value, access

    def __index__(self):
        cls = Slow
        with cls.lock:
            cls.inside[self.access] += 1
            if cls.inside["write"] > 1 or (cls.inside["write"] and cls.inside["read"]):
                cls.violations.append(dict(cls.inside))
            cls.most_readers = max(cls.most_readers, cls.inside["read"])
        for _ in range(20):
            pass
        with cls.lock:
            cls.inside[self.access] -= 1
        return self.value


ALL_OUTCOMES = {("read", "ok"), ("read", "Already mutably borrowed"),
                ("write", "ok"), ("write", "Already borrowed")}


def rounds(seen, least=scaled(100), most=scaled(20000)):
    """Rounds for the threads on the shared game: at least `least`, then on
    until every outcome has been met by someone and two readers have been
    inside calls at once (so the threads really did overlap), or `most`."""
    for i in range(most):
        if i >= least and i % 50 == 0 and ALL_OUTCOMES <= set(seen) and Slow.most_readers >= 2:
            return
        yield i


def shared_reader(g, seen):
    rng = random.Random(threading.get_ident())
    for _ in rounds(seen):
        for call in (lambda: g.get_piece(Slow(rng.randrange(7), "read"), 0),
                     lambda: g.decode_action(Slow(rng.randrange(9), "read")),
                     lambda: g.clone(), lambda: g.state_hash(), lambda: str(g)):
            try:
                result = call()
            except RuntimeError as exc:
                seen.append(("read", str(exc)))
                continue
            seen.append(("read", "ok"))
            if isinstance(result, Game):
                assert_consistent(result)


def until_done(call, seen):
    """Repeats a write that may meet the borrow until it goes through."""
    while True:
        try:
            result = call()
        except RuntimeError as exc:
            seen.append(("write", str(exc)))
            continue
        seen.append(("write", "ok"))
        return result


def shared_writer(g, seen, col):
    rng = random.Random(col)
    for _ in rounds(seen):
        # A cell of this writer's own, set and emptied again.
        until_done(lambda: g.set_piece(Slow(col, "write"), 5, 1), seen)
        until_done(lambda: g.set_piece(col, Slow(5, "write"), None), seen)
        # A move, taken back later by whichever writer comes next: every
        # writer takes back as many moves as it made, so the game ends where
        # it began.
        if until_done(lambda: g.apply_action(Slow(rng.randrange(5), "write")), seen):
            assert until_done(lambda: g.unmake_move(), seen)
        until_done(lambda: g.encode_spatial_planes(), seen)


def test_own_games_and_one_shared_game_across_many_threads(switch_often):
    seeds = list(range(scaled(8)))
    replay = {s: random_games(s) for s in seeds}
    shared = play(Game(7, 6), [3])
    before = state(shared)
    Slow.violations.clear()
    Slow.most_readers = 0
    seen = []
    jobs = [lambda s=s: random_games(s) for s in seeds]
    jobs += [lambda: shared_reader(shared, seen)] * scaled(4)
    jobs += [lambda c=c: shared_writer(shared, seen, c) for c in (5, 6)]
    start = threading.Barrier(len(jobs), timeout=TIMEOUT)
    workers = [in_thread(lambda job=job: (start.wait(), job())[1]) for job in jobs]
    results = [w.result() for w in workers]
    # Nothing failed but the borrows, each with the message of its access.
    assert [r for r in results if r[0] != "ok"] == []
    assert [r[1] for r in results[:len(seeds)]] == [replay[s] for s in seeds]
    assert set(seen) == ALL_OUTCOMES, "the threads never met inside a call"
    assert Slow.most_readers >= 2, "readers never ran together"
    # No writer was ever inside a call together with anyone else.
    assert Slow.violations == []
    assert state(shared) == before
    assert_consistent(shared)


def test_first_uses_racing_from_many_threads_agree():
    # In a new process, so that these are the very first uses: the shared
    # plane floats and the internal-error class are created once, whoever wins.
    code = textwrap.dedent("""
        import sys, threading
        import drevik_gravline as dg
        sys.setswitchinterval(1e-6)
        n = int(sys.argv[1])
        barrier = threading.Barrier(n)
        found = []
        def first_use():
            barrier.wait()
            planes = dg.Game(4, 4).encode_spatial_planes()[0]
            try:
                dg.Board(4, 4).set_piece(0, 0, 0)
            except BaseException as exc:
                found.append((planes[0], planes[-1], type(exc)))
        threads = [threading.Thread(target=first_use) for _ in range(n)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(found), len({id(x) for f in found for x in f}),
              {(z, o, c.__name__) for z, o, c in found})
    """)
    threads = scaled(8)
    for _ in range(STRESS):
        out = subprocess.run([sys.executable, "-c", code, str(threads)], capture_output=True, text=True,
                             timeout=TIMEOUT)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == f"{threads} 3 {{(0.0, 1.0, 'PanicException')}}"
