"""Measured strength: matches between two agents over a GameBatch, and the
accuracy of an agent against perfect play on solved positions.

    from drevik_gravline_tools.arena import play_match, accuracy, load_positions
    r = play_match("tactical", "random", 1000, 7, 6, seed=0)
    r.score, r.score_ci, r.elo, r.elo_ci
    accuracy("tactical", load_positions(7, 6))

An agent is "random", "tactical", "solver" (perfect play, uniformly among the
best moves), or any callable taking (planes, legal_mask) of the running games
it moves in (float32 (n, 17, H, W), bool (n, W)) and returning one column per
game. A callable with an attribute `wants_games = True` is called with
(games, legal_mask) instead, `games` a list of Game objects. The agent is
called once per ply for all running games where it is to move.
"""

from __future__ import annotations

import math
import random
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Union

import numpy as np

from drevik_gravline import Game
from drevik_gravline_batch import GameBatch, Solver

Agent = Union[str, Callable[..., Any]]
DATA = Path(__file__).with_name("data")


# ---- agents ----


def _winning_columns(g: Game, cols: Iterable[int]) -> list[int]:
    out = []
    for c in cols:
        child = g.clone()
        child.apply_action(c)
        outcome = child.outcome()
        if outcome is not None and outcome.winner() is not None:
            out.append(c)
    return out


def _tactical_move(g: Game, rng: random.Random) -> int:
    legal = list(g.legal_action_indices())
    wins = _winning_columns(g, legal)
    if wins:
        return rng.choice(wins)
    # The opponent's winning drops: a fresh game has Red to move, so the
    # opponent's pieces are put there as Red's (and the mover's as Yellow's).
    probe = Game(g.width(), g.height())
    flip = -g.turn()  # -1 when Red moves: colours swapped; 1 when Yellow moves
    for c in range(g.width()):
        for r in range(g.height()):
            p = g.get_piece(c, r)
            if p is not None:
                probe.set_piece(c, r, p * flip)
    blocks = _winning_columns(probe, legal)
    return rng.choice(blocks or legal)


class _Builtin:
    """A named agent: its moves drawn from its own seeded stream."""

    wants_games = True

    def __init__(self, name: str, width: int, height: int, seed: int, solver: Solver | None) -> None:
        if name not in ("random", "tactical", "solver"):
            raise ValueError(f"unknown agent {name!r}: expected 'random', 'tactical', 'solver' or a callable")
        self.name = name
        self.rng = random.Random(seed)
        self.solver = solver
        if name == "solver" and solver is None:
            self.solver = Solver(width, height)

    def __call__(self, games: Sequence[Game], mask: np.ndarray) -> np.ndarray:
        out = np.empty(len(games), np.int64)
        for i, g in enumerate(games):
            if self.name == "random":
                out[i] = self.rng.choice(np.flatnonzero(mask[i]).tolist())
            elif self.name == "tactical":
                out[i] = _tactical_move(g, self.rng)
            else:
                assert self.solver is not None
                out[i] = self.rng.choice(self.solver.best_moves(g))
        return out


def make_agent(agent: Agent, width: int, height: int, *, seed: int = 0, solver: Solver | None = None) -> Any:
    """The callable behind an agent: a built-in name made into one, a callable as it is."""
    if isinstance(agent, str):
        return _Builtin(agent, width, height, seed, solver)
    if not callable(agent):
        raise TypeError(f"an agent is a name or a callable, not {type(agent).__name__}")
    return agent


def _moves(agent: Any, batch: GameBatch, idx: np.ndarray, planes: np.ndarray, mask: np.ndarray) -> np.ndarray:
    if getattr(agent, "wants_games", False):
        actions = agent([batch.game(int(i)) for i in idx], mask[idx])
    else:
        actions = agent(planes[idx], mask[idx])
    actions = np.asarray(actions).reshape(-1)
    if actions.shape[0] != len(idx):
        raise ValueError(f"the agent returned {actions.shape[0]} actions for {len(idx)} games")
    return actions


# ---- matches ----


@dataclass
class MatchResult:
    """A match from agent A's side: A's wins, draws and losses, in all and per seat."""

    games: int
    wins: int
    draws: int
    losses: int
    first: tuple[int, int, int]   # A's wins, draws, losses as the first mover
    second: tuple[int, int, int]  # and as the second mover
    score: float                  # A's points per game: 1 a win, 1/2 a draw
    score_ci: tuple[float, float]
    elo: float                    # A's rating minus B's
    elo_ci: tuple[float, float]

    @property
    def b(self) -> tuple[int, int, int]:
        """B's wins, draws and losses."""
        return self.losses, self.draws, self.wins


def _elo(score: float) -> float:
    if score <= 0.0:
        return -math.inf
    if score >= 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0)


def score_interval(points: np.ndarray) -> tuple[float, tuple[float, float]]:
    """Mean points and its 95% interval (normal approximation over games, clipped to [0, 1])."""
    n = len(points)
    mean = float(points.mean()) if n else 0.5
    half = 1.959964 * float(points.std()) / math.sqrt(n) if n > 1 else 0.5
    return mean, (max(0.0, mean - half), min(1.0, mean + half))


def play_match(
    agent_a: Agent,
    agent_b: Agent,
    games: int,
    width: int = 7,
    height: int = 6,
    *,
    seed: int = 0,
    threads: int = 1,
    solver: Solver | None = None,
    progress: Callable[[int], object] | None = None,
) -> MatchResult:
    """Plays `games` games, A moving first in the first half (rounded up) and
    second in the rest; every game runs at once in one GameBatch."""
    if games < 1:
        raise ValueError("games must be at least 1")
    if solver is None and "solver" in (agent_a, agent_b):
        solver = Solver(width, height, threads=threads)
    a = make_agent(agent_a, width, height, seed=seed * 2 + 1, solver=solver)
    b = make_agent(agent_b, width, height, seed=seed * 2 + 2, solver=solver)
    batch = GameBatch(games, width, height, threads=threads)
    a_first = np.arange(games) < (games + 1) // 2
    planes = np.empty((games, 17, height, width), np.float32)
    mask = np.empty((games, width), bool)
    for ply in range(width * height):
        running = ~batch.is_over()
        if not running.any():
            break
        a_moves = a_first == (ply % 2 == 0)
        batch.observe(out=planes)
        batch.legal_mask(out=mask)
        actions = np.full(games, -1, np.int64)
        for agent, group in ((a, a_moves & running), (b, ~a_moves & running)):
            idx = np.flatnonzero(group)
            if len(idx):
                actions[idx] = _moves(agent, batch, idx, planes, mask)
        batch.step(actions)
        if progress is not None:
            progress(ply + 1)
    winners = batch.winners().astype(np.int64)
    a_colour = np.where(a_first, 1, -1)
    points = np.where(winners == a_colour, 1.0, np.where(winners == 0, 0.5, 0.0))

    def wdl(sel: np.ndarray) -> tuple[int, int, int]:
        p = points[sel]
        return int((p == 1.0).sum()), int((p == 0.5).sum()), int((p == 0.0).sum())

    score, ci = score_interval(points)
    w, d, l = wdl(np.ones(games, bool))
    return MatchResult(games, w, d, l, wdl(a_first), wdl(~a_first), score, ci, _elo(score),
                       (_elo(ci[0]), _elo(ci[1])))


# ---- accuracy ----


@dataclass
class SolvedPosition:
    moves: str  # columns played from the empty board, counted from 1 (base 36 past 9)
    score: int  # the exact score for the side to move
    phase: str = ""


def game_of(moves: str, width: int, height: int) -> Game:
    """The game after a move string, columns counted from 1."""
    g = Game(width, height)
    for ch in moves:
        g.apply_action(int(ch, 36) - 1)
    return g


def phase_of(pieces: int, cells: int) -> str:
    """'beginning', 'middle' or 'end' by the share of the board filled (the public
    7x6 sets' bounds: up to 14, 15-28, from 29 pieces)."""
    if pieces * 3 <= cells:
        return "beginning"
    if pieces * 3 <= 2 * cells:
        return "middle"
    return "end"


def load_positions(width: int = 7, height: int = 6, phases: Sequence[str] = ("beginning", "middle", "end"),
                   folder: Path | None = None) -> list[SolvedPosition]:
    """The shipped solved positions of a size (files `{W}x{H}_{phase}.txt`, lines `moves score`)."""
    out = []
    for phase in phases:
        path = (folder or DATA) / f"{width}x{height}_{phase}.txt"
        for line in path.read_text().split("\n"):
            if line.strip():
                m, s = line.split()
                out.append(SolvedPosition(m, int(s), phase))
    return out


@dataclass
class Accuracy:
    positions: int
    optimal: float       # share where the move keeps the exact score
    same_class: float    # share where it keeps the win/draw/loss class
    by_phase: dict[str, tuple[int, float, float]] = field(default_factory=dict)


def accuracy(agent: Agent, positions: Sequence[SolvedPosition], width: int = 7, height: int = 6, *,
             seed: int = 0, solver: Solver | None = None, threads: int = 1) -> Accuracy:
    """The agent's move in each position against the solver's move scores."""
    if not positions:
        raise ValueError("no positions")
    solver = solver or Solver(width, height, threads=threads)
    games = [game_of(p.moves, width, height) for p in positions]
    ag = make_agent(agent, width, height, seed=seed, solver=solver)
    batch = GameBatch.from_games(games, threads=threads)
    mask = batch.legal_mask()
    planes = batch.observe()
    moves = _moves(ag, batch, np.arange(len(games)), planes, mask)
    optimal = np.zeros(len(games), bool)
    same = np.zeros(len(games), bool)
    for i, g in enumerate(games):
        s = solver.move_scores(g)
        best = int(s.max())
        got = int(s[int(moves[i])])
        optimal[i] = got == best
        same[i] = np.sign(got) == np.sign(best)
    by_phase = {}
    phases = [p.phase or phase_of(len(p.moves), width * height) for p in positions]
    for ph in sorted(set(phases)):
        sel = np.array([x == ph for x in phases])
        by_phase[ph] = (int(sel.sum()), float(optimal[sel].mean()), float(same[sel].mean()))
    return Accuracy(len(games), float(optimal.mean()), float(same.mean()), by_phase)


# ---- benchmark sets ----


def make_positions(width: int, height: int, per_phase: int, *, seed: int = 0, max_nodes: int | None = 50_000_000,
                   solver: Solver | None = None,
                   progress: Callable[[int], object] | None = None) -> dict[str, list[SolvedPosition]]:
    """Solved positions of each phase from mixed play (each move tactical or random,
    even odds), distinct, none over; a position the budget cannot solve is passed over."""
    rng = random.Random(seed)
    solver = solver or Solver(width, height)
    cells = width * height
    ranges = {"beginning": (max(1, cells // 10), cells // 3), "middle": (cells // 3 + 1, 2 * cells // 3),
              "end": (2 * cells // 3 + 1, cells - 2)}
    out: dict[str, list[SolvedPosition]] = {}
    done = 0
    for phase, (lo, hi) in ranges.items():
        seen: set[str] = set()
        rows: list[SolvedPosition] = []
        tries = 0
        while len(rows) < per_phase and tries < per_phase * 50:
            tries += 1
            target = rng.randint(lo, hi)
            g = Game(width, height)
            moves = ""
            while len(moves) < target and not g.is_over():
                legal = list(g.legal_action_indices())
                col = _tactical_move(g, rng) if rng.random() < 0.5 else rng.choice(legal)
                g.apply_action(col)
                moves += np.base_repr(col + 1, 36).lower()
            if g.is_over() or moves in seen:
                continue
            seen.add(moves)
            try:
                score = solver.score(g, max_nodes=max_nodes)
            except Exception as e:  # the budget ran out: an easier position is drawn instead
                if type(e).__name__ != "SolverBudgetExceeded":
                    raise
                continue
            rows.append(SolvedPosition(moves, score, phase))
            done += 1
            if progress is not None:
                progress(done)
        out[phase] = rows
    return out


def write_positions(sets: dict[str, list[SolvedPosition]], width: int, height: int, folder: Path) -> list[Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for phase, rows in sets.items():
        path = folder / f"{width}x{height}_{phase}.txt"
        path.write_text("".join(f"{r.moves} {r.score}\n" for r in rows))
        paths.append(path)
    return paths
