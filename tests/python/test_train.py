"""The training example (examples/train.py) on a tiny network: a few rounds of
self-play, training and reports, then a resumed run that continues where the
first stopped. Needs PyTorch, which the modules themselves never import."""
import ast
import csv
import importlib.util
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

pytest.importorskip(
    "torch", reason="examples/train.py needs PyTorch (pip install torch --index-url https://download.pytorch.org/whl/cpu)")

from drevik_gravline_batch import Records  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "train.py"

# Rounds of 24 games of an 8-simulation search, a network of one block of 8
# channels in float32, a report after every round, small matches.
TINY = ["--games", "24", "--simulations", "8", "--blocks", "1", "--channels", "8", "--no-bfloat16",
        "--batch", "64", "--reuse", "6", "--lr", "3e-3", "--report-minutes", "0", "--eval-games", "4",
        "--rollout-games", "2", "--final-rollout-games", "2", "--eval-simulations", "16",
        "--accuracy-positions", "20", "--threads", "1", "--quiet"]


@pytest.fixture(scope="module")
def train():
    spec = importlib.util.spec_from_file_location("train_example", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def rows(folder):
    with (folder / "progress.csv").open(newline="") as f:
        return list(csv.DictReader(f))


def run(train, folder, rounds, *extra):
    assert train.main(["--minutes", "10", "--out", str(folder), "--rounds", str(rounds), *TINY, *extra]) == 0
    return rows(folder)


def test_run_reports_and_resumes_where_it_stopped(train, tmp_path, capsys):
    out = tmp_path / "run"
    first = run(train, out, 4)
    assert len(first) == 4  # one report per round, the last one final
    for name in ("minutes", "games", "positions", "loss", "accuracy", "vs_rollout", "vs_tactical",
                 "train_steps", "search_s", "inference_s", "training_s", "evaluation_s"):
        assert name in first[0]
    assert [int(r["games"]) for r in first] == [24, 48, 72, 96]
    assert float(first[-1]["loss"]) < float(first[0]["loss"])
    for r in first:
        assert 0 <= float(r["accuracy"]) <= 1 and 0 <= float(r["vs_rollout"]) <= 1
    assert first[-1]["rollout_simulations"] == "16"

    svg = ET.parse(out / "progress.svg").getroot()
    assert svg.tag.endswith("svg")
    assert len([e for e in svg.iter() if e.tag.endswith("polyline")]) == 3

    buffers = list(out.glob("buffer-*.npz"))
    assert [b.name for b in buffers] == ["buffer-4.npz"]  # older windows are removed
    window = Records.load(buffers[0])
    assert len(window) == int(first[-1]["positions"])  # the window holds every position so far

    # The same command again: the run is complete, nothing is added.
    capsys.readouterr()
    assert run(train, out, 4) == first
    assert "resumed" in capsys.readouterr().out

    # Two more rounds continue the counters and the same replay window.
    more = run(train, out, 6)
    assert more[:4] == first and len(more) == 6
    assert [int(r["games"]) for r in more[4:]] == [120, 144]
    assert int(more[4]["train_steps"]) > int(first[-1]["train_steps"])
    assert float(more[4]["minutes"]) >= float(first[-1]["minutes"])
    grown = Records.load(out / "buffer-6.npz")
    assert grown[:len(window)] == window


def test_resumed_run_matches_an_uninterrupted_one(train, tmp_path):
    """Stopped after 2 rounds and resumed for a third, a run makes the same
    games and steps as one of 3 rounds straight: the network, optimizer,
    replay window and the seeds' positions all come back."""
    straight = run(train, tmp_path / "straight", 3)
    run(train, tmp_path / "resumed", 2)
    resumed = run(train, tmp_path / "resumed", 3)
    keys = ("games", "positions", "train_steps")
    assert [[r[k] for k in keys] for r in resumed] == [[r[k] for k in keys] for r in straight]
    assert (Records.load(tmp_path / "resumed" / "buffer-3.npz")
            == Records.load(tmp_path / "straight" / "buffer-3.npz"))


def test_fresh_starts_over_and_settings_come_from_the_checkpoint(train, tmp_path, capsys):
    out = tmp_path / "run"
    run(train, out, 1)
    # A resumed run keeps the network's shape of its checkpoint, whatever the command says.
    run(train, out, 2, "--channels", "16")
    assert "1 blocks x 8 channels" in capsys.readouterr().out
    fresh = run(train, out, 1, "--fresh")
    assert len(fresh) == 1 and fresh[0]["games"] == "24"
    assert [b.name for b in out.glob("buffer-*.npz")] == ["buffer-1.npz"]


def test_example_uses_public_names_only():
    tree = ast.parse(SCRIPT.read_text())
    imported = [(node.module, alias.name) for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)
                for alias in node.names if node.module and node.module.startswith("drevik_gravline")]
    assert imported and all(not name.startswith("_") for _, name in imported)
    modules = {alias.asname or alias.name for node in ast.walk(tree) if isinstance(node, ast.Import)
               for alias in node.names if alias.name.startswith("drevik_gravline")}
    private = [node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)
               and isinstance(node.value, ast.Name) and node.value.id in modules and node.attr.startswith("_")]
    assert private == []


def test_modules_do_not_import_torch():
    import subprocess

    code = ("import sys, drevik_gravline, drevik_gravline_batch, drevik_gravline_tools.arena, "
            "drevik_gravline_tools.replay, drevik_gravline_tools.shards; print('torch' in sys.modules)")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "False"
