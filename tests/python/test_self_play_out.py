"""The main job's output and arguments as a user meets them: --out relative to the
caller's folder (through scripts/self_play.sh), folders of shards, resume, the
write test of the output folder, and one-line usage errors for every value."""
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import drevik_gravline_batch as gb
from drevik_gravline_tools import shards

ROOT = Path(__file__).resolve().parents[2]
ERROR = "self_play: error: "


def run_job(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress", *args],
                          capture_output=True, text=True, timeout=600, cwd=cwd)


def one_line_error(done):
    assert done.returncode == 2, done.stderr
    lines = done.stderr.strip().splitlines()
    assert "Traceback" not in done.stderr
    return lines[-1]


def test_script_writes_a_relative_out_in_the_callers_folder(tmp_path):
    # The script as it stands, in a checkout whose environment step is a stub
    # that names this interpreter.
    repo, work = tmp_path / "repo", tmp_path / "work"
    (repo / "scripts").mkdir(parents=True)
    work.mkdir()
    shutil.copy(ROOT / "scripts" / "self_play.sh", repo / "scripts")
    (repo / "scripts" / "setup_venv.sh").write_text(f"VPY={sys.executable}\n")
    done = subprocess.run(["bash", "../repo/scripts/self_play.sh", "--no-progress", "--games", "3",
                           "--out", "t.npz"], cwd=work, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert (work / "t.npz").is_file() and not (repo / "t.npz").exists()
    assert len(gb.Records.load(work / "t.npz")) > 0


@pytest.mark.parametrize("args, message", [
    (["--games", "8589934592"], "argument --games: must be at most 4294967296, got 8589934592"),
    (["--seed", "18446744073709551616"], "argument --seed: must be at most 18446744073709551615, "
                                         "got 18446744073709551616"),
    (["--seed", "-1"], "argument --seed: must be at least 0, got -1"),
    (["--threads", "300"], "argument --threads: must be at most 256, got 300"),
    (["--threads", "1000"], "argument --threads: must be at most 256, got 1000"),
    (["--width", str(2**70)], "Board width must be between 4 and 32"),
    (["--shards", "0", "--backend", "ray"], "argument --shards: must be at least 1, got 0"),
    (["--shard-positions", "0"], "argument --shard-positions: must be at least 1, got 0"),
    (["--shard-positions", "99999999999"], "argument --shard-positions: must be at most 67108864, "
                                           "got 99999999999"),
    (["--out", ""], "argument --out: must not be empty"),
    (["--address", "", "--backend", "ray"], "argument --address: must not be empty"),
    (["--games", "4294967296"], "4294967296 games need about {need} GB of memory to be written as one file, "
                                "more than this machine has ({ram} GB); write them to a folder of shards "
                                "instead (--out a name ending in '/')"),
    (["--resume"], "--resume applies to a folder of shards: give --out a folder (a name ending in '/')"),
    (["--shard-positions", "10"], "--shard-positions applies to a folder of shards: give --out a folder "
                                  "(a name ending in '/')"),
    (["--out", "{tmp}/run/", "--dense"], "--dense writes one file: give --out a file name"),
    (["--out", "{tmp}/run/", "--compress"], "--compress applies to one file: shards are stored "
                                            "uncompressed, to be memory-mapped"),
])
def test_every_bad_value_is_a_one_line_usage_error(tmp_path, args, message):
    args = [a.format(tmp=tmp_path) for a in args]
    if "--out" not in args:
        args += ["--out", str(tmp_path / "x.npz")]
    # The estimate of a run held whole: its first 256 games' mean length.
    mean = len(gb.self_play(256, 7, 6)) / 256
    need = f"{2**32 * mean * 42 * 2 / 1e9:,.0f}"
    ram = f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 1e9:,.0f}"
    assert one_line_error(run_job(*args)) == ERROR + message.format(need=need, ram=ram)
    assert not any(tmp_path.iterdir())


def test_help_gives_the_ranges():
    text = " ".join(run_job("--help").stdout.split())
    for piece in ("1 to 4294967296", "0 to 18446744073709551615", "1 to 256", "4 to 32", "1 to 67108864"):
        assert piece in text, piece


def test_an_unwritable_output_is_found_by_writing_before_any_game(tmp_path):
    # /proc refuses new files even to root, whom a permission test lets through.
    done = run_job("--games", "1000000", "--out", "/proc/x.npz")
    assert one_line_error(done).startswith(ERROR + "the output folder '/proc' is not writable (")


def test_out_naming_a_folder_writes_shards_and_resume_continues(tmp_path):
    (tmp_path / "existing").mkdir()
    done = run_job("--games", "300", "--seed", "2", "--shard-positions", "2000", "--out", str(tmp_path / "existing"))
    assert done.returncode == 0, done.stderr
    assert not (tmp_path / "existing.npz").exists()
    manifest = shards.read_manifest(tmp_path / "existing")
    assert manifest["complete"] and len(manifest["shards"]) > 1
    assert f"wrote {tmp_path / 'existing'}{os.sep} (" in done.stdout
    assert f"{len(manifest['shards'])} shards of {manifest['shard_games']} games" in done.stdout
    records = gb.Records.concat([gb.Records.load(tmp_path / "existing" / e["file"]) for e in manifest["shards"]])
    assert records == gb.self_play(300, 7, 6, seed=2)
    # A new name ending in '/' is made.
    assert run_job("--games", "20", "--out", str(tmp_path / "new") + "/").returncode == 0
    assert shards.read_manifest(tmp_path / "new")["games"] == 20
    # Again without --resume: refused; with it and another seed: refused; the same run: kept.
    again = run_job("--games", "300", "--seed", "2", "--out", str(tmp_path / "existing"))
    assert one_line_error(again).startswith(ERROR + f"{str(tmp_path / 'existing')!r} already holds a self-play run")
    other = run_job("--games", "300", "--seed", "3", "--resume", "--out", str(tmp_path / "existing"))
    assert one_line_error(other) == (ERROR + f"the run in {str(tmp_path / 'existing')!r} has seed 2, not 3: "
                                     "a resumed run must be the same run")
    (tmp_path / "existing" / shards.shard_name(0)).unlink()
    resumed = run_job("--games", "300", "--seed", "2", "--resume", "--out", str(tmp_path / "existing"))
    assert resumed.returncode == 0, resumed.stderr
    assert shards.read_manifest(tmp_path / "existing") == manifest


def test_a_huge_run_to_a_folder_simply_runs(tmp_path):
    # Not refused as a file of its size would be: it plays, shard after shard,
    # until it is stopped.
    proc = subprocess.Popen([sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress",
                             "--games", "4294967296", "--threads", "2", "--out", str(tmp_path) + "/"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "manifest.json").exists() or not shards.read_manifest(tmp_path)["shards"]:
            assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
            time.sleep(0.2)
        assert proc.poll() is None
        assert shards.read_manifest(tmp_path)["games"] == 2**32
    finally:
        proc.kill()
        proc.wait()


def test_ctrl_c_keeps_the_complete_shards_and_resume_finishes_the_run(tmp_path):
    import signal

    args = ["--games", "3000", "--seed", "4", "--shard-positions", "1500", "--threads", "2"]
    proc = subprocess.Popen([sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress", *args,
                             "--out", f"{tmp_path}/run/"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while not (tmp_path / "run" / shards.MANIFEST).exists() or not shards.read_manifest(tmp_path / "run")["shards"]:
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    if proc.returncode == 0:
        pytest.skip("the run ended before the interrupt arrived")
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == (f"interrupted: the complete shards are kept in {tmp_path / 'run'}; "
                                            "--resume continues the run")
    manifest = shards.read_manifest(tmp_path / "run")
    assert not manifest["complete"]
    names = sorted(p.name for p in (tmp_path / "run").iterdir())
    assert names == sorted(["manifest.json"] + [e["file"] for e in manifest["shards"]])
    done = run_job(*args, "--resume", "--out", f"{tmp_path}/run/")
    assert done.returncode == 0, done.stderr
    records = gb.Records.concat([gb.Records.load(tmp_path / "run" / e["file"])
                                 for e in shards.read_manifest(tmp_path / "run")["shards"]])
    assert records == gb.self_play(3000, 7, 6, seed=4)
