"""Self-play records: the C++ generator against a Python tactical policy, its
thread scaling, expanding a minibatch against a plain copy of the same bytes,
and the bytes a 7x6 position takes compact and dense.

  generation  gb.self_play(n, 7, 6) (tactical, one thread) against the tactical
              policy of the former examples/self_play.py, written in Python over
              Game (each position's planes and targets as float32 arrays too),
              and against today's example, a NumPy network over GameBatch
  threads     the same run on two threads against one, wall-clock time, and
              beside it two one-thread runs of half the games at once
  expand      Records.expand of 1,024 random records with mirroring into
              out= arrays, against np.copyto of as many bytes
  bytes       per position, in memory and in a compressed .npz file

Usage: python bench/bench_records.py [--reps N]
"""

import argparse
import importlib.util
import io
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import drevik_gravline as dg
import drevik_gravline_batch as gb
from common import Row, interleaved, median

ROOT = Path(__file__).resolve().parents[1]


# ---- the Python tactical policy of the former example, as it was ----

def _wins_now(game, action):
    mover = game.turn()
    game.apply_action(action)
    won = game.reward_from_perspective(mover) > 0.0
    game.unmake_move()
    return won


def candidate_actions(game):
    legal = game.legal_action_indices()
    wins = [a for a in legal if _wins_now(game, a)]
    if wins:
        return wins
    threats = []
    for a in legal:
        probe = next((b for b in legal if b != a), None)
        if probe is None:
            break
        game.apply_action(probe)
        if _wins_now(game, a):
            threats.append(a)
        game.unmake_move()
    return threats or legal


def python_tactical_game(width, height, rng):
    """One game as the former example played and recorded it."""
    game = dg.Game(width, height)
    planes, policies, movers = [], [], []
    while not game.is_over():
        flat, count, rows, cols = game.encode_spatial_planes()
        planes.append(np.array(flat, dtype=np.float32).reshape(count, rows, cols))
        candidates = candidate_actions(game)
        policy = np.zeros(width, dtype=np.float32)
        policy[candidates] = 1.0 / len(candidates)
        policies.append(policy)
        movers.append(game.turn())
        game.apply_action(rng.choice(candidates))
    values = np.array([game.reward_from_perspective(m) for m in movers], dtype=np.float32)
    return np.stack(planes), np.stack(policies), values


def load_example():
    spec = importlib.util.spec_from_file_location("self_play_example", ROOT / "examples" / "self_play.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules["self_play_example"] = module
    spec.loader.exec_module(module)
    return module


# ---- measurements ----

def generation(reps):
    import random

    rng = random.Random(0)
    example = load_example()
    net = example.TinyNetwork(7, 6)
    cases = {
        "ours": lambda n: gb.self_play(n, 7, 6, seed=n),
        "python": lambda n: [python_tactical_game(7, 6, rng) for _ in range(n)],
        "example": lambda n: example.play_batch(net, 0, max(n, 128), 7, 6, 0) if n else None,
    }
    samples = interleaved(cases, reps, target_s=0.05)
    # The example plays a whole batch of 128 however small n is: per game below.
    example_per_game = []
    for _ in range(max(3, reps // 4)):
        start = time.process_time()
        example.play_batch(net, 0, 128, 7, 6, 0)
        example_per_game.append((time.process_time() - start) / 128)
    return median(samples["ours"]), median(samples["python"]), statistics.median(example_per_game)


def thread_scaling(reps, games=40_000):
    """Median wall-clock seconds per game on one thread, on two, and for two
    one-thread runs of half the games each at once (what two threads give with
    nothing shared: the machine's ceiling for the two-thread run), interleaved."""
    from concurrent.futures import ThreadPoolExecutor

    helper = ThreadPoolExecutor(1)
    half = games // 2

    def pair(seed):
        other = helper.submit(gb.self_play, games - half, 7, 6, seed=seed, first_game=half)
        gb.self_play(half, 7, 6, seed=seed)
        other.result()

    times = {1: [], 2: [], "pair": []}
    gb.self_play(1000, 7, 6)
    for rep in range(reps):
        for t in (1, 2, "pair") if rep % 2 == 0 else ("pair", 2, 1):
            start = time.perf_counter()
            if t == "pair":
                pair(rep)
            else:
                gb.self_play(games, 7, 6, threads=t, seed=rep)
            times[t].append((time.perf_counter() - start) / games)
    helper.shutdown()
    return statistics.median(times[1]), statistics.median(times[2]), statistics.median(times["pair"])


def expand_vs_copy(reps, batch=1024):
    pool = gb.self_play(20_000, 7, 6)
    rng = np.random.default_rng(0)
    indices = rng.integers(0, len(pool), batch)
    out = pool.expand(indices, mirror=True)
    nbytes = sum(a.nbytes for a in out.values())
    src = np.ones(nbytes // 4, np.float32)
    dst = np.empty_like(src)

    def ours(n):
        for _ in range(n):
            pool.expand(indices, mirror=True, out=out)

    def fresh(n):
        for _ in range(n):
            pool.expand(indices, mirror=True)

    def copy(n):
        for _ in range(n):
            np.copyto(dst, src)

    samples = interleaved({"ours": ours, "fresh": fresh, "copy": copy}, reps)
    return median(samples["ours"]), median(samples["fresh"]), median(samples["copy"]), nbytes


def bytes_per_position(games=2000):
    r = gb.self_play(games, 7, 6)
    n = len(r)
    compact = sum(a.nbytes for a in r.arrays().values()) / n
    dense_rows = r.expand()
    dense = sum(a.nbytes for a in dense_rows.values()) / n
    compact_file = io.BytesIO()
    np.savez_compressed(compact_file, **r.arrays())
    dense_file = io.BytesIO()
    np.savez_compressed(dense_file, **dense_rows)
    return compact, dense, len(compact_file.getvalue()) / n, len(dense_file.getvalue()) / n


def suite_rows(reps=21):
    """Rows of the suite's table."""
    ours, python, example = generation(reps)
    one, two, pair = thread_scaling(max(15, reps))
    expand_out, expand_fresh, copy, nbytes = expand_vs_copy(reps)
    compact, dense, compact_file, dense_file = bytes_per_position()
    rows = [
        Row("tactical self-play 7x6, C++ generator, per game", ours,
            "Python tactical policy (former example)", python, goal=1 / 50, goal_text="≥ 50x faster (≤ 0.02)"),
        Row("tactical self-play 7x6, C++ generator, per game", ours,
            "example: NumPy network on GameBatch", example),
        Row("self_play threads=2, wall time per game", two, "threads=1", one,
            goal=1 / 1.7, goal_text="≥ 1.7x faster (≤ 0.59)"),
        Row("the machine's ceiling: two one-thread runs of half the games at once", pair, "threads=1", one),
        Row(f"expand 1,024 records + mirrors into out= ({nbytes / 1e6:.1f} MB)", expand_out,
            "np.copyto of as many bytes", copy, goal=2.0, goal_text="≤ 2x copy"),
        Row("expand 1,024 records + mirrors, new arrays", expand_fresh, "np.copyto of as many bytes", copy),
        Row("bytes per 7x6 position in memory, compact record", compact, "dense float32 arrays", dense,
            unit="B"),
        Row("bytes per 7x6 position in a compressed .npz, compact", compact_file, "dense float32 arrays",
            dense_file, unit="B"),
    ]
    note = ("records: CPU time of the process, medians of interleaved repetitions; the thread row is "
            "wall-clock time on a machine whose other load also shows in it")
    return rows, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=9)
    args = parser.parse_args()
    from common import table

    rows, note = suite_rows(args.reps)
    print(table(rows))
    print(f"- {note}")


if __name__ == "__main__":
    main()
