"""Self-play on a local Ray cluster of 2 CPUs against one local process running
the same generator: games per second with 2 workers (the records back through
the caller, or written by the workers into a folder), then the fixed cost of a
run and of a shard, and what the calling process spends on each game's records
that come back (unpickling them, then joining them in game order). The cluster
is started before anything is timed, and the process stays connected to it, so
its start is in no figure. Wall-clock time, interleaved repetitions, medians.

    PYTHONPATH=<dir holding the modules> python3 bench/bench_ray.py [--reps N]

Without Ray installed its rows say so. It only measures; it never passes or fails.
"""

import argparse
import os
import pickle
import sys
import time

from common import Row, median, table

GAMES = 100_000      # the throughput run: about a second of play on one core
FEW = 2              # the fixed-cost runs: a game per shard
MANY_SHARDS = 64


def wall(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def start_cluster():
    # The cluster stays on the loopback address, sends no usage statistics and
    # leaves no authentication token in the home folder; set before Ray loads.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    os.environ.setdefault("RAY_AUTH_MODE", "disabled")
    import logging

    import ray

    ray.init(num_cpus=2, include_dashboard=False, logging_level=logging.WARNING)
    return ray


def measure(reps):
    """Medians of wall time per call for each case, and the positions of the
    throughput run."""
    import shutil
    import tempfile
    from pathlib import Path

    import drevik_gravline_batch as batch
    from drevik_gravline_tools.ray_runner import self_play_ray, self_play_ray_to_folder

    ray = start_cluster()
    folders = Path(tempfile.mkdtemp(prefix="bench-ray-"))
    made = [0]

    def to_folder():
        # Shards written by the workers, as many as the default run makes.
        made[0] += 1
        self_play_ray_to_folder(folders / str(made[0]), GAMES, 7, 6, shard_games=GAMES // 8)
        shutil.rmtree(folders / str(made[0]))

    try:
        half = batch.self_play(GAMES // 2, 7, 6)
        pickled = pickle.dumps(half, protocol=5)
        cases = {
            "local": lambda: batch.self_play(GAMES, 7, 6, threads=1),
            "ray": lambda: self_play_ray(GAMES, 7, 6),
            "ray folder": to_folder,
            "return": lambda: batch.Records.concat([pickle.loads(pickled), pickle.loads(pickled)]),
            "local few": lambda: batch.self_play(FEW, 7, 6, threads=1),
            "ray few": lambda: self_play_ray(FEW, 7, 6, shards=FEW),
            "ray many": lambda: self_play_ray(MANY_SHARDS, 7, 6, shards=MANY_SHARDS),
        }
        # The first runs start the worker processes and load the modules in them.
        if self_play_ray(GAMES, 7, 6) != batch.self_play(GAMES, 7, 6):
            raise AssertionError("the Ray run differs from the local one")
        self_play_ray(MANY_SHARDS, 7, 6, shards=MANY_SHARDS)
        positions = len(batch.self_play(GAMES, 7, 6))
        samples = {name: [] for name in cases}
        names = list(cases)
        for rep in range(reps):
            for name in names if rep % 2 == 0 else reversed(names):
                samples[name].append(wall(cases[name]))
        return {name: median(s) for name, s in samples.items()}, positions
    finally:
        ray.shutdown()
        shutil.rmtree(folders, ignore_errors=True)


def suite_rows(reps=21):
    """Rows of the suite's table, and a note with games and positions per second."""
    try:
        import ray  # noqa: F401
    except ImportError:
        note = f"not installed for CPython {sys.version_info[0]}.{sys.version_info[1]}"
        return [Row("self-play on Ray, 2 workers, 7x6 tactical, per game", None,
                    "one local process", None, note=f"Ray {note}")], f"Ray rows left out: Ray {note}"
    reps = max(3, reps // 4)     # a repetition takes seconds
    med, positions = measure(reps)
    per_shard = (med["ray many"] - med["ray few"]) / (MANY_SHARDS - FEW)
    rows = [
        Row("self-play on Ray, 2 workers, 7x6 tactical, per game", med["ray"] / GAMES,
            "one local process, 1 thread", med["local"] / GAMES),
        Row("self-play on Ray to a folder, each worker writing its shards, per game", med["ray folder"] / GAMES,
            "the records back through the caller", med["ray"] / GAMES),
        Row("self-play on Ray, the caller's unpickling and joining, per game",
            med["return"] / GAMES, "playing it in one process", med["local"] / GAMES),
        Row(f"self-play on Ray, fixed cost of a run ({FEW} games in {FEW} shards)", med["ray few"],
            f"the same {FEW} games in one local call", med["local few"]),
        Row("self-play on Ray, cost of one more shard (of one game)", per_shard,
            "one local game", med["local few"] / FEW),
    ]
    note = (f"{GAMES} games, {positions / GAMES:.1f} positions a game: "
            f"{GAMES / med['ray']:,.0f} games/s on Ray (default shards: 8), "
            f"{GAMES / med['local']:,.0f} in one process; "
            f"wall time, medians of {reps} interleaved repetitions on a local cluster of 2 CPUs "
            f"started beforehand; the shard cost is the slope from {FEW} to {MANY_SHARDS} shards")
    return rows, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=21, help="repetitions, a quarter of them used")
    args = parser.parse_args()
    rows, note = suite_rows(args.reps)
    print(f"CPython {sys.version.split()[0]}; {note}")
    print(table(rows))


if __name__ == "__main__":
    main()
