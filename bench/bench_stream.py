"""Runs streamed to a folder of shards, and the replay buffer over them.

  streamed    self_play_to_folder of a 7x6 tactical run (1M positions in shards
              of 2^18, written while the next is played) against the same run
              held in memory by gb.self_play, one playing thread each: CPU
              time per position of the process (the writer thread included),
              and wall-clock time
  fresh       one run of 400,000 games (10M positions) in a fresh process, as
              the job runs: the run held in memory faults in all of its fields
              afresh, where the streamed run reuses a shard's blocks
  peak        peak resident memory of a 20x longer streamed run in a fresh
              process, against the in-memory run of that length
  replay      ReplayBuffer.sample(1024, mirror=True, out=...) from a window of
              10M positions in memory-mapped shards on disk (and with
              load=True, read into memory), against
              Records.expand of 1,024 random records + mirrors from the same
              records held in memory

Usage: python bench/bench_stream.py [--reps N] [--window POSITIONS]
"""

import argparse
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

import drevik_gravline_batch as gb
from common import Row, interleaved, median
from drevik_gravline_tools import shards
from drevik_gravline_tools.replay import ReplayBuffer

# Games of a 7x6 tactical run of about a million positions.
RUN_GAMES = 40_000


def streamed_vs_memory(reps, folder):
    count = [0]

    def streamed(number):
        for _ in range(number):
            count[0] += 1
            shards.self_play_to_folder(folder / f"run{count[0]}", RUN_GAMES, 7, 6, seed=1,
                                       shard_positions=1 << 18)
        # The folders of the runs before are removed outside the timed part.
        for old in range(1, count[0] - number + 1):
            shutil.rmtree(folder / f"run{old}", ignore_errors=True)

    def memory(number):
        for _ in range(number):
            gb.self_play(RUN_GAMES, 7, 6, seed=1)

    positions = len(gb.self_play(RUN_GAMES, 7, 6, seed=1))
    samples = interleaved({"streamed": streamed, "memory": memory}, reps, target_s=0.2)
    # Wall-clock time too: the writer works on a core the one playing thread
    # leaves free, which CPU time does not show.
    wall = {"streamed": [], "memory": []}
    for rep in range(reps):
        for name, fn in sorted({"streamed": streamed, "memory": memory}.items(), reverse=rep % 2 == 1):
            start = time.perf_counter()
            fn(1)
            wall[name].append(time.perf_counter() - start)
    return (median(samples["streamed"]) / positions, median(samples["memory"]) / positions,
            median(wall["streamed"]) / positions, median(wall["memory"]) / positions)


PEAK = textwrap.dedent("""
    import resource, sys
    import drevik_gravline_batch as gb
    from drevik_gravline_tools import shards
    games = int(sys.argv[2])
    if sys.argv[1] == "-":
        r = gb.self_play(games, 7, 6, seed=1, threads=2)
    else:
        shards.self_play_to_folder(sys.argv[1], games, 7, 6, seed=1, threads=2, shard_positions=1 << 18)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
""")


FRESH = textwrap.dedent("""
    import sys, time
    import drevik_gravline_batch as gb
    from drevik_gravline_tools import shards
    games = int(sys.argv[2])
    wall, cpu = time.perf_counter(), time.process_time()
    if sys.argv[1] == "-":
        n = len(gb.self_play(games, 7, 6, seed=1))
    else:
        n = sum(e["records"] for e in shards.self_play_to_folder(sys.argv[1], games, 7, 6, seed=1)["shards"])
    print(n, time.perf_counter() - wall, time.process_time() - cpu)
""")


def fresh_runs(folder, games, reps):
    """Seconds per position of one run in a fresh process (as the job runs
    it), wall-clock and CPU, streamed and held in memory, medians."""
    got = {"streamed": [], "memory": []}
    for rep in range(reps):
        for name in ("streamed", "memory") if rep % 2 == 0 else ("memory", "streamed"):
            target = str(folder / "fresh") if name == "streamed" else "-"
            done = subprocess.run([sys.executable, "-c", FRESH, target, str(games)], capture_output=True,
                                  text=True, check=True)
            n, wall, cpu = done.stdout.split()
            got[name].append((float(wall) / int(n), float(cpu) / int(n)))
            shutil.rmtree(folder / "fresh", ignore_errors=True)
    pick = lambda name, k: median([x[k] for x in got[name]])
    return pick("streamed", 0), pick("memory", 0), pick("streamed", 1), pick("memory", 1)


def peak_rss(folder, games):
    def run(target):
        done = subprocess.run([sys.executable, "-c", PEAK, target, str(games)], capture_output=True, text=True,
                              check=True)
        return int(done.stdout.split()[-1])

    streamed = run(str(folder / "peak"))
    shutil.rmtree(folder / "peak")
    return streamed, run("-")


def replay_vs_expand(reps, folder, window):
    # About 25.5 positions a game; the run is written with two threads.
    games = int(window / 25.5) + 1000
    run = folder / "window"
    manifest = shards.self_play_to_folder(run, games, 7, 6, seed=2, threads=2)
    buffer = ReplayBuffer(run, window=window, seed=0)
    loaded = ReplayBuffer(run, window=window, seed=0, load=True)
    records = gb.Records.concat([gb.Records.load(run / e["file"]) for e in manifest["shards"]])
    records = records[len(records) - len(buffer):]
    rng = np.random.default_rng(0)
    out = records.expand(np.arange(1024), mirror=True)

    def draw(number):
        for _ in range(number):
            buffer.sample(1024, mirror=True, out=out)

    def draw_loaded(number):
        for _ in range(number):
            loaded.sample(1024, mirror=True, out=out)

    def expand(number):
        for _ in range(number):
            records.expand(rng.integers(0, len(records), 1024), mirror=True, out=out)

    samples = interleaved({"draw": draw, "loaded": draw_loaded, "expand": expand}, reps)
    return (median(samples["draw"]), median(samples["loaded"]), median(samples["expand"]), len(buffer),
            len(manifest["shards"]))


def suite_rows(reps=9, window=10_000_000):
    """Rows of the suite's table."""
    folder = Path(tempfile.mkdtemp(prefix="bench-stream-"))
    try:
        streamed, memory, streamed_wall, memory_wall = streamed_vs_memory(reps, folder)
        peak_streamed, peak_memory = peak_rss(folder, 20 * RUN_GAMES)
        fresh_wall, memory_fresh_wall, fresh_cpu, memory_fresh_cpu = fresh_runs(folder, 10 * RUN_GAMES,
                                                                                 max(3, reps // 2))
        draw, loaded, expand, size, files = replay_vs_expand(reps, folder, window)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    rows = [
        Row("streamed 7x6 tactical run to shards, per position", streamed, "the run held in memory", memory,
            goal=1.25, goal_text="≥ 80% of its positions/s (≤ 1.25)"),
        Row("the same, wall-clock time (one playing thread, the writer beside it)", streamed_wall,
            "the run held in memory", memory_wall, goal=1.25, goal_text="≥ 80% of its positions/s (≤ 1.25)"),
        Row(f"one streamed run of {10 * RUN_GAMES:,} games in a fresh process, wall-clock per position",
            fresh_wall, "the run held in memory", memory_fresh_wall, goal=1.25,
            goal_text="≥ 80% of its positions/s (≤ 1.25)"),
        Row("the same, CPU time per position", fresh_cpu, "the run held in memory", memory_fresh_cpu),
        Row(f"peak RSS of a streamed run of {20 * RUN_GAMES:,} games", peak_streamed,
            "the run held in memory", peak_memory, unit="B"),
        Row(f"ReplayBuffer.sample 1,024 + mirrors, window of {size:,} positions in {files} mapped shards",
            draw, "Records.expand of 1,024 + mirrors from records in memory", expand,
            goal=2.0, goal_text="≤ 2x"),
        Row("the same with ReplayBuffer(load=True): the shards read into memory", loaded,
            "Records.expand of 1,024 + mirrors from records in memory", expand, goal=2.0, goal_text="≤ 2x"),
    ]
    note = ("stream: CPU time of the process (the shard writer's thread included), medians of interleaved "
            "repetitions; peak resident memory from fresh processes with two threads")
    return rows, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=9)
    parser.add_argument("--window", type=int, default=10_000_000)
    args = parser.parse_args()
    from common import table

    rows, note = suite_rows(args.reps, args.window)
    print(table(rows))
    print(f"- {note}")


if __name__ == "__main__":
    main()
