"""The self-play example: its policy, the samples it records for each game, and
the .npz file it writes with one or several worker processes."""
import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import drevik_gravline as dg

pytest.importorskip("tqdm")  # the example's progress bar

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "self_play.py"
_spec = importlib.util.spec_from_file_location("self_play", SCRIPT)
sp = importlib.util.module_from_spec(_spec)
sys.modules["self_play"] = sp  # dataclasses look their module up by name
_spec.loader.exec_module(sp)

FIELDS = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")


def _mirror_built():
    z = np.zeros
    try:
        dg.augment_symmetries(z((0, 17, 4, 4), np.float32), z((0, 4), np.float32), z(0, np.float32),
                              z((0, 4), np.float32), z(0, np.float32))
    except RuntimeError as exc:
        if str(exc) != "not built yet":
            raise
        return False
    return True


MIRROR_BUILT = _mirror_built()
needs_mirror = pytest.mark.skipif(not MIRROR_BUILT, reason="augment_symmetries is not built yet")


def played(cols, width=7, height=6):
    g = dg.Game(width, height)
    for c in cols:
        assert g.apply_action(c), (cols, c)
    return g


def wins_at_once(game, action):
    trial = game.clone()
    mover = trial.turn()
    return trial.apply_action(action) and trial.reward_from_perspective(mover) == 1.0


# ---- the policy ----

@pytest.mark.parametrize("cols, expected", [
    ([], [0, 1, 2, 3, 4, 5, 6]),
    # Red has three in column 0: Yellow must block there.
    ([0, 6, 0, 6, 0], [0]),
    # Red can win in column 0 although Yellow threatens column 6: the win comes first.
    ([0, 6, 0, 6, 0, 6], [0]),
    # Red has 1-2-3 on the bottom row, open at both ends: Yellow's two blocks.
    ([1, 1, 2, 2, 3], [0, 4]),
    # Red's three sits on row 1: its fourth cell (0, 1) is not playable yet, so no block.
    ([2, 1, 1, 3, 3, 6, 2], list(range(7))),
    # Threat in the last column, where the probe drop is column 0.
    ([6, 0, 6, 0, 6], [6]),
])
def test_candidates_take_wins_then_blocks(cols, expected):
    g = played(cols)
    before = (g.state_hash(), g.legal_action_indices(), g.turn())
    assert sp.candidate_actions(g) == expected
    assert (g.state_hash(), g.legal_action_indices(), g.turn()) == before


def test_candidates_with_one_column_left():
    # 4 x 4 with columns 1 to 3 full and no win in column 0: nothing to probe with.
    g = played([1, 1, 3, 2, 2, 3, 2, 0, 3, 1, 1, 2, 0, 3], 4, 4)
    assert g.legal_action_indices() == [0]
    assert sp.candidate_actions(g) == [0]


# ---- one game's samples ----

@pytest.mark.parametrize("width, height", [(5, 4), (7, 6), (4, 9)])
def test_game_record_replays(width, height):
    for index in range(6):
        rec = sp.play_game(width, height, 11, index)
        b, n = rec.batch, len(rec.actions)
        assert b["states"].shape == (n, 17, height, width)
        assert all(b[f].dtype == np.float32 and len(b[f]) == n for f in FIELDS)

        g, movers = dg.Game(width, height), []
        for k, action in enumerate(rec.actions):
            flat, planes, rows, cols = g.encode_spatial_planes()
            assert np.array_equal(b["states"][k], np.reshape(flat, (planes, rows, cols)))
            policy = b["policies"][k]
            support = np.flatnonzero(policy).tolist()
            assert support == sp.candidate_actions(g)
            assert action in support and policy.sum() == pytest.approx(1.0)
            assert np.allclose(policy[support], 1.0 / len(support))
            if any(wins_at_once(g, a) for a in g.legal_action_indices()):
                assert wins_at_once(g, action)
            movers.append(g.turn())
            assert not g.is_over() and g.apply_action(action)
        assert g.is_over()

        expected = [g.reward_from_perspective(m) for m in movers]
        assert b["values"].tolist() == expected
        assert set(expected) <= {-1.0, 0.0, 1.0}
        if g.outcome().winner() is not None:
            assert expected[-1] == 1.0  # the winner made the last move
        assert np.array_equal(b["opponent_policies"][:-1], b["policies"][1:])
        assert not b["opponent_policies"][-1].any()
        assert b["opponent_policy_masks"].tolist() == [1.0] * (n - 1) + [0.0]


def test_games_depend_on_seed_and_index_only():
    four = sp.play_games(4, 7, 6, seed=5)
    assert [r.actions for r in sp.play_games(2, 7, 6, seed=5)] == [r.actions for r in four[:2]]
    assert sp.play_game(7, 6, 5, 3).actions == four[3].actions
    assert len({tuple(r.actions) for r in four}) == 4
    assert sp.play_game(7, 6, 6, 0).actions != four[0].actions


# ---- the command line ----

def run(tmp_path, name, *args):
    out = tmp_path / name
    done = subprocess.run([sys.executable, str(SCRIPT), "--out", str(out), *args],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    with np.load(out) as data:
        assert sorted(data.files) == sorted(FIELDS)
        return {f: data[f] for f in FIELDS}, done.stdout


@pytest.mark.parametrize("width, height", [(5, 4), (7, 6)])
def test_file_is_the_same_for_any_worker_count(tmp_path, width, height):
    args = ["--games", "4", "--width", str(width), "--height", str(height), "--seed", "3"]
    if not MIRROR_BUILT:
        args.append("--no-mirror")
    one, text = run(tmp_path, "one.npz", *args, "--workers", "1")
    two, _ = run(tmp_path, "two.npz", *args, "--workers", "2")
    for f in FIELDS:
        assert one[f].dtype == np.float32
        assert np.array_equal(one[f], two[f]), f

    # The positions are the in-process games, concatenated in game order.
    records = sp.play_games(4, width, height, 3)
    n = sum(len(r.actions) for r in records)
    for f in FIELDS:
        assert np.array_equal(one[f][:n], np.concatenate([r.batch[f] for r in records])), f
    assert set(np.unique(one["values"])) <= {-1.0, 0.0, 1.0}

    assert "games/s" in text and "positions/s" in text
    rows = len(one["values"])
    assert f"states                 ({rows}, 17, {height}, {width}) float32" in text
    assert f"opponent_policy_masks  ({rows},) float32" in text


@needs_mirror
def test_file_second_half_is_the_mirror(tmp_path):
    data, _ = run(tmp_path, "m.npz", "--games", "3", "--width", "5", "--height", "4", "--no-progress")
    plain, _ = run(tmp_path, "p.npz", "--games", "3", "--width", "5", "--height", "4", "--no-mirror")
    n = len(plain["values"])
    assert len(data["values"]) == 2 * n
    for f in FIELDS:
        assert np.array_equal(data[f][:n], plain[f]), f
    assert np.array_equal(data["states"][n:], plain["states"][..., ::-1])
    assert np.array_equal(data["policies"][n:], plain["policies"][:, ::-1])
    assert np.array_equal(data["opponent_policies"][n:], plain["opponent_policies"][:, ::-1])
    assert np.array_equal(data["values"][n:], plain["values"])
    assert np.array_equal(data["opponent_policy_masks"][n:], plain["opponent_policy_masks"])


def test_bad_board_size_is_a_usage_error(tmp_path):
    done = subprocess.run([sys.executable, str(SCRIPT), "--width", "3", "--out", str(tmp_path / "x.npz")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 2
    assert "Board width must be between 4 and 32" in done.stderr
    assert not (tmp_path / "x.npz").exists()
