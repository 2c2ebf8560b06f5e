"""The installed type stubs: stubtest against the built module, and mypy on the
self-play example and on user code in a folder outside the repository."""
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


@pytest.fixture(scope="module")
def outside(tmp_path_factory):
    """A folder outside the checkout, with a mypy cache shared by this file's tests."""
    return tmp_path_factory.mktemp("typing")


def mypy(outside, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(outside / ".mypy_cache"), *args],
        cwd=outside, capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("module", ["drevik_gravline", "drevik_gravline_batch"])
def test_stubs_match_the_module(outside, module):
    args = ["--allowlist", str(ALLOWLIST)] if ALLOWLIST.exists() else []
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module, *args],
                          cwd=outside, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_self_play_example_type_checks(outside):
    done = mypy(outside, str(ROOT / "examples" / "self_play.py"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_tools_package_type_checks(outside):
    done = mypy(outside, str(ROOT / "python" / "drevik_gravline_tools"))
    assert done.returncode == 0, done.stdout + done.stderr


GOOD = """\
    from typing import Literal, assert_type

    import numpy as np
    from numpy.typing import NDArray

    import drevik_gravline as dg

    g = dg.Game(np.int64(7), 6)
    assert_type(g, dg.Game)
    assert_type(dg.Game.standard(), dg.Game)
    assert_type(g.turn(), Literal[1, -1])
    assert_type(g.get_piece(0, 0), Literal[1, -1] | None)
    g.set_piece(col=0, row=0, piece=None)
    g.set_piece(0, 0, dg.RED)
    assert_type(g.legal_moves(), list[dg.Move])
    assert_type(g.make_move(move_=dg.Move(3, 0)), bool)
    assert_type(g.decode_action(3), dg.Move | None)
    assert_type(dg.Move.decode(3, g), dg.Move)
    assert_type(g.encode_spatial_planes(), tuple[list[float], int, int, int])
    assert_type(g.board_shape(), tuple[int, int])
    assert_type(g.outcome(), dg.GameOutcome | None)
    assert_type(g.board().column_height(3), int)
    assert_type(g.reward_from_perspective(dg.YELLOW), float)
    assert_type(g.state_hash(), int)
    assert_type(hash(g) + hash(dg.Move(0, 0)), int)
    outcome = g.outcome()
    if outcome is not None:
        assert_type(outcome.winner(), Literal[1, -1] | None)
        assert_type(outcome == outcome, bool)
    assert_type(dg.SPATIAL_INPUT_PLANES + dg.GLOBAL_INPUT_FEATURES, int)
    assert_type(dg.__all__, list[str])

    s = np.zeros((1, 17, 6, 7), np.float32)
    p = np.zeros((1, 7), np.float32)
    v = np.zeros(1, np.float32)
    out = dg.augment_symmetries(s, p, v, p, v)
    assert_type(out[0], NDArray[np.float32])
    assert len(out) == 5

    from drevik_gravline_batch import GameBatch, encode_games
    b = GameBatch(2, 7, 6, threads=2)
    mask = b.legal_mask()
    assert_type(mask, NDArray[np.bool_])
    rewards, done = b.step(mask.argmax(1))
    assert_type(rewards, NDArray[np.float32])
    b.step([3, -1])
    b.reset(done)
    assert_type(b.observe(out=np.zeros((2, 17, 6, 7), np.float32)), NDArray[np.float32])
    assert_type(b.state_hashes(), NDArray[np.uint64])
    assert_type(b.game(0), dg.Game)
    assert_type(GameBatch.from_games([g]), GameBatch)
    assert_type(encode_games([g, b.game(1)]), NDArray[np.float32])
"""

# Each line marked "# error" must be reported, and nothing else.
BAD = """\
    import numpy as np

    import drevik_gravline as dg

    g = dg.Game(7, 6)
    g.make_move(3)  # error
    g.get_piece(1.5, 0)  # error
    dg.Move(1, 0) < dg.Move(2, 0)  # error
    dg.RED = 2  # error
    g.no_such_method()  # error
    dg.Game.standard(7)  # error
    g.outcome().winner()  # error
    f32, f64 = np.zeros(3, np.float32), np.zeros(3, np.float64)
    dg.augment_symmetries(f64, f32, f32, f32, f32)  # error


    class Mine(dg.Move):  # error
        pass


    from drevik_gravline_batch import GameBatch, encode_games
    GameBatch(2, 7, 6, 1)  # error
    GameBatch(2, 7, 6).step([1.5, 2.0])  # error
    encode_games([dg.Board(7, 6)])  # error
"""


def test_stubs_are_found_outside_the_checkout(outside):
    (outside / "good.py").write_text(textwrap.dedent(GOOD))
    done = mypy(outside, "good.py")
    assert done.returncode == 0, done.stdout + done.stderr

    bad = textwrap.dedent(BAD)
    (outside / "bad.py").write_text(bad)
    done = mypy(outside, "bad.py")
    expected = {i for i, line in enumerate(bad.splitlines(), 1) if line.endswith("# error")}
    reported = {int(m) for m in re.findall(r"^bad\.py:(\d+): error", done.stdout, re.M)}
    assert reported == expected, done.stdout
