"""Solver: the published values and benchmark sets (read from the shared data
folder beside the checkout, skipped where absent), agreement with a plain
minimax on small boards, move scores against the children's scores, batches
over threads, and bad input."""

from __future__ import annotations

import os
import random
from pathlib import Path

import numpy as np
import pytest

from drevik_gravline import Game
from drevik_gravline_batch import FULL_COLUMN, GameBatch, Solver, SolverBudgetExceeded

DATA = Path(__file__).resolve().parents[2].parent / "shared" / "data" / "solver"
needs_data = pytest.mark.skipif(not DATA.is_dir(), reason="published solver data not present")


def game_of(moves: str, width: int = 7, height: int = 6) -> Game:
    """The game after `moves`, columns counted from 1."""
    g = Game(width, height)
    for c in moves:
        g.apply_action(int(c, 36) - 1)
    return g


def read_set(name: str) -> list[tuple[str, int]]:
    rows = []
    for line in (DATA / name).read_text().split("\n"):
        if line.strip():
            moves, score = line.split()
            rows.append((moves, int(score)))
    return rows


def sign(x: int) -> int:
    return (x > 0) - (x < 0)


# ---- published truth ----


@needs_data
def test_board_values_of_small_boards() -> None:
    values = {}
    for line in (DATA / "board_values.txt").read_text().split("\n"):
        if line.strip():
            size, value = line.split()
            w, h = map(int, size.split("x"))
            values[(w, h)] = {"+": 1, "=": 0, "-": -1}[value]
    small = {k: v for k, v in values.items() if k[0] * k[1] <= 24}
    assert (6, 4) in small and small[(6, 4)] == -1
    for (w, h), value in small.items():
        assert Solver(w, h, table_mb=16).score(Game(w, h), weak=True) == value, (w, h)


@needs_data
def test_twelve_ply_position_is_a_first_player_win() -> None:
    moves, result = (DATA / "fhourstones.txt").read_text().split()
    assert result == "+"
    g = game_of(moves)
    assert g.turn() == 1
    assert Solver(7, 6).score(g, weak=True) == 1


@needs_data
@pytest.mark.parametrize(
    ("name", "count"),
    [
        ("Test_L3_R1.txt", 1000),
        ("Test_L2_R1.txt", 300),
        ("Test_L2_R2.txt", 20),
        ("Test_L1_R1.txt", 20),
        ("Test_L1_R2.txt", 5),
        ("Test_L1_R3.txt", 2),
    ],
)
def test_published_7x6_sets(name: str, count: int) -> None:
    rows = read_set(name)
    sample = random.Random(name).sample(rows, count)
    solver = Solver(7, 6, threads=2)
    got = solver.scores([game_of(m) for m, _ in sample])
    assert got.tolist() == [s for _, s in sample]


@needs_data
def test_weak_scores_of_a_published_set_are_signs() -> None:
    sample = read_set("Test_L2_R1.txt")[:100]
    got = Solver(7, 6).scores([game_of(m) for m, _ in sample], weak=True)
    assert got.tolist() == [sign(s) for _, s in sample]


@pytest.mark.skipif(not os.environ.get("GRAVLINE_SLOW_TESTS"), reason="a deep search: set GRAVLINE_SLOW_TESTS=1")
def test_first_player_wins_7x6_in_the_centre_column() -> None:
    solver = Solver(7, 6, table_mb=256)
    scores = solver.move_scores(game_of(""), max_nodes=None)
    assert scores.argmax() == 3 and scores[3] > 0


# ---- against minimax ----


def minimax(g: Game, memo: dict[tuple[int, ...], int]) -> int:
    key = tuple(g.get_piece(c, r) or 0 for c in range(g.width()) for r in range(g.height()))
    if key in memo:
        return memo[key]
    cells = g.width() * g.height()
    played = sum(1 for v in key if v)
    best = -1000
    for col in g.legal_action_indices():
        g.apply_action(col)
        if g.is_over():
            s = 0 if g.outcome().winner() is None else (cells + 1 - played) // 2
        else:
            s = -minimax(g, memo)
        g.unmake_move()
        best = max(best, s)
    memo[key] = best
    return best


def random_running_game(rng: random.Random, w: int, h: int, plies: int) -> Game:
    while True:
        g = Game(w, h)
        for _ in range(plies):
            if g.is_over():
                break
            g.apply_action(rng.choice(g.legal_action_indices()))
        if not g.is_over():
            return g


@pytest.mark.parametrize(("w", "h"), [(4, 4), (5, 4), (4, 5)])
def test_scores_agree_with_minimax(w: int, h: int) -> None:
    rng = random.Random(w * 10 + h)
    solver = Solver(w, h, table_mb=4)
    memo: dict[tuple[int, ...], int] = {}
    for i in range(40):
        g = random_running_game(rng, w, h, 8 + i % (w * h - 9))
        truth = minimax(g, memo)
        assert solver.score(g) == truth
        assert solver.score(g, weak=True) == sign(truth)


def test_move_scores_are_the_negated_scores_of_the_children() -> None:
    rng = random.Random(3)
    solver = Solver(5, 4, table_mb=4)
    cells = 20
    for i in range(30):
        g = random_running_game(rng, 5, 4, 4 + i % 12)
        scores = solver.move_scores(g)
        assert scores.dtype == np.int32 and scores.shape == (5,)
        played = sum(1 for c in range(5) for r in range(4) if g.get_piece(c, r))
        for col in range(5):
            if col not in g.legal_action_indices():
                assert scores[col] == FULL_COLUMN
                continue
            child = g.clone()
            child.apply_action(col)
            if child.is_over():
                expect = 0 if child.outcome().winner() is None else (cells + 1 - played) // 2
            else:
                expect = -solver.score(child)
            assert scores[col] == expect
        best = solver.best_moves(g)
        assert best == [c for c in range(5) if scores[c] == scores.max()]
        assert solver.score(g) == scores.max()


def test_scores_of_a_batch_over_threads_equal_single_scores() -> None:
    rng = random.Random(5)
    games = [random_running_game(rng, 6, 5, 10 + i % 12) for i in range(40)]
    single = [Solver(6, 5).score(g) for g in games[:10]]
    solver = Solver(6, 5, threads=2)
    from_list = solver.scores(games)
    from_batch = solver.scores(GameBatch.from_games(games, threads=2))
    assert from_list.tolist() == from_batch.tolist()
    assert from_list[:10].tolist() == single
    assert solver.scores([]).shape == (0,)


# ---- bad input ----


def test_budget_raises_and_leaves_the_solver_usable() -> None:
    g = game_of("44")
    solver = Solver(7, 6, max_nodes=500)
    with pytest.raises(SolverBudgetExceeded, match="budget ran out after"):
        solver.score(g)
    assert solver.nodes() >= 500
    with pytest.raises(SolverBudgetExceeded):
        solver.move_scores(g, max_nodes=10)
    with pytest.raises(SolverBudgetExceeded):
        solver.scores([g, g], time_limit=1e-6)
    assert isinstance(SolverBudgetExceeded("x"), RuntimeError)
    end = game_of("5554224333234511764415115")
    assert solver.score(end) == 4
    assert solver.score(game_of("444333377755"), weak=True, max_nodes=None) == 1


def test_finished_and_impossible_positions_are_refused() -> None:
    solver = Solver(7, 6, table_mb=1)
    won = game_of("1212121")
    with pytest.raises(ValueError, match="^cannot solve this position: the game is over$"):
        solver.score(won)
    with pytest.raises(ValueError, match="the game is over"):
        solver.scores([game_of("1"), won])
    floating = Game(7, 6)
    floating.set_piece(3, 2, 1)
    with pytest.raises(ValueError, match="piece above an empty cell"):
        solver.move_scores(floating)
    wrong_count = Game(7, 6)
    wrong_count.set_piece(3, 0, -1)
    with pytest.raises(ValueError, match="piece counts do not fit"):
        solver.best_moves(wrong_count)
    assert solver.score(game_of("5554224333234511764415115")) == 4


def test_bad_sizes_tables_and_arguments() -> None:
    with pytest.raises(ValueError, match="^the game is 6x6 but the solver solves 7x6$"):
        Solver(7, 6, table_mb=1).score(Game(6, 6))
    with pytest.raises(ValueError, match="the game's size differs"):
        Solver(7, 6, table_mb=1).score(Game(9, 8))
    with pytest.raises(ValueError, match="exceeds the machine's memory"):
        Solver(7, 6, table_mb=1 << 40)
    with pytest.raises(ValueError, match="^table_mb must be at least 1$"):
        Solver(7, 6, table_mb=0)
    with pytest.raises(ValueError, match="Board width must be between 4 and 32"):
        Solver(3, 6)
    with pytest.raises(ValueError, match="^threads must be between 1 and 256$"):
        Solver(7, 6, threads=0)
    solver = Solver(7, 6, table_mb=1)
    with pytest.raises(ValueError, match="^max_nodes must be at least 1$"):
        solver.score(Game(7, 6), max_nodes=0)
    with pytest.raises(ValueError, match="time_limit must be a positive"):
        solver.score(Game(7, 6), time_limit=-1.0)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'Game'"):
        solver.score(5)
    with pytest.raises(TypeError):
        solver.scores(5)
    assert solver.table_bytes() == 1 << 20
    assert repr(solver) == "Solver(width=7, height=6, table_mb=1, threads=1)"
    solver.clear()
    assert solver.score(game_of("5554224333234511764415115")) == 4


def test_game_borrow_is_released_after_a_refusal() -> None:
    import sys

    solver = Solver(5, 4, table_mb=1)
    g = Game(7, 6)
    before = sys.getrefcount(g)
    with pytest.raises(ValueError):
        solver.score(g)
    g.apply_action(0)  # the game's borrow was given back
    assert sys.getrefcount(g) == before


def test_search_runs_without_the_interpreter_lock_under_a_shared_borrow() -> None:
    import threading
    import time

    solver = Solver(7, 6, table_mb=1)
    g = game_of("44")
    errors: list[BaseException] = []

    def search() -> None:
        try:
            solver.score(g, time_limit=1.5)
        except BaseException as e:  # the budget error is expected
            errors.append(e)

    t = threading.Thread(target=search)
    t.start()
    time.sleep(0.3)
    ticks = 0
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:  # this thread runs while the other searches
        ticks += 1
    assert t.is_alive() and ticks > 1000
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        solver.clear()
    # Searches share the solver; the game was only borrowed while it was read.
    assert solver.score(game_of("5554224333234511764415115")) == 4
    g.apply_action(0)
    t.join()
    assert len(errors) == 1 and isinstance(errors[0], SolverBudgetExceeded)
    solver.clear()


@pytest.mark.parametrize("many", [False, True], ids=["score", "scores on two threads"])
def test_an_interrupt_stops_a_long_search(many: bool) -> None:
    import _thread
    import threading

    solver = Solver(7, 6, table_mb=1, threads=2)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            if many:
                # Many hard positions: the workers stop with the calling thread.
                solver.scores([game_of(m) for m in ("44", "43", "45", "33")], time_limit=20.0)
            else:
                solver.score(game_of("44"), time_limit=20.0)
    finally:
        timer.cancel()
    assert solver.score(game_of("5554224333234511764415115")) == 4
