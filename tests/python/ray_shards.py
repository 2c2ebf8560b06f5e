"""Shard functions that the Ray tests run on the cluster's workers in place of
the plain one: they report, delay or fail. The test cluster has this folder on
its PYTHONPATH and the folder they talk through in GRAVLINE_TEST_SHARD_DIR."""

import os
import signal
import time
from pathlib import Path

from drevik_gravline_tools.ray_runner import play_shard
from drevik_gravline_tools.shards import play_shard_to_folder, write_npz_aligned


def _folder():
    return Path(os.environ["GRAVLINE_TEST_SHARD_DIR"])


def play_first_shard_last(games, width, height, policy, seed, threads, first_game):
    """The shard of game 0 finishes after the others."""
    if first_game == 0:
        time.sleep(2.0)
    return play_shard(games, width, height, policy, seed, threads, first_game)


def wait_to_be_killed(games, width, height, policy, seed, threads, first_game):
    """Plays its shard; the shard named in the file `target` then writes
    `<first_game>.<pid>` and, on its first attempt, holds on to its records
    until the test has killed it (or a minute has passed)."""
    records = play_shard(games, width, height, policy, seed, threads, first_game)
    folder = _folder()
    if first_game == int((folder / "target").read_text()):
        first_attempt = not list(folder.glob(f"{first_game}.*"))
        (folder / f"{first_game}.{os.getpid()}").touch()
        deadline = time.monotonic() + 60
        while first_attempt and not (folder / "go").exists() and time.monotonic() < deadline:
            time.sleep(0.02)
    return records


def crash_shard_of_game_0(games, width, height, policy, seed, threads, first_game):
    """The shard of game 0 kills its own worker on every attempt."""
    if first_game == 0:
        os.kill(os.getpid(), signal.SIGKILL)
    return play_shard(games, width, height, policy, seed, threads, first_game)


def write_part_then_wait_to_be_killed(folder, index, first_game, games, width, height, policy, seed, threads):
    """Writes its shard; the shard numbered in the file `target`, on its first
    attempt, first writes part of a shard file under a temporary name as the
    writer names them, reports `<index>.<pid>`, and waits to be killed."""
    signals = _folder()
    if index == int((signals / "target").read_text()) and not list(signals.glob(f"{index}.*")):
        import numpy as np

        with open(Path(folder) / f".shard-{index:06d}.npz.partial.tmp", "wb") as f:
            write_npz_aligned(f, [("red", np.zeros(1000, np.uint64))])
            f.truncate(1500)
        (signals / f"{index}.{os.getpid()}").touch()
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            time.sleep(0.02)
    else:
        (signals / f"{index}.{os.getpid()}").touch()
    return play_shard_to_folder(folder, index, first_game, games, width, height, policy, seed, threads)
