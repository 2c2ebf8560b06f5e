"""self_play() and Records: every record against a replay through Game, the
tactical rule, determinism, expansion, files, pickles and bad input."""
import io
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import zipfile

import numpy as np
import pytest

import drevik_gravline as dg
import drevik_gravline_batch as gb

FIELDS = ("red", "yellow", "last_moves", "turn", "policy", "opponent_policy", "opponent_mask",
          "value", "game", "ply", "action")
EXPANDED = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")

# One size per word-count class: 1, 2, 4 and 16 words per bit set.
SIZES = [(4, 4), (7, 6), (9, 8), (16, 16), (32, 32), (4, 32)]


def wins_at_once(game, action):
    trial = game.clone()
    mover = trial.turn()
    return trial.apply_action(action) and trial.reward_from_perspective(mover) == 1.0


def completes_four(grid, col, row, who):
    """Whether a piece of `who` at (col, row) makes four in a line, on a plain grid."""
    h, w = grid.shape
    for dc, dr in ((1, 0), (0, 1), (1, 1), (1, -1)):
        n = 1
        for s in (1, -1):
            c, r = col + s * dc, row + s * dr
            while 0 <= c < w and 0 <= r < h and grid[r, c] == who:
                n += 1
                c, r = c + s * dc, r + s * dr
        if n >= 4:
            return True
    return False


def grid_of(game):
    w, h = game.width(), game.height()
    return np.array([[game.get_piece(c, r) or 0 for c in range(w)] for r in range(h)])


def landing_cells(game):
    grid = grid_of(game)
    return grid, [(a, int(np.count_nonzero(grid[:, a]))) for a in game.legal_action_indices()]


def tactical_set(game):
    """The tactical rule on a grid: winning drops, else blocks, else every legal column."""
    grid, cells = landing_cells(game)
    me = game.turn()
    wins = [a for a, r in cells if completes_four(grid, a, r, me)]
    blocks = [a for a, r in cells if completes_four(grid, a, r, -me)]
    return wins or blocks or [a for a, _ in cells]


def bits_of(words):
    """The set bits of one record's words."""
    return {64 * i + b for i, word in enumerate(words.tolist()) for b in range(64) if word >> b & 1}


def policy_row(columns, width):
    row = np.zeros(width, np.float32)
    if columns:
        row[columns] = 1.0 / len(columns)
    return row


def replay_and_check(records, policy, first_game=0):
    """Every record of `records` against its game replayed through Game."""
    w, h = records.width(), records.height()
    a = records.arrays()
    n = len(records)
    assert all(len(a[f]) == n for f in FIELDS)
    i = 0
    while i < n:
        g = dg.Game(w, h)
        gi = int(a["game"][i])
        start = i
        movers, targets = [], []
        while not g.is_over():
            assert a["game"][i] == gi and a["ply"][i] == len(movers)
            assert a["turn"][i] == g.turn()
            red = {r * w + c for r in range(h) for c in range(w) if g.get_piece(c, r) == 1}
            yellow = {r * w + c for r in range(h) for c in range(w) if g.get_piece(c, r) == -1}
            assert bits_of(a["red"][i]) == red
            assert bits_of(a["yellow"][i]) == yellow
            history = [int(x) for x in a["action"][start:i]][::-1][:8]
            assert a["last_moves"][i].tolist() == history + [255] * (8 - len(history))
            expected = tactical_set(g) if policy == "tactical" else g.legal_action_indices()
            columns = [c for c in range(w) if a["policy"][i] >> c & 1]
            assert columns == expected
            assert a["action"][i] in columns
            targets.append(policy_row(columns, w))
            movers.append(g.turn())
            assert g.apply_action(int(a["action"][i]))
            i += 1
        rows = records.expand(np.arange(start, i))
        g2 = dg.Game(w, h)
        for k, j in enumerate(range(start, i)):
            flat, p, rr, cc = g2.encode_spatial_planes()
            assert np.array_equal(rows["states"][k], np.reshape(flat, (p, rr, cc))), (gi, k)
            g2.apply_action(int(a["action"][j]))
        values = [g.reward_from_perspective(m) for m in movers]
        assert a["value"][start:i].tolist() == values
        assert rows["values"].tolist() == values
        assert np.array_equal(rows["policies"], np.stack(targets))
        assert np.array_equal(rows["opponent_policies"][:-1], rows["policies"][1:])
        assert not rows["opponent_policies"][-1].any()
        assert a["opponent_mask"][start:i].tolist() == [True] * (i - start - 1) + [False]
        assert rows["opponent_policy_masks"].tolist() == [1.0] * (i - start - 1) + [0.0]
        assert a["opponent_policy"][start:i - 1].tolist() == a["policy"][start + 1:i].tolist()
    return sorted(set(a["game"].tolist()))


# ---- every record against a replay ----

@pytest.mark.parametrize("width, height", SIZES)
@pytest.mark.parametrize("policy", ["tactical", "random"])
def test_every_record_matches_a_replay_through_game(width, height, policy):
    games = 2 if width * height > 300 else 12
    r = gb.self_play(games, width, height, policy=policy, seed=7, first_game=3)
    assert (r.width(), r.height()) == (width, height)
    assert replay_and_check(r, policy) == list(range(3, 3 + games))


def test_tactical_play_never_misses_a_win_and_always_blocks():
    r = gb.self_play(300, 7, 6, seed=1)
    a = r.arrays()
    wins = blocks = 0
    g = None
    for i in range(len(r)):
        if a["ply"][i] == 0:
            g = dg.Game(7, 6)
        grid, cells = landing_cells(g)
        me, action = g.turn(), int(a["action"][i])
        can_win = [c for c, row in cells if completes_four(grid, c, row, me)]
        threats = [c for c, row in cells if completes_four(grid, c, row, -me)]
        if can_win:
            wins += 1
            assert wins_at_once(g, action), (i, can_win, action)
        elif threats:
            blocks += 1
            assert action in threats, (i, threats, action)
        g.apply_action(action)
    assert wins > 50 and blocks > 50  # both rules were exercised


# ---- determinism ----

def test_same_records_for_any_threads_run_length_and_shards():
    one = gb.self_play(3000, 7, 6, seed=9)
    assert gb.self_play(3000, 7, 6, seed=9, threads=2) == one
    assert gb.self_play(3000, 7, 6, seed=9, threads=3) == one
    # A run's first games are a shorter run.
    short = gb.self_play(40, 7, 6, seed=9)
    n = len(short)
    assert np.array_equal(one.arrays()["game"][:n], short.arrays()["game"])
    assert gb.Records.from_arrays(7, 6, **{f: v[:n] for f, v in one.arrays().items()}) == short
    shards = [gb.self_play(1000, 7, 6, seed=9, first_game=k) for k in (0, 1000, 2000)]
    assert gb.Records.concat(shards) == one
    assert gb.self_play(3000, 7, 6, seed=10) != one
    assert gb.self_play(3000, 7, 6, seed=9, policy="random") != one


def test_two_threads_at_once_get_what_one_alone_gets():
    want = gb.self_play(2000, 9, 8, seed=4)
    got = [None, None]

    def run(k):
        got[k] = gb.self_play(2000, 9, 8, seed=4, threads=2)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got[0] == want and got[1] == want


def test_progress_runs_on_the_calling_thread_between_chunks():
    calls = []
    r = gb.self_play(20000, 7, 6, progress=lambda done: calls.append((done, threading.get_ident())))
    assert len(calls) >= 2
    assert [d for d, _ in calls] == sorted({d for d, _ in calls})
    assert calls[-1][0] == 20000
    assert {t for _, t in calls} == {threading.get_ident()}
    assert len(set(r.arrays()["game"].tolist())) == 20000


def test_an_error_in_progress_stops_the_run():
    def stop(done):
        raise LookupError(done)

    with pytest.raises(LookupError):
        gb.self_play(20000, 7, 6, progress=stop)


def test_ctrl_c_stops_a_long_run_with_keyboard_interrupt(tmp_path):
    script = textwrap.dedent("""
        import sys, drevik_gravline_batch as gb
        gb.self_play(50, 7, 6)
        print("started", flush=True)
        result = None
        try:
            result = gb.self_play(10**9, 7, 6, threads=2)
        except KeyboardInterrupt:
            print("interrupted", result is None, flush=True)
            sys.exit(3)
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "started"
    threading.Event().wait(0.3)  # let the long run start
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=120)
    assert out.strip() == "interrupted True"
    assert proc.returncode == 3


def test_self_play_needs_no_numpy():
    script = ("import sys, drevik_gravline_batch as gb; r = gb.self_play(5, 7, 6); "
              "print(len(r) > 0, 'numpy' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["True", "False"], done.stderr


# ---- expand ----

def test_expand_with_mirror_is_augment_symmetries_of_the_rows():
    r = gb.self_play(20, 7, 6, seed=3)
    pick = [0, len(r) - 1, 5, 5, -2]
    plain = r.expand(pick)
    both = r.expand(np.array(pick, np.int16), mirror=True)
    assert list(both) == list(EXPANDED)
    want = dg.augment_symmetries(*(plain[k] for k in EXPANDED))
    for k, v in zip(EXPANDED, want):
        assert both[k].dtype == np.float32
        assert np.array_equal(both[k], v), k
    everything = r.expand()
    assert len(everything["values"]) == len(r)
    assert np.array_equal(everything["states"][-2], plain["states"][-1])


def test_expand_into_out_arrays():
    r = gb.self_play(10, 5, 4, seed=3)
    want = r.expand([1, 2, 3], mirror=True)
    out = {k: np.full_like(v, 7.0) for k, v in want.items()}
    got = r.expand([1, 2, 3], mirror=True, out=out)
    for k in EXPANDED:
        assert got[k] is out[k]
        assert np.array_equal(out[k], want[k])


def out_arrays(rows, width=5, height=4):
    return {"states": np.zeros((rows, 17, height, width), np.float32),
            "policies": np.zeros((rows, width), np.float32), "values": np.zeros(rows, np.float32),
            "opponent_policies": np.zeros((rows, width), np.float32),
            "opponent_policy_masks": np.zeros(rows, np.float32)}


def spoiled(key, make):
    out = out_arrays(2)
    out[key] = make(out[key])
    return out


@pytest.mark.parametrize("kwargs, error, message", [
    ({"indices": [0, 99]}, IndexError, "index 99 is out of range for 50 records"),
    ({"indices": [-51]}, IndexError, "index -51 is out of range for 50 records"),
    ({"indices": np.array([2**63], np.uint64)}, IndexError, "index 9223372036854775808 is out of range for 50 records"),
    ({"indices": [0.0]}, TypeError, "argument 'indices': expected integers, got float64"),
    ({"indices": [True]}, TypeError, "argument 'indices': expected integers, got bool"),
    ({"indices": 3}, ValueError, "argument 'indices': expected a 1-D sequence of record indices"),
    ({"indices": [[1]]}, ValueError, "argument 'indices': expected a 1-D sequence of record indices"),
    ({"indices": [0, 1], "out": [1]}, TypeError, "argument 'out': 'list' object is not an instance of 'dict'"),
    ({"indices": [0, 1], "out": {"states": 1}}, ValueError,
     "argument 'out': expected a dict of the five arrays 'states', 'policies', 'values', "
     "'opponent_policies', 'opponent_policy_masks'"),
    ({"indices": [0, 1], "out": {**out_arrays(2), "extra": 1}}, ValueError,
     "argument 'out': expected a dict of the five arrays 'states', 'policies', 'values', "
     "'opponent_policies', 'opponent_policy_masks'"),
    ({"indices": [0, 1], "out": {("value" if k == "values" else k): v for k, v in out_arrays(2).items()}},
     ValueError, "argument 'out': the array 'values' is missing"),
    ({"indices": [0, 1], "out": out_arrays(3)}, ValueError,
     "argument 'out['states']': expected shape (2, 17, 4, 5), got (3, 17, 4, 5)"),
    ({"indices": [0, 1], "out": spoiled("values", lambda a: a.astype(np.float64))}, TypeError,
     "argument 'out['values']': expected dtype float32, got float64"),
    ({"indices": [0, 1], "out": spoiled("policies", lambda a: np.zeros((5, 2), np.float32).T)}, ValueError,
     "argument 'out['policies']': expected a C-contiguous array"),
    ({"indices": [0, 1], "out": spoiled("opponent_policy_masks", lambda a: np.frombuffer(bytes(8), np.float32))}, ValueError,
     "argument 'out['opponent_policy_masks']': expected a writeable array"),
    ({"indices": [0, 1], "out": spoiled("states", lambda a: a.astype(">f4"))}, TypeError,
     "argument 'out['states']': expected dtype float32, got >f4"),
])
def test_expand_refuses_bad_arguments(kwargs, error, message):
    r = gb.Records.from_arrays(5, 4, **{f: v[:50] for f, v in gb.self_play(20, 5, 4).arrays().items()})
    out = kwargs.get("out")
    before = {k: np.copy(v) for k, v in out.items()} if isinstance(out, dict) else None
    with pytest.raises(error) as info:
        r.expand(**kwargs)
    assert str(info.value) == message
    if before:
        for k, v in before.items():
            assert np.array_equal(out[k], v)  # nothing written into a refused call's arrays


def test_records_refuse_inconsistent_slices():
    # A slice that cuts a game is still a set of sound records, but cut fields are not.
    a = gb.self_play(20, 5, 4).arrays()
    gb.Records.from_arrays(5, 4, **{f: v[3:17] for f, v in a.items()})
    with pytest.raises(ValueError, match="the fields' lengths disagree: 'ply' has 49 records, not 50"):
        gb.Records.from_arrays(5, 4, **{f: v[:49] if f == "ply" else v[:50] for f, v in a.items()})


# ---- arguments of self_play and from_arrays ----

@pytest.mark.parametrize("args, kwargs, error, message", [
    ((10, 3, 6), {}, ValueError, "Board width must be between 4 and 32"),
    ((10, 7, 33), {}, ValueError, "Board height must be between 4 and 32"),
    ((-1, 7, 6), {}, ValueError, "games must not be negative"),
    ((1.5, 7, 6), {}, TypeError, "argument 'games': 'float' object cannot be interpreted as an integer"),
    ((1, 7, 6), {"policy": "greedy"}, ValueError, "policy must be 'tactical' or 'random', not 'greedy'"),
    ((1, 7, 6), {"policy": 1}, TypeError, "argument 'policy': 'int' object is not an instance of 'str'"),
    ((1, 7, 6), {"threads": 0}, ValueError, "threads must be between 1 and 256"),
    ((1, 7, 6), {"progress": 3}, TypeError, "progress must be callable or None"),
    ((1, 7, 6), {"first_game": 2**32}, ValueError, "game indices must stay below 2**32"),
    ((1, 7, 6, "random"), {}, TypeError, "self_play() takes 3 positional arguments but 4 were given"),
    ((1, 7), {}, TypeError, "self_play() missing 1 required positional argument: 'height'"),
    ((1, 7, 6), {"colour": 1}, TypeError, "self_play() got an unexpected keyword argument 'colour'"),
])
def test_self_play_refuses_bad_arguments(args, kwargs, error, message):
    with pytest.raises(error) as info:
        gb.self_play(*args, **kwargs)
    assert str(info.value) == message


def test_zero_games_and_the_last_game_index():
    empty = gb.self_play(0, 7, 6)
    assert len(empty) == 0 and empty.expand()["states"].shape == (0, 17, 6, 7)
    last = gb.self_play(1, 7, 6, first_game=2**32 - 1)
    assert set(last.arrays()["game"].tolist()) == {2**32 - 1}


def test_from_arrays_refuses_wrong_kinds_of_field():
    a = gb.self_play(3, 7, 6).arrays()
    with pytest.raises(TypeError, match="argument 'turn': expected dtype int8, got int64"):
        gb.Records.from_arrays(7, 6, **{**a, "turn": a["turn"].astype(np.int64)})
    with pytest.raises(TypeError, match="argument 'red': expected a NumPy array, got 'list'"):
        gb.Records.from_arrays(7, 6, **{**a, "red": a["red"].tolist()})
    with pytest.raises(ValueError, match=r"argument 'red': expected shape \(\d+, 2\), got \(\d+, 1\)"):
        gb.Records.from_arrays(9, 8, **a)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'action'"):
        gb.Records.from_arrays(7, 6, **{k: v for k, v in a.items() if k != "action"})
    # Non-contiguous fields are read as they are.
    b = {k: np.repeat(v, 2, axis=0)[::2] for k, v in a.items()}
    assert gb.Records.from_arrays(7, 6, **b) == gb.Records.from_arrays(7, 6, **a)


# ---- concat, pickle, equality ----

def test_concat_joins_in_the_order_given():
    x, y = gb.self_play(3, 7, 6, seed=1), gb.self_play(2, 7, 6, seed=2)
    xy = gb.Records.concat([x, y])
    assert len(xy) == len(x) + len(y)
    ax, ay, axy = x.arrays(), y.arrays(), xy.arrays()
    for f in FIELDS:
        assert np.array_equal(axy[f], np.concatenate([ax[f], ay[f]]))
    assert gb.Records.concat((y, x)) != xy
    with pytest.raises(ValueError, match="records of one board size only: 7x6 and 6x7"):
        gb.Records.concat([x, gb.self_play(1, 6, 7)])
    with pytest.raises(ValueError, match="needs at least one"):
        gb.Records.concat([])
    with pytest.raises(TypeError, match="'int' object is not an instance of 'Records'"):
        gb.Records.concat([x, 1])


@pytest.mark.parametrize("width, height", [(7, 6), (32, 32)])
def test_pickle_round_trip_every_protocol(width, height):
    r = gb.self_play(3, width, height, seed=5)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(r, protocol))
        assert back == r and back is not r and (back.width(), back.height()) == (width, height)
    rebuild, (version, w, h, arrays) = r.__reduce__()
    assert (rebuild, version, w, h) == (gb._records_from_pickle, 1, width, height)
    with pytest.raises(ValueError, match="records format version 3 is not supported"):
        rebuild(3, w, h, arrays)
    arrays["red"] = arrays["red"][:-1]
    with pytest.raises(ValueError, match="the fields' lengths disagree: 'red' has"):
        rebuild(1, w, h, arrays)


def test_equality_and_repr():
    r = gb.self_play(3, 7, 6)
    assert r == gb.self_play(3, 7, 6) and not (r != gb.self_play(3, 7, 6))
    assert r != 3 and r != gb.self_play(3, 7, 6, seed=1)
    assert repr(r) == f"<Records: {len(r)} positions of 7x6 games>"
    with pytest.raises(TypeError):
        hash(r)
    with pytest.raises(TypeError):
        gb.Records()


# ---- files ----

@pytest.mark.parametrize("compressed", [False, True])
def test_file_round_trip(tmp_path, compressed):
    r = gb.self_play(30, 9, 8, seed=2)
    path = tmp_path / "run.npz"
    assert r.save(path, compressed=compressed) == str(path)
    assert gb.Records.load(path) == r
    assert gb.Records.load(str(path)) == r
    # A name without the suffix gets it, as numpy.savez names files.
    assert r.save(tmp_path / "plain") == str(tmp_path / "plain.npz")
    assert gb.Records.load(tmp_path / "plain.npz") == r
    with np.load(path) as z:
        assert sorted(z.files) == sorted(FIELDS + ("format_version", "width", "height"))
        assert (int(z["format_version"]), int(z["width"]), int(z["height"])) == (1, 9, 8)


def saved_fields(**changes):
    a = gb.self_play(4, 7, 6, seed=1).arrays()
    fields = {"format_version": np.int64(1), "width": np.int64(7), "height": np.int64(6), **a}
    for k, v in changes.items():
        v = v(fields) if callable(v) else v
        if v is None:
            del fields[k]
        else:
            fields[k] = v
    return fields


def with_bit(field, i, bit):
    def change(fields):
        v = fields[field].copy()
        v[i, 0] |= np.uint64(1) << np.uint64(bit)
        return v
    return change


def with_value(field, i, value):
    def change(fields):
        v = fields[field].copy()
        v[i] = value
        return v
    return change


@pytest.mark.parametrize("changes, message", [
    ({"format_version": np.int64(3)}, "records format version 3 is not supported (this module reads versions 1 to 2)"),
    ({"format_version": np.float64(1)}, "the records' 'format_version' is not a non-negative whole number"),
    ({"format_version": None}, "not a records file: no 'format_version' array"),
    ({"width": np.int64(3)}, "the records' board size 3x6 is outside 4..32"),
    ({"ply": None}, "the records' 'ply' array is missing"),
    ({"extra": np.zeros(3)}, "not a records file: unexpected array 'extra'"),
    ({"game": lambda f: f["game"][:-1]}, "the fields' lengths disagree: 'game' has"),
    ({"last_moves": lambda f: f["last_moves"][:, :7]}, "array 'last_moves': expected shape"),
    ({"value": lambda f: f["value"].astype(np.float32)}, "array 'value': expected dtype int8, got float32"),
    ({"red": with_bit("red", 5, 42)}, "inconsistent records: record 5: a piece lies off the board"),
    ({"red": with_bit("red", 0, 0), "yellow": with_bit("yellow", 0, 0)},
     "inconsistent records: record 0: a cell holds both colours"),
    ({"ply": with_value("ply", 3, 42)}, "inconsistent records: record 3: the move count 42 is past the board"),
    ({"turn": with_value("turn", 2, -1)},
     "inconsistent records: record 2: the side to move does not match the move count"),
    ({"last_moves": lambda f: np.full_like(f["last_moves"], 9)},
     "inconsistent records: record 0: a move is recorded before the start of the game"),
])
def test_refused_files(tmp_path, changes, message):
    path = tmp_path / "bad.npz"
    np.savez(path, **saved_fields(**changes))
    with pytest.raises(ValueError) as info:
        gb.Records.load(path)
    assert message in str(info.value)


def test_damaged_files_are_refused(tmp_path):
    good = tmp_path / "good.npz"
    gb.self_play(50, 7, 6).save(good, compressed=True)
    data = good.read_bytes()
    cases = {
        "truncated.npz": data[: len(data) // 2],
        "tail-cut.npz": data[:-30],
        "garbage.npz": b"this is not an archive at all" * 10,
        "empty.npz": b"",
        "flipped.npz": data[:200] + bytes([data[200] ^ 0xFF]) + data[201:],
    }
    for name, content in cases.items():
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(ValueError):
            gb.Records.load(path)
    single = tmp_path / "single.npy"
    np.save(single, np.zeros(3))
    with pytest.raises(ValueError, match="an .npz archive of named arrays was expected"):
        gb.Records.load(single)
    # A member whose bytes are cut inside an uncompressed archive.
    cut = tmp_path / "cut-member.npz"
    with zipfile.ZipFile(good) as src, zipfile.ZipFile(cut, "w") as dst:
        for info in src.infolist():
            body = src.read(info)
            dst.writestr(info.filename, body[:-5] if info.filename == "red.npy" else body)
    with pytest.raises(ValueError):
        gb.Records.load(cut)
    with pytest.raises(FileNotFoundError):
        gb.Records.load(tmp_path / "missing.npz")


# A records file with one more member: the zeros of a large array, compressed
# to almost nothing. Its peak memory while it is refused is reported.
JUNK_SCRIPT = """
import resource, sys, zipfile
import numpy as np
import drevik_gravline_batch as gb
path, mib = sys.argv[1], int(sys.argv[2])
gb.self_play(20, 7, 6).save(path, compressed=True)
with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as z, z.open("junk.npy", "w", force_zip64=True) as f:
    np.lib.format.write_array_header_1_0(f, {"descr": "<u8", "fortran_order": False, "shape": (mib << 17,)})
    chunk = bytes(1 << 20)
    for _ in range(mib):
        f.write(chunk)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    gb.Records.load(path)
except ValueError as exc:
    print(exc)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


def test_an_unexpected_member_is_refused_before_it_is_read(tmp_path):
    path = tmp_path / "junk.npz"
    child = subprocess.run([sys.executable, "-c", JUNK_SCRIPT, str(path), "256"],
                           capture_output=True, text=True, timeout=300)
    assert child.stderr == ""
    message, grown = child.stdout.splitlines()
    assert message == "not a records file: unexpected array 'junk'"
    assert path.stat().st_size < 4 << 20
    # The member's 256 MiB were read whole before.
    assert int(grown) < 64, f"peak memory grew by {grown} MiB"


def npy_header(shape, descr="<u8"):
    f = io.BytesIO()
    np.lib.format.write_array_header_1_0(f, {"descr": descr, "fortran_order": False, "shape": shape})
    return f.getvalue()


def test_headers_are_checked_before_any_data_is_read(tmp_path):
    r = gb.self_play(6, 7, 6)
    good = tmp_path / "good.npz"
    r.save(good)
    n = len(r)
    cases = {
        # A header that claims far more rows than the member holds, in every field.
        "claims": ({f"{k}.npy": npy_header((10**12,) + v.shape[1:], v.dtype.str) + v.tobytes()
                    for k, v in r.arrays().items()},
                   "a damaged records file: array 'red' does not hold the data its header describes"),
        "more_data": ({"red.npy": npy_header((n, 1)) + bytes(8 * n + 8)},
                      "a damaged records file: array 'red' does not hold the data its header describes"),
        "shape": ({"yellow.npy": npy_header((n, 2)) + bytes(16 * n)},
                  f"array 'yellow': expected shape ({n}, 1), got ({n}, 2)"),
        "dtype": ({"turn.npy": npy_header((n,), "<f8") + bytes(8 * n)},
                  "array 'turn': expected dtype int8, got float64"),
        "rows": ({"game.npy": npy_header((10**9,), "<u4")}, "the fields' lengths disagree: 'game' has 1000000000"),
        "width": ({"width.npy": npy_header((10**9,), "<i8")}, "the records' 'width' is not a non-negative whole number"),
        "twice": ({"red": b""}, "a damaged records file: array 'red' is stored twice"),
        "version": ({"ply.npy": b"\x93NUMPY\x07\x00" + npy_header((n,), "<u2")[8:]},
                    "a damaged records file: array 'ply' has .npy format version 7"),
    }
    for name, (members, message) in cases.items():
        path = tmp_path / f"{name}.npz"
        with zipfile.ZipFile(good) as a, zipfile.ZipFile(path, "w") as b:
            for info in a.infolist():
                b.writestr(info.filename, members.get(info.filename, a.read(info)))
            for extra in set(members) - set(a.namelist()):
                b.writestr(extra, a.read(extra + ".npy"))
        with pytest.raises(ValueError) as info:
            gb.Records.load(path)
        assert str(info.value).startswith(message), (name, str(info.value))


def test_a_lack_of_memory_while_loading_stays_a_memory_error(tmp_path, monkeypatch):
    path = tmp_path / "r.npz"
    gb.self_play(4, 7, 6).save(path)

    def no_memory(*args, **kwargs):
        raise MemoryError("Unable to allocate")

    monkeypatch.setattr(np.lib.format, "read_array", no_memory)
    with pytest.raises(MemoryError, match="Unable to allocate"):
        gb.Records.load(path)


def test_compact_records_are_small():
    r = gb.self_play(200, 7, 6)
    size = sum(v.nbytes for v in r.arrays().values()) / len(r)
    assert size == 42
    dense = sum(v.nbytes for v in r.expand([0]).values())
    assert dense == 17 * 42 * 4 + 2 * 7 * 4 + 2 * 4


# ---- leaks ----

def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer holds freed memory in its quarantine")
def test_freed_records_memory_is_kept_for_reuse_unless_the_environment_says_not():
    # About 40 MB of fields: what the process still holds once they are freed.
    script = textwrap.dedent("""
        import os
        import drevik_gravline_batch as gb
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        r = gb.self_play(40_000, 7, 6)
        before = rss()
        del r
        print(before - rss())
        """)

    def released(limit):
        env = dict(os.environ)
        env.pop("DREVIK_GRAVLINE_RECORDS_CACHE_MB", None)
        if limit is not None:
            env["DREVIK_GRAVLINE_RECORDS_CACHE_MB"] = limit
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=120, env=env)
        assert done.returncode == 0, done.stderr
        return int(done.stdout)

    mib = 1 << 20
    assert released(None) < 8 * mib
    assert released("0") > 24 * mib
    # Too little room for any field of the run, and a value that is no number.
    assert released("1") > 24 * mib
    assert released("lots") < 8 * mib


def _refused(call):
    try:
        call()
    except (ValueError, TypeError, IndexError):
        return
    raise AssertionError("not refused")


@pytest.mark.parametrize("case", ["self_play", "expand", "arrays", "pickle", "refusals", "load"])
def test_repeated_calls_leak_nothing(tmp_path, case):
    import gc
    import tracemalloc

    big = gb.self_play(2, 32, 32, seed=1)
    arrays = big.arrays()
    out = big.expand([0, 1, 2], mirror=True)
    path = big.save(tmp_path / "r.npz")
    bad = dict(arrays, ply=arrays["ply"][:-1])
    calls = {
        "self_play": lambda: gb.self_play(2, 32, 32, seed=1, progress=lambda done: None),
        "expand": lambda: big.expand([0, 1, 2], mirror=True, out=out),
        "arrays": lambda: gb.Records.from_arrays(32, 32, **big.arrays()),
        # Our half of a pickle; the pickle module's own buffers come and go.
        "pickle": lambda: (lambda f, state: f(*state))(*big.__reduce__()),
        "refusals": lambda: (_refused(lambda: gb.Records.from_arrays(32, 32, **bad)),
                             _refused(lambda: big.expand([10**6])),
                             _refused(lambda: big.expand(out={"states": 1})),
                             _refused(lambda: gb.self_play(1, 7, 6, policy="x"))),
        "load": lambda: gb.Records.load(path),
    }
    call = calls[case]
    refs = [sys.getrefcount(x) for x in (big, out["states"], arrays["ply"])]
    # Traced from the warm-up on: what the interpreter keeps for reuse (free
    # lists, caches) is then counted before and after alike.
    tracemalloc.start()
    for _ in range(50):
        call()
    gc.collect()
    before_traced, before_rss = tracemalloc.get_traced_memory()[0], _rss()
    for _ in range(300):
        call()
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - before_traced
    tracemalloc.stop()
    grown = _rss() - before_rss
    assert traced < 64 * 1024, traced
    # Under AddressSanitizer freed blocks wait in its quarantine, which grows
    # the resident size; its own checks stand in for this one there.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert grown < 4 * 1024 * 1024, grown
    assert [sys.getrefcount(x) for x in (big, out["states"], arrays["ply"])] == refs
