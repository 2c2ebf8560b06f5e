"""Solver and arena timings: mean exact-solve time per position over the
1,000 middle-game 7x6 positions of Test_L2_R1 (read from the shared data folder
beside the checkout), with a 64 MB table kept across positions, and the arena's
throughput of tactical against random. Runnable alone:

    python bench/bench_solver.py [--positions N] [--games N]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from drevik_gravline_batch import Solver
from drevik_gravline_tools import arena

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "solver"


def solve_times(count: int, table_mb: int) -> None:
    path = DATA / "Test_L2_R1.txt"
    if not path.exists():
        print(f"solver: {path} not present, skipped")
        return
    rows = [line.split() for line in path.read_text().split("\n") if line.strip()][:count]
    games = [arena.game_of(m, 7, 6) for m, _ in rows]
    solver = Solver(7, 6, table_mb=table_mb)
    nodes = 0
    wrong = 0
    start = time.perf_counter()
    for g, (_, s) in zip(games, rows):
        wrong += solver.score(g) != int(s)
        nodes += solver.nodes()
    took = time.perf_counter() - start
    print(f"solver: Test_L2_R1, {len(games)} positions, table {solver.table_bytes() >> 20} MB: "
          f"mean {took / len(games) * 1e3:.3f} ms, mean nodes {nodes / len(games):.0f}, "
          f"{nodes / took / 1e6:.2f} M nodes/s, {wrong} wrong")


def arena_rate(games: int) -> None:
    start = time.perf_counter()
    r = arena.play_match("tactical", "random", games, 7, 6, seed=0)
    took = time.perf_counter() - start
    print(f"arena: tactical vs random 7x6, {games} games: {games / took:.0f} games/s (score {r.score:.3f})")


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--positions", type=int, default=1000)
    p.add_argument("--games", type=int, default=2000)
    p.add_argument("--table-mb", type=int, default=64)
    a = p.parse_args()
    solve_times(a.positions, a.table_mb)
    arena_rate(a.games)


if __name__ == "__main__":
    main()
