"""The gravline-show command: games rebuilt from self-play files, printed as
text that replays through Game, drawn as an SVG strip, and refused inputs."""
import random
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import drevik_gravline as dg
from drevik_gravline_tools import show

NS = "{http://www.w3.org/2000/svg}"
FIELDS = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")


def play_random(width, height, rng, uniform=False):
    """A random game and its samples as the self-play example stores them. The
    policy target is the move played (one-hot), or with `uniform` 1/k on every legal column."""
    game, rows = dg.Game(width, height), []
    while not game.is_over():
        flat, p, h, w = game.encode_spatial_planes()
        legal = game.legal_action_indices()
        policy = np.zeros(width, np.float32)
        move = rng.choice(legal)
        if uniform:
            policy[legal] = 1.0 / len(legal)
        else:
            policy[move] = 1.0
        rows.append((np.asarray(flat, np.float32).reshape(p, h, w), policy, game.turn(), move))
        game.apply_action(move)
    n = len(rows)
    policies = np.stack([r[1] for r in rows])
    opponent = np.zeros_like(policies)
    opponent[:-1] = policies[1:]
    masks = np.ones(n, np.float32)
    masks[-1] = 0.0
    arrays = dict(states=np.stack([r[0] for r in rows]), policies=policies,
                  values=np.array([game.reward_from_perspective(r[2]) for r in rows], np.float32),
                  opponent_policies=opponent, opponent_policy_masks=masks)
    return game, [r[3] for r in rows], arrays


def write_dense(path, games, mirror=True):
    arrays = {name: np.concatenate([g[2][name] for g in games]) for name in FIELDS}
    if mirror:
        arrays = dict(zip(FIELDS, dg.augment_symmetries(*(arrays[n] for n in FIELDS))))
    np.savez_compressed(path, **arrays)
    return path


def run_show(capsys, *args):
    status = show.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


PLY = re.compile(r"ply (\d+): (Red|Yellow) plays (\d+)[^;]*; value ([+-]?[\d.]+); policy target (.*)$")


def replay_text(text, width, height):
    """Replays the printed moves; checks each printed board against the replay
    on the way, and returns the final game and the printed final board."""
    lines = text.splitlines()
    game, k, i = dg.Game(width, height), 0, 1
    while lines[i].startswith("ply "):
        m = PLY.match(lines[i])
        assert m, lines[i]
        assert int(m[1]) == k and m[2] == ("Red" if game.turn() == 1 else "Yellow")
        board = "\n".join(lines[i + 1:i + 2 + height])
        assert board == str(game.board()).rstrip("\n")
        assert game.apply_action(int(m[3]))
        k, i = k + 1, i + 2 + height
    assert lines[i].startswith(f"final, after {k} moves: ")
    return game, "\n".join(lines[i + 1:i + 2 + height]), lines


@pytest.mark.parametrize("width, height, mirror", [(4, 4, False), (7, 6, True), (9, 8, True)])
def test_dense_game_text_replays_to_the_stored_game(tmp_path, capsys, width, height, mirror):
    rng = random.Random(width * 100 + height)
    games = [play_random(width, height, rng) for _ in range(5)]
    path = write_dense(tmp_path / "dense.npz", games, mirror)
    positions = sum(len(g[1]) for g in games)
    status, out, err = run_show(capsys, path)
    assert (status, err) == (0, "")
    assert out == f"{path}: dense self-play file, {width}x{height}, 5 games, {positions} positions\n"
    for index in (0, 3, 4):
        real, moves, arrays = games[index]
        status, out, err = run_show(capsys, path, "--game", index)
        assert (status, err) == (0, "")
        final, printed, lines = replay_text(out, width, height)
        assert printed == str(final.board()).rstrip("\n") == str(real.board()).rstrip("\n")
        assert final.outcome() == real.outcome()
        assert lines[0] == f"game {index}: {width}x{height}, {len(moves)} moves, {real.outcome()}"
        shown = [PLY.match(line) for line in lines if line.startswith("ply ")]
        assert [int(m[3]) for m in shown] == moves
        assert [float(m[4]) for m in shown] == list(arrays["values"])
        assert all(m[5] == f"{move}:1" for m, move in zip(shown, moves))


def test_last_move_of_a_dense_game_is_inferred_and_the_others_named(tmp_path, capsys):
    # Red holds (1..3, 0) and wins at 0 or at 4; it plays 4. The policy target
    # is uniform over the legal columns, so the file cannot tell which.
    game, rows = dg.Game(7, 6), []
    for col in [1, 6, 2, 6, 3, 5, 4]:
        flat, p, h, w = game.encode_spatial_planes()
        legal = game.legal_action_indices()
        policy = np.zeros(7, np.float32)
        policy[legal] = 1.0 / len(legal)
        rows.append((np.asarray(flat, np.float32).reshape(p, h, w), policy, game.turn()))
        assert game.apply_action(col)
    assert game.outcome().winner() == 1
    n = len(rows)
    np.savez(tmp_path / "one.npz", states=np.stack([r[0] for r in rows]),
             policies=np.stack([r[1] for r in rows]),
             values=np.array([game.reward_from_perspective(r[2]) for r in rows], np.float32),
             opponent_policies=np.zeros((n, 7), np.float32), opponent_policy_masks=np.zeros(n, np.float32))
    status, out, err = run_show(capsys, tmp_path / "one.npz", "--game", 0)
    assert (status, err) == (0, "")
    last = [line for line in out.splitlines() if line.startswith(f"ply {n - 1}:")][0]
    # Equal targets: the lowest winning column is shown, the other named.
    assert last.startswith(f"ply {n - 1}: Red plays 0 (inferred, 4 would fit the file too); value +1;")
    final, printed, _ = replay_text(out, 7, 6)
    assert final.outcome().winner() == 1 and printed == str(final.board()).rstrip("\n")


def test_svg_strip_has_one_board_per_ply(tmp_path, capsys):
    rng = random.Random(5)
    games = [play_random(7, 6, rng, uniform=True) for _ in range(3)]
    path = write_dense(tmp_path / "dense.npz", games)
    out_svg = tmp_path / "strip.svg"
    status, out, err = run_show(capsys, path, "--game", 2, "--svg", out_svg)
    assert (status, err) == (0, "") and out.startswith("game 2: ")
    root = ET.parse(out_svg).getroot()
    assert root.tag == NS + "svg"
    boards = [g for g in root.iter(NS + "g") if g.get("class") == "ply"]
    real, moves, arrays = games[2]
    assert len(boards) == len(moves)
    for k, board in enumerate(boards):
        assert board.get("id") == f"ply-{k}"
        assert len([c for c in board.iter(NS + "circle") if c.get("class") != "move"]) == 42
        assert len([c for c in board.iter(NS + "circle") if c.get("class") == "move"]) == 1
        bars = [r for r in board.iter(NS + "rect") if r.get("class") == "policy"]
        assert len(bars) == np.count_nonzero(arrays["policies"][k])
    # --svg alone writes game 0 and prints nothing.
    status, out, err = run_show(capsys, path, "--svg", out_svg)
    assert (status, out, err) == (0, "", "")
    boards = [g for g in ET.parse(out_svg).getroot().iter(NS + "g") if g.get("class") == "ply"]
    assert len(boards) == len(games[0][1])


def refused_files(tmp_path):
    rng = random.Random(9)
    games = [play_random(5, 4, rng) for _ in range(3)]
    good = {n: np.concatenate([g[2][n] for g in games]) for n in FIELDS}
    cases = {}

    def npz(name, **changes):
        arrays = dict(good, **changes)
        np.savez(tmp_path / f"{name}.npz", **{k: v for k, v in arrays.items() if v is not None})
        cases[name] = tmp_path / f"{name}.npz"

    (tmp_path / "text.npz").write_text("states, policies\n")
    cases["text"] = tmp_path / "text.npz"
    np.save(tmp_path / "single.npy", good["states"])
    cases["single"] = tmp_path / "single.npy"
    data = (tmp_path / "good.npz")
    np.savez(data, **good)
    (tmp_path / "truncated.npz").write_bytes(data.read_bytes()[:600])
    cases["truncated"] = tmp_path / "truncated.npz"
    cases["missing"] = tmp_path / "missing.npz"
    npz("no_values", values=None)
    npz("other_planes", states=good["states"][:, :16])
    npz("short_policies", policies=good["policies"][:-1])
    npz("shuffled", states=good["states"][::-1].copy())
    half = good["states"].copy()
    half[2, 0, 0, 0] = 0.5
    npz("half_values", states=half)
    npz("lost_last", values=-good["values"])
    return cases


def test_refused_inputs_give_one_line_and_status_2(tmp_path, capsys):
    for name, path in refused_files(tmp_path).items():
        status, out, err = run_show(capsys, path, "--game", 0, "--svg", tmp_path / "out.svg")
        assert status == 2, name
        assert out == "" and err.count("\n") == 1 and err.startswith("gravline-show: error: "), (name, err)
        reason = {"missing": "no such file"}.get(name, "is not a self-play file")
        assert reason in err, (name, err)
        assert not (tmp_path / "out.svg").exists(), name


def test_game_index_out_of_range_and_the_installed_command(tmp_path):
    rng = random.Random(2)
    path = write_dense(tmp_path / "d.npz", [play_random(4, 4, rng) for _ in range(2)])
    command = Path(sys.executable).with_name("gravline-show")
    assert command.exists()
    for index in ("2", "-1", "99"):
        done = subprocess.run([command, path, "--game", index], capture_output=True, text=True)
        assert done.returncode == 2
        assert done.stdout == ""
        assert done.stderr == f"gravline-show: error: game {index} is out of range: {path} holds 2 games\n"
    done = subprocess.run([command, path, "--game", "1"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.startswith("game 1: 4x4")


def test_compact_records_file(tmp_path, capsys):
    batch = pytest.importorskip("drevik_gravline_batch")
    if not hasattr(batch, "self_play"):
        pytest.skip("drevik_gravline_batch has no self_play yet")
    records = batch.self_play(6, 7, 6, policy="tactical", seed=4)
    path = tmp_path / "records.npz"
    records.save(path)
    fields = records.arrays()
    status, out, err = run_show(capsys, path)
    assert (status, err) == (0, "")
    assert out == f"{path}: compact self-play file, 7x6, 6 games, {len(records)} positions\n"
    for index in (0, 5):
        status, out, err = run_show(capsys, path, "--game", index, "--svg", tmp_path / "s.svg")
        assert (status, err) == (0, "")
        final, printed, lines = replay_text(out, 7, 6)
        actions = [int(a) for a, g in zip(fields["action"], fields["game"]) if g == index]
        shown = [int(PLY.match(line)[3]) for line in lines if line.startswith("ply ")]
        assert shown == actions and final.is_over()
        boards = [g for g in ET.parse(tmp_path / "s.svg").getroot().iter(NS + "g")
                  if g.get("class") == "ply"]
        assert len(boards) == len(actions)
    # A run that starts at game 10 keeps its numbers.
    path = batch.self_play(3, 7, 6, seed=4, first_game=10).save(tmp_path / "later.npz")
    assert run_show(capsys, path, "--game", 11)[0] == 0
    status, out, err = run_show(capsys, path, "--game", 0)
    assert (status, out) == (2, "")
    assert err == f"gravline-show: error: game 0 is not in {path}: it holds 3 games numbered 10 to 12\n"


def test_compact_records_that_do_not_replay_are_refused(tmp_path, capsys):
    batch = pytest.importorskip("drevik_gravline_batch")
    if not hasattr(batch, "Records"):
        pytest.skip("drevik_gravline_batch has no Records yet")
    fields = batch.self_play(2, 7, 6, policy="random", seed=1).arrays()
    # Record 3 claims another column than the one that leads to record 4.
    action = fields["action"].copy()
    action[3] = (action[3] + 1) % 7
    path = batch.Records.from_arrays(7, 6, **dict(fields, action=action)).save(tmp_path / "bad.npz")
    status, out, err = run_show(capsys, path, "--game", 0)
    assert (status, out) == (2, "")
    assert err == (f"gravline-show: error: {path}: record 4 (game 0, ply 4) is not the position "
                   "its game's earlier moves lead to\n")
    # The other game is sound and shown.
    assert run_show(capsys, path, "--game", 1)[0] == 0


def test_dense_files_of_other_dtypes_give_one_line_and_status_2(tmp_path, capsys):
    good = play_random(5, 4, random.Random(4))[2]
    n = len(good["values"])
    record = np.dtype([("a", "<f4"), ("b", "<i4")])
    cases = {
        "structured_states": {"states": np.zeros((n, 17, 4, 5), record)},
        "void_states": {"states": np.zeros((n, 17, 4, 5), "V4")},
        "string_policies": {"policies": np.full((n, 5), "0.5")},
        "datetime_values": {"values": np.zeros(n, "datetime64[s]")},
        "struct_opponent_policies": {"opponent_policies": np.zeros((n, 5), record)},
        "bytes_masks": {"opponent_policy_masks": np.zeros(n, "S1")},
        "complex_values": {"values": good["values"].astype(np.complex64)},
    }
    for name, changes in cases.items():
        path = tmp_path / f"{name}.npz"
        np.savez(path, **dict(good, **changes))
        for args in ((), ("--game", 0)):
            status, out, err = run_show(capsys, path, *args)
            assert (status, out) == (2, ""), (name, err)
            assert err.count("\n") == 1 and err.startswith("gravline-show: error: "), (name, err)
            assert "not numbers" in err, (name, err)
    # Other number types than float32 still read.
    path = tmp_path / "float64.npz"
    np.savez(path, **{k: v.astype(np.float64) for k, v in good.items()})
    assert run_show(capsys, path)[0] == 0
