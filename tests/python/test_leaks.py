"""Leaks: every method and every error path, run thousands of times, leaves the
traced memory, the resident size and the reference counts where they were.

Each case runs a warm-up, then N iterations (GRAVLINE_LEAK_ITERATIONS, default
3000), and is measured on its own. tracemalloc sees Python objects and NumPy
buffers; the resident size (from /proc/self/statm) sees what C++ allocates
with operator new, such as a game's move history, which tracemalloc does not.
The native cases use 32 x 32 games with long histories so that one lost buffer
per call adds up to megabytes. GRAVLINE_LEAK_REPORT=path writes the figures.
"""
import copy
import operator
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import drevik_gravline as dg
from drevik_gravline import Board, Game, Move

from leak_support import RSS_SLACK, TRACED_SLACK, growth_of, loop_of, measure, tracing

N = int(os.environ.get("GRAVLINE_LEAK_ITERATIONS", "3000"))


def caught(call):
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return exc
    return None


PANIC = type(caught(lambda: Game(7, 6).set_piece(0, 0, 0)))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    """__index__ raises a new `error`; a TypeError carries a cause, to be kept."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        if self.error is TypeError:
            raise TypeError("no") from KeyError("cause")
        raise self.error("no")


class Reenter:
    """__index__ calls `action` (which re-enters the object) and returns `value`;
    the inner failure is kept, or re-raised with `propagate`."""

    def __init__(self, action, value=0, propagate=False):
        self.action, self.value, self.propagate = action, value, propagate
        self.caught = None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.caught = str(exc)
            if self.propagate:
                raise
        return self.value


def play(game, cols):
    for c in cols:
        assert game.apply_action(c), c
    return game


def long_history(width, height):
    """A game that runs as long as a greedy player can keep anyone from winning,
    and its moves as columns."""
    g, cols, col = Game(width, height), [], 0
    while True:
        for step in range(width):
            c = (col + step * 5) % width
            trial = g.clone()
            if trial.apply_action(c) and not trial.is_over():
                break
        else:
            return g, cols
        g.apply_action(c)
        cols.append(c)
        col = (c * 7 + 3) % width


# ---- shared objects: every case uses these, and their counts are watched ----

LONG, LONG_COLS = long_history(32, 32)   # hundreds of moves of history
NP_FREE = np.int64(LONG.legal_action_indices()[0])  # a column of LONG with room
RUNNING = play(Game(7, 6), [3, 3, 4, 2])
WON = play(Game(7, 6), [0, 1, 0, 1, 0, 1, 0])
DRAWN = play(Game(4, 4), [3, 2, 1, 0, 2, 0, 0, 0, 3, 3, 1, 2, 3, 1, 2, 1])
BIG_BOARD = LONG.board()
BOARD = Board(7, 6)
MOVE, LEGAL, ILLEGAL = Move(3, 0), Move(5, 0), Move(3, 5)
WIN, DRAW = WON.outcome(), DRAWN.outcome()
_planes = Game(7, 6).encode_spatial_planes()[0]
ZERO, ONE = _planes[0], _planes[-1]    # the two floats every plane list shares
del _planes

rng = np.random.default_rng(0)
S = rng.standard_normal((64, 17, 6, 7), dtype=np.float32)
P = rng.standard_normal((64, 7), dtype=np.float32)
V = rng.standard_normal(64, dtype=np.float32)
M = (V > 0).astype(np.float32)
S_REVERSED = S[::-1, :, ::2, ::-1]     # negative and non-unit strides
S64, S_SWAPPED, P_LONG, P_WIDE = S.astype(np.float64), S.astype(">f4"), P[:-1], P[:, :6]
_z = np.zeros(1, np.float32)
HUGE = tuple(np.lib.stride_tricks.as_strided(_z, shape=s, strides=(0,) * len(s))
             for s in [(2**60, 1, 1, 1), (2**60, 1), (2**60,), (2**60, 1), (2**60,)])


def index_error_text(value):
    """The interpreter's own message for an object that is no integer (it changes between versions)."""
    try:
        operator.index(value)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{value!r} is an integer")


BIG, NEG, FLOAT, TEXT = 2**64, -1, 3.0, "3"
IDX3, NP3, BAD_IDX_T, BAD_IDX_V, BAD_IDX_R = (
    Index(3), np.int64(3), RaisingIndex(TypeError), RaisingIndex(ValueError), Index("x"))
# Reentrant arguments: each re-enters the object its call has borrowed.
WRITE_IN_READ = Reenter(lambda: RUNNING.set_piece(99, 0, 1), value=3)
READ_IN_WRITE = Reenter(lambda: RUNNING.turn(), value=99)
WRITE_IN_WRITE = Reenter(lambda: RUNNING.unmake_move(), value=99)
DECODE_IN_WRITE = Reenter(lambda: Move.decode(0, RUNNING), value=99)
HASH_IN_WRITE = Reenter(lambda: hash(RUNNING), value=99)
STR_IN_WRITE = Reenter(lambda: str(RUNNING), value=99)
BOARD_WRITE_IN_READ = Reenter(lambda: BOARD.clear(), value=2)
BOARD_READ_IN_WRITE = Reenter(lambda: BOARD.width(), value=99)
ESCAPING = Reenter(lambda: RUNNING.make_move(LEGAL), value=3, propagate=True)

WATCHED = dict(
    none=None, true=True, false=False, not_implemented=NotImplemented,
    **{f"int {i}": i for i in (-1, 0, 1, 2, 3, 6, 7, 17, 32, 99)},
    zero_float=ZERO, one_float=ONE,
    Game=Game, Board=Board, Move=Move, GameOutcome=type(WIN), PanicException=PANIC,
    TypeError=TypeError, ValueError=ValueError, OverflowError=OverflowError,
    RuntimeError=RuntimeError, KeyError=KeyError,
    LONG=LONG, RUNNING=RUNNING, WON=WON, DRAWN=DRAWN, BIG_BOARD=BIG_BOARD, BOARD=BOARD,
    MOVE=MOVE, LEGAL=LEGAL, ILLEGAL=ILLEGAL, WIN=WIN, DRAW=DRAW,
    S=S, P=P, V=V, M=M, S_REVERSED=S_REVERSED, S64=S64, S_SWAPPED=S_SWAPPED, P_LONG=P_LONG,
    P_WIDE=P_WIDE, **{f"HUGE {i}": a for i, a in enumerate(HUGE)},
    BIG=BIG, FLOAT=FLOAT, TEXT=TEXT, IDX3=IDX3, NP3=NP3, NP_FREE=NP_FREE, BAD_IDX_T=BAD_IDX_T,
    BAD_IDX_V=BAD_IDX_V, BAD_IDX_R=BAD_IDX_R, WRITE_IN_READ=WRITE_IN_READ,
    READ_IN_WRITE=READ_IN_WRITE, WRITE_IN_WRITE=WRITE_IN_WRITE, DECODE_IN_WRITE=DECODE_IN_WRITE,
    HASH_IN_WRITE=HASH_IN_WRITE, STR_IN_WRITE=STR_IN_WRITE,
    BOARD_WRITE_IN_READ=BOARD_WRITE_IN_READ, BOARD_READ_IN_WRITE=BOARD_READ_IN_WRITE,
    ESCAPING=ESCAPING,
)


def snapshot():
    """What a case must leave as it found it."""
    games = (LONG, RUNNING, WON, DRAWN)
    return [g.state_hash() for g in games], str(BOARD), str(BIG_BOARD)


# ---- cases: (name, call, expected exception and message or None, weight) ----
# A heavy case runs N // weight iterations.

def replay_long():
    g = Game(32, 32)
    for c in LONG_COLS:
        g.apply_action(c)


def make_unmake():
    RUNNING.make_move(LEGAL)
    RUNNING.unmake_move()


def apply_unmake():
    LONG.apply_action(LONG.legal_action_indices()[0])
    LONG.unmake_move()


def set_clear(target):
    """Sets an empty cell and empties it again."""
    c, r = next((c, r) for r in range(32) for c in range(32) if target.get_piece(c, r) is None)

    def call():
        target.set_piece(c, r, -1)
        target.set_piece(c, r, None)
    return call


def escaping_make():
    # The inner make_move is refused, and its RuntimeError escapes the outer call.
    RUNNING.get_piece(ESCAPING, 0)


def cmp_and_hash():
    return (MOVE == LEGAL, MOVE != LEGAL, MOVE == 3, WIN == DRAW, WIN != DRAW, WIN == 1, hash(MOVE))


SUCCESS = [
    ("Game() new and freed", lambda: Game(32, 32), None, 1),
    ("Game.standard", Game.standard, None, 1),
    ("replay of a long game", replay_long, None, 30),
    ("clone of a long game", LONG.clone, None, 1),
    ("board of a long game", LONG.board, None, 1),
    ("readers", lambda: (LONG.width(), LONG.height(), LONG.turn(), LONG.is_over(),
                         LONG.board_shape(), LONG.total_actions(), LONG.spatial_input_plane_count(),
                         LONG.global_input_feature_count(), LONG.reward_absolute(),
                         WON.reward_absolute(), LONG.outcome(), WON.outcome(), DRAWN.outcome()),
     None, 1),
    ("get_piece", lambda: (LONG.get_piece(0, 0), LONG.get_piece(IDX3, NP3), LONG.get_piece(99, 0),
                           LONG.get_piece(col=1, row=BIG - 1)), None, 1),
    ("set_piece and None", set_clear(LONG), None, 1),
    ("legal_moves and indices", lambda: (LONG.legal_moves(), LONG.legal_action_indices(),
                                         WON.legal_moves()), None, 1),
    ("is_legal_move", lambda: (RUNNING.is_legal_move(LEGAL), RUNNING.is_legal_move(ILLEGAL)), None, 1),
    ("make_move and unmake_move", make_unmake, None, 1),
    ("refused make_move and empty unmake", lambda: (RUNNING.make_move(ILLEGAL),
                                                    Game(4, 4).unmake_move()), None, 1),
    ("apply_action and unmake_move", apply_unmake, None, 1),
    ("decode_action", lambda: (LONG.decode_action(0), LONG.decode_action(BIG - 1)), None, 1),
    ("refused apply_action", lambda: (RUNNING.apply_action(99), WON.apply_action(5)), None, 1),
    ("reward_from_perspective", lambda: (WON.reward_from_perspective(1),
                                         WON.reward_from_perspective(-1),
                                         RUNNING.reward_from_perspective(0)), None, 1),
    ("encode_spatial_planes", LONG.encode_spatial_planes, None, 3),
    ("encode_global_state_features", LONG.encode_global_state_features, None, 1),
    ("hashes", lambda: (LONG.state_hash(), LONG.transposition_hash(), hash(LONG)), None, 1),
    ("str and repr of a game", lambda: (str(LONG), repr(LONG)), None, 1),
    ("Board() new and freed", lambda: Board(32, 32), None, 1),
    ("Board.standard", Board.standard, None, 1),
    ("board readers", lambda: (BIG_BOARD.width(), BIG_BOARD.height(), BIG_BOARD.get_piece(3, 0),
                               BIG_BOARD.is_board_full(), BIG_BOARD.is_column_full(3),
                               BIG_BOARD.column_height(3), BIG_BOARD.is_column_full(300)), None, 1),
    ("board set_piece and None", set_clear(BIG_BOARD), None, 1),
    ("board clear", lambda: LONG.board().clear(), None, 1),
    ("str and repr of a board", lambda: (str(BIG_BOARD), repr(BIG_BOARD)), None, 1),
    ("Move() and methods", lambda: (Move(IDX3, 2**64 - 1), MOVE.col(), MOVE.row(), MOVE.encode(),
                                    str(MOVE), repr(MOVE)), None, 1),
    ("Move.decode", lambda: (Move.decode(3, RUNNING), Move.decode(data=NP_FREE, game=LONG)), None, 1),
    ("comparisons and hash", cmp_and_hash, None, 1),
    ("pickle and copy", lambda: (pickle.loads(pickle.dumps(LONG)), pickle.loads(pickle.dumps(BIG_BOARD, 0)),
                                 pickle.loads(pickle.dumps([MOVE, WIN])), copy.copy(LONG),
                                 copy.deepcopy(BIG_BOARD), copy.copy(MOVE), copy.deepcopy(WIN)), None, 3),
    ("GameOutcome methods", lambda: (WIN.winner(), DRAW.winner(), WIN.encode_winner_absolute(),
                                     WIN.encode_winner_from_perspective(-1), DRAW.is_draw(),
                                     str(WIN), repr(DRAW)), None, 1),
    ("augment_symmetries", lambda: dg.augment_symmetries(S, P, V, P, M), None, 1),
    ("augment_symmetries strided", lambda: dg.augment_symmetries(
        S_REVERSED, P[::-1], V[::-1], P[::-1, ::-1], M[::-1]), None, 1),
]

MISSING_2 = "Game.__new__() missing 2 required positional arguments: 'width' and 'height'"
ERRORS = [
    # binding
    ("missing arguments of __new__", lambda: Game(), (TypeError, MISSING_2)),
    ("surplus positional of __new__", lambda: Board(7, 6, 5),
     (TypeError, "Board.__new__() takes 2 positional arguments but 3 were given")),
    ("unexpected keyword of __new__", lambda: Move(1, 2, depth=3),
     (TypeError, "Move.__new__() got an unexpected keyword argument 'depth'")),
    ("multiple values of __new__", lambda: Game(7, width=7),
     (TypeError, "Game.__new__() got multiple values for argument 'width'")),
    ("missing three of a method", lambda: RUNNING.set_piece(),
     (TypeError, "Game.set_piece() missing 3 required positional arguments: 'col', 'row', and 'piece'")),
    ("surplus positional of a method", lambda: BOARD.column_height(1, 2, 3),
     (TypeError, "Board.column_height() takes 1 positional arguments but 3 were given")),
    ("unexpected keyword of a method", lambda: RUNNING.get_piece(col=1, rows=2),
     (TypeError, "Game.get_piece() got an unexpected keyword argument 'rows'")),
    ("non-ASCII unexpected keyword", lambda: RUNNING.decode_action(**{"äction": 1}),
     (TypeError, "Game.decode_action() got an unexpected keyword argument 'äction'")),
    ("multiple values of a method", lambda: Move.decode(1, RUNNING, data=2),
     (TypeError, "Move.decode() got multiple values for argument 'data'")),
    ("argument to a no-argument method", lambda: RUNNING.turn(1), (TypeError, None)),
    ("augment_symmetries missing", lambda: dg.augment_symmetries(S, P),
     (TypeError, "augment_symmetries() missing 3 required positional arguments: "
                 "'values', 'opponent_policies', and 'opponent_policy_masks'")),
    # conversion
    ("negative unsigned", lambda: RUNNING.get_piece(NEG, 0),
     (OverflowError, "can't convert negative int to unsigned")),
    ("huge unsigned", lambda: LONG.decode_action(BIG), (OverflowError, "int too big to convert")),
    ("float unsigned", lambda: Game(FLOAT, 6),
     (TypeError, "argument 'width': 'float' object cannot be interpreted as an integer")),
    ("str unsigned", lambda: BOARD.column_height(TEXT),
     (TypeError, "argument 'col': 'str' object cannot be interpreted as an integer")),
    ("None unsigned", lambda: Move(0, None),
     (TypeError, "argument 'row': 'NoneType' object cannot be interpreted as an integer")),
    ("__index__ raises TypeError", lambda: RUNNING.apply_action(BAD_IDX_T),
     (TypeError, "argument 'action': no")),
    ("__index__ raises ValueError", lambda: BOARD.get_piece(0, BAD_IDX_V), (ValueError, "no")),
    ("__index__ returns a str", lambda: Move.decode(BAD_IDX_R, RUNNING),
     (TypeError, "argument 'data': " + index_error_text(BAD_IDX_R))),
    ("signed byte out of range", lambda: RUNNING.set_piece(0, 0, 128),
     (OverflowError, "out of range integral type conversion attempted")),
    ("signed byte beyond a C long", lambda: WON.reward_from_perspective(BIG),
     (OverflowError, "Python int too large to convert to C long")),
    ("signed byte not an integer", lambda: WIN.encode_winner_from_perspective(TEXT),
     (TypeError, "argument 'perspective': 'str' object cannot be interpreted as an integer")),
    ("cast rule", lambda: RUNNING.make_move(BOARD),
     (TypeError, "argument 'move_': 'Board' object is not an instance of 'Move'")),
    ("cast rule None", lambda: RUNNING.is_legal_move(None),
     (TypeError, "argument 'move_': 'None' is not an instance of 'Move'")),
    ("cast rule game", lambda: Move.decode(3, BOARD),
     (TypeError, "argument 'game': 'Board' object is not an instance of 'Game'")),
    ("foreign receiver", lambda: Game.width(BOARD), (TypeError, None)),
    # borrows
    ("writer inside a reader", lambda: RUNNING.get_piece(WRITE_IN_READ, 0), None),
    ("reader inside a writer", lambda: RUNNING.set_piece(READ_IN_WRITE, 0, 1), None),
    ("writer inside a writer", lambda: RUNNING.set_piece(0, WRITE_IN_WRITE, 1), None),
    ("decode inside a writer", lambda: RUNNING.apply_action(DECODE_IN_WRITE), None),
    ("hash inside a writer", lambda: RUNNING.set_piece(HASH_IN_WRITE, 0, 1), None),
    ("str inside a writer", lambda: RUNNING.set_piece(STR_IN_WRITE, 0, 1), None),
    ("board writer inside a reader", lambda: BOARD.is_column_full(BOARD_WRITE_IN_READ), None),
    ("board reader inside a writer", lambda: BOARD.set_piece(BOARD_READ_IN_WRITE, 0, -1), None),
    ("borrow error escaping the outer call", escaping_make, (RuntimeError, "Already borrowed")),
    # internal failures
    ("invalid player value", lambda: RUNNING.set_piece(0, 0, 0), (PANIC, "Invalid player value")),
    ("invalid board player value", lambda: BOARD.set_piece(0, 0, 2), (PANIC, "Invalid player value")),
    ("invalid perspective", lambda: WON.reward_from_perspective(0), (PANIC, "Invalid perspective")),
    ("unrecognized perspective", lambda: DRAW.encode_winner_from_perspective(2),
     (PANIC, "Unrecognized perspective")),
    ("augment result too large", lambda: dg.augment_symmetries(*HUGE),
     (PANIC, "augment_symmetries: the result is too large for a signed 64-bit size")),
    # values and sizes
    ("invalid move off the board", lambda: Move.decode(7, RUNNING), (ValueError, "invalid move")),
    ("invalid move full column", lambda: Move.decode(3, DRAWN), (ValueError, "invalid move")),
    ("width out of range", lambda: Game(300, 6), (ValueError, "Board width must be between 4 and 32")),
    ("damaged pickled state", lambda: dg._reconstruct(b"\x01B\x04\x04\x01\x00\x01\x00"),
     (ValueError, "invalid pickled state: a cell holds both colours")),
    ("pickled state not bytes", lambda: dg._reconstruct(TEXT),
     (TypeError, "argument 'data': 'str' object is not an instance of 'bytes'")),
    ("height out of range", lambda: Board(7, 33),
     (ValueError, "Board height must be between 4 and 32")),
    # augment refusals
    ("augment float64", lambda: dg.augment_symmetries(S64, P, V, P, M),
     (TypeError, "argument 'states': expected a float32 array of 4 dimensions, "
                 "got a float64 array of 4 dimensions")),
    ("augment byte-swapped", lambda: dg.augment_symmetries(S_SWAPPED, P, V, P, M),
     (TypeError, "argument 'states': expected a float32 array of 4 dimensions, "
                 "got a >f4 array of 4 dimensions")),
    ("augment not an array", lambda: dg.augment_symmetries(S, P, V, P, TEXT),
     (TypeError, "argument 'opponent_policy_masks': 'str' object is not an instance of 'ndarray'")),
    ("augment None", lambda: dg.augment_symmetries(S, None, V, P, M),
     (TypeError, "argument 'policies': 'None' is not an instance of 'ndarray'")),
    ("augment batch", lambda: dg.augment_symmetries(S, P_LONG, V, P, M),
     (ValueError, "all inputs must have the same batch dimension")),
    ("augment width", lambda: dg.augment_symmetries(S, P, V, P_WIDE, M),
     (ValueError, "gravline policies must have one action per column")),
    # the interpreter's own refusals of our classes
    ("moves are not ordered", lambda: MOVE < LEGAL, (TypeError, None)),
    ("outcomes are unhashable", lambda: hash(WIN), (TypeError, None)),
    ("GameOutcome() refused", lambda: type(WIN)(), (TypeError, None)),
]

# What the inner call of each reentrant case meets.
REENTRY = {
    "writer inside a reader": (WRITE_IN_READ, "Already borrowed"),
    "reader inside a writer": (READ_IN_WRITE, "Already mutably borrowed"),
    "writer inside a writer": (WRITE_IN_WRITE, "Already borrowed"),
    "decode inside a writer": (DECODE_IN_WRITE, "Already mutably borrowed"),
    "hash inside a writer": (HASH_IN_WRITE, "Already mutably borrowed"),
    "str inside a writer": (STR_IN_WRITE, "Already mutably borrowed"),
    "board writer inside a reader": (BOARD_WRITE_IN_READ, "Already borrowed"),
    "board reader inside a writer": (BOARD_READ_IN_WRITE, "Already mutably borrowed"),
}

CASES = SUCCESS + [(name, call, expected, 1) for name, call, expected in ERRORS]


FIGURES = []


@pytest.fixture(scope="module", autouse=True)
def traced():
    with tracing():
        yield
    path = os.environ.get("GRAVLINE_LEAK_REPORT")
    if path:
        with open(path, "w") as f:
            f.write("case\titerations\ttraced before\ttraced after\trss before\trss after\tattempts\n")
            for row in FIGURES:
                f.write("\t".join(map(str, row)) + "\n")


def check_once(name, call, expected):
    """The case does what its name says before it is repeated."""
    if name in REENTRY:
        REENTRY[name][0].caught = None
    exc = caught(call)
    if expected is None:
        assert exc is None, exc
    else:
        assert type(exc) is expected[0], exc
        if expected[1] is not None:
            assert str(exc) == expected[1]
    if name in REENTRY:
        assert REENTRY[name][0].caught == REENTRY[name][1]


@pytest.mark.parametrize("name, call, expected, weight", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow_memory_or_counts(name, call, expected, weight):
    before = snapshot()
    check_once(name, call, expected)
    n = max(N // weight, 100)
    grown = growth_of(loop_of(call, None if expected is None else expected[0]), n, WATCHED)
    FIGURES.append((name, n, grown.traced_0, grown.traced_1, grown.rss_0, grown.rss_1, grown.attempts))
    assert snapshot() == before
    grown.check()


def test_the_measure_sees_a_python_leak_and_a_native_leak():
    """Without this the test above could pass by looking at nothing."""
    import ctypes

    kept = []
    *_, traced_0, traced_1, _, _ = measure(lambda: kept.append(Move(1, 2)), N, WATCHED)
    assert traced_1 - traced_0 >= TRACED_SLACK
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    blocks = []

    def native():
        p = libc.malloc(2048)
        ctypes.memset(p, 1, 2048)
        blocks.append(p)
    # Free pages that earlier tests left in the heap would take the blocks
    # without growing the resident size: they go back to the system first.
    libc.malloc_trim(0)
    *_, rss_0, rss_1 = measure(native, N, WATCHED)
    for p in blocks:
        libc.free(ctypes.c_void_p(p))
    assert rss_1 - rss_0 >= RSS_SLACK or N < 1000


def test_the_check_sees_a_leaked_reference_but_not_a_stray_one():
    watched = {"none": None, "move": Move(1, 2)}
    kept = []
    grown = growth_of(lambda: kept.append(watched["move"]), 400, watched)
    assert grown.moved["move"] >= 400
    with pytest.raises(AssertionError, match="reference counts moved"):
        grown.check()
    kept.clear()
    # One reference taken over the whole run, as the session's own doings can.
    stray = grown._replace(moved={"none": -1}, traced_0=0, traced_1=0, rss_0=0, rss_1=0)
    stray.check()


def test_failed_numpy_import_does_not_leak():
    child = textwrap.dedent(f"""
        import gc, sys, tracemalloc
        from array import array
        from itertools import repeat

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(name, name=name)

        sys.meta_path.insert(0, NoNumpy())
        import drevik_gravline as dg
        args = (1, 2, 3, 4, 5)

        def call():
            try:
                dg.augment_symmetries(*args)
            except ImportError:
                pass

        tracemalloc.start()
        for _ in repeat(None, 200):
            call()
        gc.collect()
        watched = args + (ImportError, ModuleNotFoundError)
        counts = array("q", (sys.getrefcount(a) for a in watched))
        before = tracemalloc.get_traced_memory()[0]
        for _ in repeat(None, {max(N // 5, 100)}):
            call()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
        print(after - before, counts == array("q", (sys.getrefcount(a) for a in watched)))
    """)
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                         timeout=300, env=os.environ.copy())
    assert out.returncode == 0, out.stderr
    growth, counts_equal = out.stdout.split()
    assert int(growth) < TRACED_SLACK and counts_equal == "True"
