"""GameBatch and encode_games over time: repeated calls and error paths leave
the traced memory, the resident size and the reference counts where they were,
and a batch's storage is what tracemalloc counts. (After test_leaks.py in the
run order, whose own check of the measure wants an allocator that has not yet
handed out and freed megabytes.)"""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from drevik_gravline import Game
from drevik_gravline_batch import GameBatch, encode_games

from leak_support import growth_of, loop_of

N = int(os.environ.get("GRAVLINE_LEAK_ITERATIONS", "3000")) // 3
TIMEOUT = 60


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


@pytest.mark.parametrize("name, call, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow_memory_or_counts(traced, name, call, error):
    growth_of(loop_of(call, error), N, WATCHED, warmup=100).check()


def test_batch_storage_is_traced_and_small():
    # In a child process: freeing megabytes here would raise the allocator's
    # threshold for mapping blocks of their own, and later tests that watch
    # the resident size would see reused memory instead of new pages.
    child = textwrap.dedent("""
        import tracemalloc
        from drevik_gravline_batch import GameBatch
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        b = GameBatch(100_000, 7, 6)
        held = tracemalloc.get_traced_memory()[0] - before
        del b
        print(held, tracemalloc.get_traced_memory()[0] - before)
    """)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    held, freed = map(int, done.stdout.split())
    assert 60 * 100_000 <= held <= 96 * 100_000
    assert freed < 4096
