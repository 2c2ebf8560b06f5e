"""The arena and accuracy tools: counts that add up, seeds that reproduce,
perfect play against itself and against others, and accuracy against the
solver's move scores."""

from __future__ import annotations

import random

import numpy as np
import pytest

from drevik_gravline_batch import Solver
from drevik_gravline_tools import arena


def test_counts_add_up_and_seats_are_split() -> None:
    r = arena.play_match("tactical", "random", 101, 6, 5, seed=4)
    assert r.wins + r.draws + r.losses == r.games == 101
    assert sum(r.first) == 51 and sum(r.second) == 50
    assert tuple(a + b for a, b in zip(r.first, r.second)) == (r.wins, r.draws, r.losses)
    assert r.b == (r.losses, r.draws, r.wins)
    assert r.score_ci[0] <= r.score <= r.score_ci[1]
    assert r.elo_ci[0] <= r.elo <= r.elo_ci[1]


def test_seeds_reproduce() -> None:
    one = arena.play_match("random", "tactical", 60, 7, 6, seed=9)
    two = arena.play_match("random", "tactical", 60, 7, 6, seed=9)
    other = arena.play_match("random", "random", 200, 7, 6, seed=10)
    again = arena.play_match("random", "random", 200, 7, 6, seed=11)
    assert one == two
    assert (other.wins, other.first) != (again.wins, again.first)


def test_tactical_beats_random_by_far() -> None:
    r = arena.play_match("tactical", "random", 300, 7, 6, seed=1)
    assert r.score > 0.85 and r.elo > 200


@pytest.mark.parametrize(("w", "h", "value"), [(4, 4, 0), (5, 4, 0), (6, 4, -1)])
def test_solver_against_itself_plays_the_board_value(w: int, h: int, value: int) -> None:
    r = arena.play_match("solver", "solver", 10, w, h, seed=2)
    # The first mover scores as the board's value says, in every game.
    expect = {1: (5, 0, 0), 0: (0, 5, 0), -1: (0, 0, 5)}[value]
    assert r.first == expect
    assert r.second == expect[::-1]


def test_solver_never_loses() -> None:
    for other in ("random", "tactical"):
        r = arena.play_match("solver", other, 20, 5, 4, seed=3)
        assert r.losses == 0


def test_callable_agent_gets_planes_and_masks_of_its_games() -> None:
    seen = []

    def leftmost(planes: np.ndarray, mask: np.ndarray) -> np.ndarray:
        assert planes.shape[1:] == (17, 4, 5) and planes.dtype == np.float32
        assert mask.shape == (len(planes), 5) and mask.any(axis=1).all()
        seen.append(len(planes))
        return mask.argmax(axis=1)

    r = arena.play_match(leftmost, "random", 8, 5, 4, seed=0)
    assert r.games == 8 and seen and max(seen) <= 8
    with pytest.raises(ValueError, match="returned 1 actions for"):
        arena.play_match(lambda p, m: [0], "random", 4, 5, 4)
    with pytest.raises(ValueError, match="unknown agent 'best'"):
        arena.play_match("best", "random", 4, 5, 4)


def test_accuracy_of_perfect_and_random_play() -> None:
    rng = random.Random(1)
    solver = Solver(5, 4)
    positions = []
    while len(positions) < 40:
        n = rng.randint(2, 14)
        moves = "".join(str(rng.randint(1, 5)) for _ in range(n))
        try:
            g = arena.game_of(moves, 5, 4)
        except Exception:
            continue
        if g.is_over():
            continue
        positions.append(arena.SolvedPosition(moves, solver.score(g)))
    perfect = arena.accuracy("solver", positions, 5, 4, solver=solver)
    assert perfect.positions == 40 and perfect.optimal == 1.0 and perfect.same_class == 1.0
    assert sum(n for n, _, _ in perfect.by_phase.values()) == 40
    rand = arena.accuracy("random", positions, 5, 4, seed=3)
    assert rand.optimal <= rand.same_class <= 1.0
    assert rand.optimal < 1.0


def test_made_positions_hold_their_solved_scores() -> None:
    sets = arena.make_positions(5, 4, 5, seed=1)
    solver = Solver(5, 4)
    assert set(sets) == {"beginning", "middle", "end"}
    for phase, rows in sets.items():
        assert len(rows) == 5
        for p in rows:
            g = arena.game_of(p.moves, 5, 4)
            assert not g.is_over() and solver.score(g) == p.score
            assert arena.phase_of(len(p.moves), 20) == phase


def test_command_line_solves_plays_and_refuses(capsys: pytest.CaptureFixture[str], tmp_path) -> None:
    from drevik_gravline_tools import solve_cli

    assert solve_cli.main(["solve", "5554224333234511764415115", "--move-scores"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("score 4 ") and "move scores -8 -8 -8 -8 -1000 4 -8" in out
    assert solve_cli.main(["match", "tactical", "random", "--games", "10", "--size", "5x4"]) == 0
    assert "over 10 games" in capsys.readouterr().out
    assert solve_cli.main(["solve", "1212121"]) == 2
    assert "the game is over" in capsys.readouterr().err
    assert solve_cli.main(["solve", "44", "--max-nodes", "100"]) == 2
    assert "budget ran out" in capsys.readouterr().err
    assert solve_cli.main(["make-positions", str(tmp_path), "--size", "4x4", "--count", "3"]) == 0
    files = sorted(tmp_path.iterdir())
    assert [f.name for f in files] == ["4x4_beginning.txt", "4x4_end.txt", "4x4_middle.txt"]
    assert solve_cli.main(["accuracy", "solver", "--size", "4x4", "--positions", *map(str, files)]) == 0
    assert "optimal 1.000" in capsys.readouterr().out


def test_shipped_7x6_positions_hold_their_solved_scores() -> None:
    positions = arena.load_positions(7, 6)
    phases = {p.phase for p in positions}
    assert phases == {"beginning", "middle", "end"}
    sample = [p for p in positions if p.phase != "beginning"][::10] + [p for p in positions if p.phase == "beginning"][:5]
    solver = Solver(7, 6)
    for p in sample:
        assert arena.phase_of(len(p.moves), 42) == p.phase
        assert solver.score(arena.game_of(p.moves, 7, 6)) == p.score
