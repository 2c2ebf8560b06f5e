"""Shard functions that the Ray tests run on the cluster's workers in place of
the plain one: they report, delay or fail. The test cluster has this folder on
its PYTHONPATH and the folder they talk through in GRAVLINE_TEST_SHARD_DIR."""

import os
import signal
import time
from pathlib import Path

from drevik_gravline_tools.ray_runner import play_shard


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
