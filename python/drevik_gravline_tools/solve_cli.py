"""gravline-solve: the exact solver, the arena and accuracy from the command line.

    gravline-solve solve 444333377755 [--size 7x6] [--weak] [--max-nodes N]
    gravline-solve match tactical random [--games 1000] [--size 7x6] [--seed 0] [--threads 1]
    gravline-solve accuracy tactical [--size 7x6] [--positions FILE ...]
    gravline-solve make-positions OUT_DIR [--size 5x4] [--count 100] [--seed 0]

Moves are columns counted from 1 (base 36 past 9 on wide boards), as in the
public 7x6 sets. A progress bar shows where tqdm is installed.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from pathlib import Path

from drevik_gravline_batch import Solver, SolverBudgetExceeded

from . import arena


def _size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(x) for x in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT, got {text!r}") from None
    return w, h


class _Progress:
    """A tqdm bar when tqdm is installed, else nothing."""

    def __init__(self, total: int, desc: str) -> None:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            self.bar = None
        else:
            self.bar = tqdm(total=total, desc=desc, delay=1.0, file=sys.stderr)
        self.n = 0

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.n)
        self.n = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _solve(args: argparse.Namespace) -> int:
    w, h = args.size
    g = arena.game_of(args.moves, w, h)
    solver = Solver(w, h, table_mb=args.table_mb, max_nodes=args.max_nodes)
    start = time.perf_counter()
    score = solver.score(g, weak=args.weak)
    took = time.perf_counter() - start
    print(f"score {score}  nodes {solver.nodes()}  seconds {took:.3f}")
    if args.moves_scores:
        print("move scores", " ".join(str(s) for s in solver.move_scores(g)))
    return 0


def _match(args: argparse.Namespace) -> int:
    w, h = args.size
    bar = _Progress(w * h, "plies")
    try:
        r = arena.play_match(args.a, args.b, args.games, w, h, seed=args.seed, threads=args.threads, progress=bar)
    finally:
        bar.close()
    print(f"{args.a} vs {args.b}: {r.wins} wins, {r.draws} draws, {r.losses} losses over {r.games} games")
    print(f"  as first {r.first}, as second {r.second} (wins, draws, losses)")
    print(f"  score {r.score:.3f} [{r.score_ci[0]:.3f}, {r.score_ci[1]:.3f}]  "
          f"Elo {r.elo:+.0f} [{r.elo_ci[0]:+.0f}, {r.elo_ci[1]:+.0f}]")
    return 0


def _accuracy(args: argparse.Namespace) -> int:
    w, h = args.size
    if args.positions:
        positions = []
        for path in args.positions:
            for line in Path(path).read_text().split("\n"):
                if line.strip():
                    m, s = line.split()[:2]
                    positions.append(arena.SolvedPosition(m, int(s)))
    else:
        positions = arena.load_positions(w, h)
    a = arena.accuracy(args.agent, positions, w, h, seed=args.seed)
    print(f"{args.agent}: optimal {a.optimal:.3f}, keeps the class {a.same_class:.3f} over {a.positions} positions")
    for phase, (n, opt, same) in a.by_phase.items():
        print(f"  {phase:9s} {n:5d}  optimal {opt:.3f}  class {same:.3f}")
    return 0


def _make(args: argparse.Namespace) -> int:
    w, h = args.size
    bar = _Progress(3 * args.count, "positions")
    try:
        sets = arena.make_positions(w, h, args.count, seed=args.seed, max_nodes=args.max_nodes, progress=bar)
    finally:
        bar.close()
    for path in arena.write_positions(sets, w, h, Path(args.out)):
        print(path)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="gravline-solve", description=__doc__.split("\n")[0])
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("solve", help="the exact score of a position")
    s.add_argument("moves", nargs="?", default="")
    s.add_argument("--size", type=_size, default=(7, 6))
    s.add_argument("--weak", action="store_true", help="win, draw or loss only")
    s.add_argument("--max-nodes", type=int, default=None)
    s.add_argument("--table-mb", type=int, default=64)
    s.add_argument("--move-scores", dest="moves_scores", action="store_true")
    s.set_defaults(run=_solve)
    m = sub.add_parser("match", help="two agents against each other")
    m.add_argument("a")
    m.add_argument("b")
    m.add_argument("--games", type=int, default=1000)
    m.add_argument("--size", type=_size, default=(7, 6))
    m.add_argument("--seed", type=int, default=0)
    m.add_argument("--threads", type=int, default=1)
    m.set_defaults(run=_match)
    a = sub.add_parser("accuracy", help="an agent's moves against perfect play")
    a.add_argument("agent")
    a.add_argument("--size", type=_size, default=(7, 6))
    a.add_argument("--positions", nargs="*", help="files of 'moves score' lines (default: the shipped sets)")
    a.add_argument("--seed", type=int, default=0)
    a.set_defaults(run=_accuracy)
    k = sub.add_parser("make-positions", help="solved position sets of a size")
    k.add_argument("out")
    k.add_argument("--size", type=_size, default=(7, 6))
    k.add_argument("--count", type=int, default=100, help="positions per phase")
    k.add_argument("--seed", type=int, default=0)
    k.add_argument("--max-nodes", type=int, default=50_000_000)
    k.set_defaults(run=_make)
    args = p.parse_args(argv)
    try:
        return int(args.run(args))
    except (ValueError, SolverBudgetExceeded, OSError) as e:
        print(f"gravline-solve: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
