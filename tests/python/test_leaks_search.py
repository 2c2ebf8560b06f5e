"""Search and self_play_search over time: repeated calls and their error paths
leave the traced memory, the resident size and the reference counts where
they were."""
import os

import numpy as np
import pytest

from drevik_gravline import Game
from drevik_gravline_batch import Records, Search, self_play_search

from leak_support import growth_of, loop_of

N = int(os.environ.get("GRAVLINE_LEAK_ITERATIONS", "3000")) // 6

ROOTS = [Game(7, 6) for _ in range(4)]
FINISHED = Game(7, 6)
for c in [0, 1, 0, 1, 0, 1, 0]:
    FINISHED.apply_action(c)
LOGITS = np.zeros((8, 7), np.float32)
VALUES = np.zeros(8, np.float32)
BAD_VALUES = np.full(8, 2.0, np.float32)
BUFFER = np.zeros((8, 17, 6, 7), np.float32)
V2 = self_play_search(2, 7, 6, evaluate="rollout", simulations=8, seed=1)
V2_ARRAYS = V2.arrays()


def canned(planes, mask):
    return LOGITS[: len(planes)], VALUES[: len(planes)]


def failing(planes, mask):
    raise KeyError("no network")


def loop_by_hand():
    s = Search(ROOTS, simulations=6, leaves_per_step=2, dirichlet_fraction=0.0)
    while not s.done():
        planes, mask = s.select(out=BUFFER)
        s.expand(LOGITS[: len(planes)], VALUES[: len(planes)])
    s.advance(s.best_actions())
    return s.visit_counts(), s.policy(), s.root_values(), s.sample_actions(1.0, 3), s.stopped()


def bad_values():
    s = Search(ROOTS, simulations=4)
    s.select()
    s.expand(LOGITS[:4], BAD_VALUES[:4])


def select_twice():
    s = Search(ROOTS, simulations=4)
    s.select()
    s.select()


WATCHED = dict(ROOTS=ROOTS, FINISHED=FINISHED, LOGITS=LOGITS, VALUES=VALUES, BUFFER=BUFFER, V2=V2,
               canned=canned, failing=failing, Search=Search, none=None,
               **{f"root {i}": g for i, g in enumerate(ROOTS)}, **{f"v2 {k}": v for k, v in V2_ARRAYS.items()})

CASES = [
    ("rollout search", lambda: Search(ROOTS, simulations=16, threads=2).run("rollout"), None),
    ("gumbel with a callable", lambda: Search(ROOTS, simulations=8, algorithm="gumbel").run(canned), None),
    ("select and expand by hand", loop_by_hand, None),
    ("self_play_search", lambda: self_play_search(1, 7, 6, evaluate=canned, simulations=4), None),
    ("version 2 round trip", lambda: (Records.from_arrays(7, 6, **V2_ARRAYS), V2.expand(mirror=True)), None),
    ("evaluate raises", lambda: Search(ROOTS, simulations=4).run(failing), KeyError),
    ("finished root", lambda: Search([FINISHED], simulations=4), ValueError),
    ("values out of range", bad_values, ValueError),
    ("select twice", select_twice, RuntimeError),
    ("bad keyword", lambda: Search(ROOTS, simulation=4), TypeError),
]


@pytest.mark.parametrize("name, call, error", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_do_not_grow_memory_or_counts(traced, name, call, error):
    growth_of(loop_of(call, error), N, WATCHED, warmup=50).check()
