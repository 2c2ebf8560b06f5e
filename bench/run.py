"""The whole benchmark suite in one run, reported as one table: each workload,
our time (or memory) per operation, the baseline's, their ratio, and the goal
where we set one. The table goes to stdout and to bench/latest.md.

    python bench/run.py [--engine-bench build/bench-engine/engine_bench] [--quick]

bench/run.sh prepares everything first (the virtual environment with the peer
engines, the C++ benchmark binary) and then runs this. Without --engine-bench
the C++ rows are left out. Every figure comes from a measurement of this run.
It only measures; "met?" reports, nothing fails.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import bench_batch
import bench_calls
import bench_memory
import bench_planes
import bench_ray
import bench_records
import bench_search
import bench_selfplay
import bench_stream
import bench_symmetry
from common import Row, table

HERE = Path(__file__).resolve().parent


def version(dist):
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "not installed"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def describe():
    try:
        commit = subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return [
        f"{datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}, commit {commit}",
        f"CPython {sys.version.split()[0]}; numpy {version('numpy')}, "
        f"open-spiel {version('open-spiel')}, pettingzoo {version('pettingzoo')}, "
        f"pgx {version('pgx')}, jax {version('jax')}",
        f"{cpu_model()}, {os.cpu_count()} CPUs, load average {load} at the start",
    ]


def engine_rows(binary, reps):
    """The C++ rows, from the benchmark binary's JSON: medians of CPU time."""
    cmd = [binary, "--benchmark_format=json", f"--benchmark_repetitions={reps}",
           "--benchmark_enable_random_interleaving=true",
           "--benchmark_report_aggregates_only=true"]
    out = json.loads(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    med = {}
    for b in out["benchmarks"]:
        if b.get("aggregate_name") == "median":
            med[b["run_name"]] = (b["cpu_time"] * scale[b["time_unit"]], b["plies"])
    floor_game, floor_plies = med["playout/floor/7x6"]
    floor_ply = floor_game / floor_plies
    base = "C++ one-word floor 7x6"
    rows = [Row("C++ random playout 7x6 (NW=1), per game", med["playout/engine/7x6"][0],
                base, floor_game, goal=1.5, goal_text="≤ 1.5x floor")]
    for name, label in (("9x8", "9x8 (NW=2)"), ("32x32", "32x32 (NW=16)")):
        game, plies = med[f"playout/engine/{name}"]
        rows.append(Row(f"C++ random playout {label}, per move ({plies:.0f} moves a game)",
                        game / plies, base + ", per move", floor_ply))
    rows.append(Row("C++ random playout 7x6 on a new Game each time, per game",
                    med["playout/engine_new_game/7x6"][0], base, floor_game))
    return rows, (f"C++: medians of {reps} repetitions in random order, CPU time; the floor and "
                  f"NW=1 play the same games (the binary checks this before timing)")


def labelled(name, result):
    rows, note = result
    return rows, f"{name}: {note}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--engine-bench", help="the engine_bench binary; without it no C++ rows")
    parser.add_argument("--quick", action="store_true", help="fewer repetitions, for a first look")
    parser.add_argument("--out", default=str(HERE / "latest.md"), help="where to write the table")
    args = parser.parse_args()
    reps = 7 if args.quick else 21

    header = describe()
    rows, notes = [], []

    def section(name, make):
        print(f"running {name} ...", file=sys.stderr, flush=True)
        result = make()
        if isinstance(result, tuple):
            result, note = result
            notes.append(note)
        rows.extend(result)

    section("self-play", lambda: labelled("self-play", bench_selfplay.suite_rows(reps)))
    section("per-call costs", lambda: labelled("per call", bench_calls.suite_rows(reps)))
    section("planes", lambda: bench_planes.suite_rows(reps))
    section("symmetries", lambda: bench_symmetry.suite_rows(reps))
    section("batches", lambda: bench_batch.suite_rows(reps))
    section("records", lambda: bench_records.suite_rows(reps))
    section("Ray", lambda: labelled("Ray", bench_ray.suite_rows(reps)))
    section("streamed runs and the replay buffer", lambda: bench_stream.suite_rows(min(reps, 9)))
    section("tree search", lambda: bench_search.suite_rows(max(3, reps // 4)))
    section("memory", lambda: (bench_memory.suite_rows(20_000),
                               "memory: growth of the resident set per object, 20000 held, "
                               "each case in a fresh process"))
    if args.engine_bench:
        section("C++ playouts", lambda: engine_rows(args.engine_bench, 5 if args.quick else 15))
    else:
        notes.append("C++ rows left out: no --engine-bench binary given")
    notes.append(f"Python: medians of {reps} interleaved repetitions, CPU time of the process; "
                 f"per-call rows have the empty loop subtracted")
    notes.append("ratio = ours / baseline: below 1 is faster (or smaller) than the baseline")

    text = table(rows)
    print("\n".join(header) + "\n")
    print(text)
    for note in notes:
        print(f"- {note}")
    with open(args.out, "w") as f:
        f.write("# Benchmark results\n\nWritten by `bench/run.sh`; every figure is measured in the "
                "run, none is typed in.\n\n")
        f.write("".join(f"{line}  \n" for line in header) + "\n")
        f.write(text + "\n\n")
        f.write("".join(f"- {note}\n" for note in notes))


if __name__ == "__main__":
    main()
