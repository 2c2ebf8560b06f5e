"""Solver and arena timings: mean exact-solve time per position over the
1,000 middle-game 7x6 positions of Test_L2_R1 (read from the shared data folder
beside the checkout), with a 64 MB table kept across positions, and the arena's
throughput of tactical against random. Where the bitbully package is
installed (bench/run.sh installs it), its solver solves the same positions in
turn with ours, its opening book off and its table kept across positions (its
size is not a setting), and the ratio of the means is printed. Runnable alone:

    python bench/bench_solver.py [--positions N] [--games N]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from drevik_gravline_batch import Solver
from drevik_gravline_tools import arena

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "solver"


def solve_times(count: int, table_mb: int, rounds: int) -> None:
    path = DATA / "Test_L2_R1.txt"
    if not path.exists():
        print(f"solver: {path} not present, skipped")
        return
    rows = [line.split() for line in path.read_text().split("\n") if line.strip()][:count]
    games = [arena.game_of(m, 7, 6) for m, _ in rows]
    try:
        from bitbully import BitBully, Board
    except ImportError:
        BitBully = None
    for _ in range(rounds):
        # A fresh table for each round, as a fresh process would have.
        solver = Solver(7, 6, table_mb=table_mb)
        nodes = 0
        wrong = 0
        start = time.perf_counter()
        for g, (_, s) in zip(games, rows):
            wrong += solver.score(g) != int(s)
            nodes += solver.nodes()
        ours = (time.perf_counter() - start) / len(games)
        print(f"solver: Test_L2_R1, {len(games)} positions, table {solver.table_bytes() >> 20} MB: "
              f"mean {ours * 1e3:.3f} ms, mean nodes {nodes / len(games):.0f}, "
              f"{nodes / (ours * len(games)) / 1e6:.2f} M nodes/s, {wrong} wrong")
        if BitBully is None:
            print("bitbully: not installed, no peer row")
            continue
        peer = BitBully(opening_book=None)
        boards = [Board("".join(str(int(c) - 1) for c in m)) for m, _ in rows]
        wrong = 0
        start = time.perf_counter()
        for b, (_, s) in zip(boards, rows):
            wrong += peer.mtdf(b) != int(s)
        theirs = (time.perf_counter() - start) / len(games)
        print(f"bitbully (book off): mean {theirs * 1e3:.3f} ms, {wrong} wrong; "
              f"ours / bitbully {ours / theirs:.2f} (goal <= 1.0: {'met' if ours <= theirs else 'missed'})")


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
    p.add_argument("--rounds", type=int, default=3)
    a = p.parse_args()
    solve_times(a.positions, a.table_mb, a.rounds)
    arena_rate(a.games)


if __name__ == "__main__":
    main()
