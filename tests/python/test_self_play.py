"""The main job (drevik_gravline_tools.self_play): the files it writes, the checks
it makes before playing, its argument errors and interruption; and the
bring-your-own-policy example on GameBatch (examples/self_play.py)."""
import importlib.util
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import drevik_gravline as dg
import drevik_gravline_batch as gb
from drevik_gravline_tools import self_play as job

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "self_play.py"
_spec = importlib.util.spec_from_file_location("self_play_example", SCRIPT)
ex = importlib.util.module_from_spec(_spec)
sys.modules["self_play_example"] = ex  # dataclasses look their module up by name
_spec.loader.exec_module(ex)

FIELDS = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")


def run_job(*args, check=True):
    done = subprocess.run([sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress", *args],
                          capture_output=True, text=True, timeout=600)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def load(path):
    with np.load(path) as data:
        return {f: data[f] for f in data.files}


# ---- the main job ----

@pytest.mark.parametrize("width, height", [(5, 4), (7, 6), (9, 8)])
def test_records_file_is_the_run_for_any_thread_count(tmp_path, width, height):
    size = ["--games", "60", "--width", str(width), "--height", str(height), "--seed", "3"]
    one = run_job(*size, "--threads", "1", "--out", str(tmp_path / "one.npz"))
    run_job(*size, "--threads", "2", "--out", str(tmp_path / "two.npz"))
    records = gb.Records.load(tmp_path / "one.npz")
    assert records == gb.Records.load(tmp_path / "two.npz")
    assert records == gb.self_play(60, width, height, seed=3)
    n = len(records)
    assert f"60 games on {width}x{height}, {n} positions in" in one.stdout
    assert "games/s" in one.stdout and "positions/s" in one.stdout
    assert f"wrote {tmp_path / 'one.npz'} (" in one.stdout
    assert f"{n} compact records of" in one.stdout
    assert f"  red                    ({n}, {(width * height + 63) // 64}) uint64" in one.stdout


def test_dense_file_holds_the_five_arrays_and_their_mirrors(tmp_path):
    run_job("--games", "5", "--width", "5", "--height", "4", "--dense", "--out", str(tmp_path / "m.npz"))
    run_job("--games", "5", "--width", "5", "--height", "4", "--dense", "--no-mirror",
            "--out", str(tmp_path / "p.npz"))
    mirrored, plain = load(tmp_path / "m.npz"), load(tmp_path / "p.npz")
    assert sorted(mirrored) == sorted(FIELDS) and sorted(plain) == sorted(FIELDS)
    records = gb.self_play(5, 5, 4)
    want = records.expand()
    n = len(records)
    for f in FIELDS:
        assert mirrored[f].dtype == np.float32
        assert np.array_equal(plain[f], want[f]), f
        assert np.array_equal(mirrored[f][:n], want[f]), f
    assert np.array_equal(mirrored["states"][n:], plain["states"][..., ::-1])
    assert np.array_equal(mirrored["policies"][n:], plain["policies"][:, ::-1])
    assert np.array_equal(mirrored["opponent_policies"][n:], plain["opponent_policies"][:, ::-1])
    assert np.array_equal(mirrored["values"][n:], plain["values"])
    assert np.array_equal(mirrored["opponent_policy_masks"][n:], plain["opponent_policy_masks"])


def test_dense_writer_streams_in_chunks(tmp_path, monkeypatch):
    # Chunks that split games and the mirror pass give the arrays of one expand.
    monkeypatch.setattr(job, "DENSE_CHUNK", 7)
    records = gb.self_play(4, 6, 5, seed=2)
    path = job.write_dense(records, tmp_path / "d.npz", mirror=True)
    want = records.expand(mirror=True)
    got = load(path)
    for f in FIELDS:
        assert np.array_equal(got[f], want[f]), f


def test_the_file_written_is_the_one_reported(tmp_path):
    done = run_job("--games", "3", "--out", str(tmp_path / "plain"))
    assert f"wrote {tmp_path / 'plain.npz'} (" in done.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain.npz"]
    assert len(gb.Records.load(tmp_path / "plain.npz")) > 0


@pytest.mark.parametrize("out, message", [
    ("missing/x.npz", "the output folder '{tmp}/missing' does not exist"),
    ("missing/run/", "the output folder '{tmp}/missing' does not exist"),
    ("file.npz/", "the output path '{tmp}/file.npz/' is a file, not a folder"),
])
def test_output_path_is_checked_before_any_game(tmp_path, out, message):
    (tmp_path / "file.npz").write_bytes(b"")
    # Far more games than the timeout allows: only a check before play ends in time.
    # A string, not a path: a path would drop the folder's trailing '/'.
    done = run_job("--games", str(10**9), "--out", f"{tmp_path}/{out}", check=False)
    assert done.returncode == 2
    assert done.stderr.strip().endswith("self_play: error: " + message.format(tmp=tmp_path))


@pytest.mark.skipif(os.geteuid() == 0, reason="root may write to any folder")
def test_an_unwritable_folder_is_refused(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    done = run_job("--games", str(10**9), "--out", str(locked / "x.npz"), check=False)
    assert done.returncode == 2 and "is not writable" in done.stderr


@pytest.mark.parametrize("args, message", [
    (["--games", "abc"], "argument --games: expected a whole number, got 'abc'"),
    (["--games", "0"], "argument --games: must be at least 1, got 0"),
    (["--threads", "-2"], "argument --threads: must be at least 1, got -2"),
    (["--seed", "1.5"], "argument --seed: expected a whole number, got '1.5'"),
    (["--width", "3"], "Board width must be between 4 and 32"),
    (["--height", "40"], "Board height must be between 4 and 32"),
    (["--workers", "2"], "--workers was replaced by --threads: games are played on threads of one process"),
    (["--no-mirror"], "--no-mirror applies to --dense output only"),
    (["--policy", "greedy"], "argument --policy: invalid choice: 'greedy' (choose from 'tactical', 'random', 'search')"),
])
def test_argument_errors_are_usage_errors_without_internal_names(tmp_path, args, message):
    done = run_job(*args, "--out", str(tmp_path / "x.npz"), check=False)
    assert done.returncode == 2
    last = done.stderr.strip().splitlines()[-1]
    assert last == "self_play: error: " + message
    assert not any(name in last for name in ("positive", "non_negative", "any_whole", " value:"))
    assert not any(tmp_path.iterdir())


def test_help_needs_neither_numpy_nor_the_generator():
    code = ("import sys, runpy\nsys.argv = ['self_play', '--help']\n"
            "try:\n    runpy.run_module('drevik_gravline_tools.self_play', run_name='__main__')\n"
            "except SystemExit as e:\n"
            "    print('exit', e.code, 'numpy' in sys.modules, 'drevik_gravline_batch' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.startswith("usage: self_play")
    assert done.stdout.strip().splitlines()[-1] == "exit 0 False False"


def test_ctrl_c_during_the_games_writes_nothing(tmp_path):
    # Seconds of games at full speed, yet few enough that the run stays within
    # a few hundred MB should the Ctrl-C never land.
    folder = tmp_path / "run"
    folder.mkdir()
    with open(tmp_path / "stdout", "w") as stdout:
        proc = subprocess.Popen([sys.executable, "-m", "drevik_gravline_tools.self_play", "--games", "300000",
                                 "--threads", "2", "--out", str(folder / "x.npz")],
                                stdout=stdout, stderr=subprocess.PIPE, text=True)
        err, started = [], threading.Event()

        def read_stderr():
            # Read apart from the test, so that no wait depends on the next byte.
            for line in proc.stderr:
                err.append(line)
                if line.startswith("playing 300000 games"):
                    started.set()

        reader = threading.Thread(target=read_stderr, daemon=True)
        reader.start()
        try:
            assert started.wait(120), "the job never said that its games start: " + "".join(err)
            threading.Event().wait(0.5)  # into the games
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout=120)
        finally:
            proc.kill()
            proc.wait()
        reader.join(60)
    assert proc.returncode == 130, "".join(err)
    assert "interrupted: no file written" in "".join(err)
    assert not any(folder.iterdir())
    assert "wrote" not in (tmp_path / "stdout").read_text()


def test_an_interrupted_write_leaves_the_old_file_and_no_temporary(tmp_path):
    target = tmp_path / "x.npz"
    target.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt):
        with job.replaced_atomically(target, ".tmp.npz") as temp:
            Path(temp).write_bytes(b"half")
            raise KeyboardInterrupt
    assert target.read_bytes() == b"old"
    assert [p.name for p in tmp_path.iterdir()] == ["x.npz"]
    records = gb.self_play(2, 7, 6)
    assert job.write_records(records, target) == target
    assert gb.Records.load(target) == records
    assert oct(target.stat().st_mode & 0o777) == oct(0o666 & ~_umask())


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_generate_runs_the_named_backend(tmp_path):
    args = job.parse_args(["--games", "7", "--policy", "random", "--seed", "4", "--out", str(tmp_path / "y")])
    assert args.path == tmp_path / "y.npz"
    assert job.generate(args) == gb.self_play(7, 7, 6, policy="random", seed=4)
    seen = []
    job.generate(args, seen.append)
    assert seen[-1] == 7


# ---- the example: a NumPy policy on GameBatch ----

def replay_example(played, width, height):
    """Every sample of the example against its game replayed through Game."""
    b = played.batch
    n = len(played.games)
    assert all(len(b[f]) == n and b[f].dtype == np.float32 for f in FIELDS)
    starts = [0] + [i for i in range(1, n) if played.games[i] != played.games[i - 1]] + [n]
    for s, e in zip(starts, starts[1:]):
        g, movers = dg.Game(width, height), []
        for k in range(s, e):
            flat, p, r, c = g.encode_spatial_planes()
            assert np.array_equal(b["states"][k], np.reshape(flat, (p, r, c)))
            policy = b["policies"][k]
            legal = g.legal_action_indices()
            assert np.flatnonzero(policy).tolist() == legal
            assert policy.sum() == pytest.approx(1.0, abs=1e-5)
            assert played.actions[k] in legal
            movers.append(g.turn())
            assert g.apply_action(int(played.actions[k]))
        assert g.is_over()
        assert b["values"][s:e].tolist() == [g.reward_from_perspective(m) for m in movers]
        assert np.array_equal(b["opponent_policies"][s:e - 1], b["policies"][s + 1:e])
        assert not b["opponent_policies"][e - 1].any()
        assert b["opponent_policy_masks"][s:e].tolist() == [1.0] * (e - s - 1) + [0.0]
    return sorted(set(played.games.tolist()))


@pytest.mark.parametrize("width, height", [(5, 4), (7, 6), (9, 8)])
def test_example_samples_replay_through_game(width, height):
    played = ex.play_games(7, width, height, seed=1, batch=3, hidden=16)
    assert replay_example(played, width, height) == list(range(7))


def test_example_is_deterministic_and_calls_the_network_once_per_ply(monkeypatch):
    calls = []
    original = ex.TinyNetwork.__call__

    def counted(self, planes, legal):
        calls.append(len(planes))
        return original(self, planes, legal)

    monkeypatch.setattr(ex.TinyNetwork, "__call__", counted)
    whole = ex.play_games(6, 7, 6, seed=2, batch=6)
    # One call per ply of the batch, each on every game of the batch.
    counts = np.bincount(whole.games)
    assert calls == [6] * counts.max()
    again = ex.play_games(6, 7, 6, seed=2, batch=6)
    assert np.array_equal(again.actions, whole.actions)
    for f in FIELDS:
        assert np.array_equal(again.batch[f], whole.batch[f]), f
    assert not np.array_equal(ex.play_games(6, 7, 6, seed=3, batch=6).actions, whole.actions)


def run_example(tmp_path, name, *args):
    out = tmp_path / name
    done = subprocess.run([sys.executable, str(SCRIPT), "--out", str(out), *args],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return load(out), done.stdout


def test_example_file_second_half_is_the_mirror(tmp_path):
    data, text = run_example(tmp_path, "m.npz", "--games", "3", "--batch", "2", "--width", "5", "--height", "4")
    plain, _ = run_example(tmp_path, "p.npz", "--games", "3", "--batch", "2", "--width", "5", "--height", "4",
                           "--no-mirror")
    n = len(plain["values"])
    assert len(data["values"]) == 2 * n
    for f in FIELDS:
        assert np.array_equal(data[f][:n], plain[f]), f
    assert np.array_equal(data["states"][n:], plain["states"][..., ::-1])
    assert np.array_equal(data["policies"][n:], plain["policies"][:, ::-1])
    assert "games/s" in text and "positions/s" in text
    assert f"states                 ({2 * n}, 17, 4, 5) float32" in text


def test_example_bad_board_size_is_a_usage_error(tmp_path):
    done = subprocess.run([sys.executable, str(SCRIPT), "--width", "3", "--out", str(tmp_path / "x.npz")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 2
    assert "Board width must be between 4 and 32" in done.stderr
    assert not (tmp_path / "x.npz").exists()
