"""ReplayBuffer: the window of newest positions as shards arrive, uniform and
seeded draws, minibatches equal to Records.expand of the drawn records, and
fields that are memory-mapped rather than read."""
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import drevik_gravline_batch as gb
from drevik_gravline_tools import shards
from drevik_gravline_tools.replay import ReplayBuffer

GAMES, SHARD_GAMES = 120, 25


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("run")
    manifest = shards.self_play_to_folder(folder, GAMES, 7, 6, seed=4, shard_games=SHARD_GAMES)
    return folder, manifest, gb.self_play(GAMES, 7, 6, seed=4)


def grow(folder, manifest, count):
    """`folder` as it stands once the first `count` shards are written."""
    (folder / shards.MANIFEST).write_text(json.dumps({**manifest, "complete": False,
                                                      "shards": manifest["shards"][:count]}))


def test_window_holds_the_newest_positions_as_shards_arrive(run, tmp_path):
    folder, manifest, records = run
    every = [e["records"] for e in manifest["shards"]]
    try:
        grow(folder, manifest, 1)
        buffer = ReplayBuffer(folder, window=every[0] + every[1] // 2, seed=0)
        assert len(buffer) == every[0]
        assert buffer.records(np.arange(len(buffer))) == records[:every[0]]
        grow(folder, manifest, 3)
        assert buffer.refresh() == every[1] + every[2]
        window = buffer.window
        assert len(buffer) == window
        upto = sum(every[:3])
        assert buffer.records(np.arange(window)) == records[upto - window:upto]
        # Nothing new: nothing changes.
        assert buffer.refresh() == 0 and len(buffer) == window
    finally:
        grow(folder, {**manifest, "complete": True}, len(every))
    assert buffer.refresh() == sum(every[3:])
    assert buffer.records(np.arange(len(buffer))) == records[len(records) - buffer.window:]
    # Without a window, every record of every source, oldest first.
    both = ReplayBuffer([folder, folder / shards.shard_name(0)])
    assert both.records(np.arange(len(both))) == gb.Records.concat([records, records[:every[0]]])


def test_draws_are_uniform_over_the_window(run):
    folder, manifest, records = run
    window = 300
    buffer = ReplayBuffer(folder, window=window, seed=11)
    # Each record is known by its game and ply; the window is the run's last 300.
    fields = records.arrays()
    key = {(int(g), int(p)): i for i, (g, p) in enumerate(zip(fields["game"][-window:], fields["ply"][-window:]))}
    counts = np.zeros(window)
    draws = 60_000
    for _ in range(draws // 1000):
        picked = buffer.sample_records(1000).arrays()
        for g, p in zip(picked["game"], picked["ply"]):
            counts[key[(int(g), int(p))]] += 1
    expected = draws / window
    chi2 = ((counts - expected) ** 2 / expected).sum()
    # 299 degrees of freedom: the 99.99th percentile is about 400.
    assert chi2 < 400, chi2
    assert counts.min() > 0


def test_minibatches_are_expand_of_the_drawn_records_and_repeat_for_a_seed(run):
    folder, _, records = run
    a, b, c = (ReplayBuffer(folder, window=1000, seed=s) for s in (5, 5, 6))
    first = a.sample(64, mirror=True)
    again = b.sample(64, mirror=True)
    for name in first:
        assert np.array_equal(first[name], again[name]), name
    assert not np.array_equal(first["states"], c.sample(64, mirror=True)["states"])
    # The draw behind a batch, expanded, is the batch; out= is filled in place.
    d = ReplayBuffer(folder, window=1000, seed=5)
    drawn = d.sample_records(64)
    want = drawn.expand(mirror=True)
    for name in want:
        assert np.array_equal(want[name], first[name]), name
    out = {k: np.full_like(v, np.nan) for k, v in want.items()}
    e = ReplayBuffer(folder, window=1000, seed=5)
    assert all(got is out[k] for k, got in e.sample(64, mirror=True, out=out).items())
    assert all(np.array_equal(out[k], want[k]) for k in want)
    # The iterator: reused arrays, or new ones for a consumer that keeps them.
    f = ReplayBuffer(folder, window=1000, seed=5)
    kept = list(f.batches(64, mirror=True, count=3))
    assert len(kept) == 3 and kept[0]["states"] is not kept[1]["states"]
    assert np.array_equal(kept[0]["states"], first["states"])
    g = ReplayBuffer(folder, window=1000, seed=5)
    reused = [batch["states"] for batch in g.batches(64, reuse=True, count=3)]
    assert reused[0] is reused[1] is reused[2]
    # Read into memory instead of mapped: the same draws.
    loaded = ReplayBuffer(folder, window=1000, seed=5, load=True)
    assert isinstance(loaded._segments[0].fields["red"].base, gb.Records)
    for name, a in loaded.sample(64, mirror=True).items():
        assert np.array_equal(a, first[name]), name


def test_bad_sources_and_arguments_are_refused(run, tmp_path):
    folder, _, records = run
    with pytest.raises(FileNotFoundError, match="no such run folder or records file"):
        ReplayBuffer(tmp_path / "missing")
    with pytest.raises(FileNotFoundError, match="holds no self-play run"):
        ReplayBuffer(tmp_path)
    records[:10].save(tmp_path / "small.npz", compressed=True)
    gb.self_play(3, 6, 5).save(tmp_path / "other.npz")
    with pytest.raises(ValueError, match="records of one board size only: 7x6 and 6x5"):
        ReplayBuffer([tmp_path / "small.npz", tmp_path / "other.npz"])
    buffer = ReplayBuffer(tmp_path / "small.npz", seed=1)
    assert buffer.records(np.arange(10)) == records[:10]
    with pytest.raises(ValueError, match="window must be at least 1"):
        ReplayBuffer(folder, window=0)
    with pytest.raises(IndexError, match="out of range for a window of 10 records"):
        buffer.records([10])
    with pytest.raises(ValueError, match="batch_size must be at least 1"):
        buffer.sample(0)
    # A shard whose records were altered fails the checks of from_arrays when drawn.
    bad = tmp_path / "bad.npz"
    fields = records[:10].arrays()
    fields["value"][0] = 5
    with open(bad, "wb") as f:
        shards.write_npz_aligned(f, [("format_version", np.array(1)), ("width", np.array(7)),
                                     ("height", np.array(6)), *fields.items()])
    with pytest.raises(ValueError, match="inconsistent records: record 0"):
        ReplayBuffer(bad).records([0])
    # Files that are not records, and a manifest naming a file outside its folder.
    (tmp_path / "garbage.npz").write_bytes(b"PK" + bytes(100))
    with pytest.raises(ValueError, match="is not a records file"):
        ReplayBuffer(tmp_path / "garbage.npz")
    np.savez(tmp_path / "wrong.npz", **{**records[:3].arrays(), "format_version": np.array(1),
                                        "width": np.array(7), "height": np.array(6),
                                        "turn": np.zeros(3, np.int16)})
    with pytest.raises(ValueError, match="the field 'turn' has dtype int16, not int8"):
        ReplayBuffer(tmp_path / "wrong.npz")
    escape = tmp_path / "escape"
    escape.mkdir()
    manifest = shards.read_manifest(folder)
    entry = {**manifest["shards"][0], "file": "../small.npz"}
    (escape / shards.MANIFEST).write_text(json.dumps({**manifest, "shards": [entry]}))
    with pytest.raises(shards.ShardCheckError, match="names no shard file of the folder: '../small.npz'"):
        ReplayBuffer(escape)


MAPPED = textwrap.dedent("""
    import mmap, sys
    import numpy as np
    from drevik_gravline_tools.replay import ReplayBuffer
    import drevik_gravline_batch
    def rss():
        # Memory of the process's own, not pages of the files that the kernel
        # maps around each one read (those are the page cache's to drop).
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("RssAnon:"))
    before = rss()
    buffer = ReplayBuffer(sys.argv[1], seed=0)
    buffer.sample(64, mirror=True)
    field = buffer._segments[0].fields["red"]
    while not isinstance(field, mmap.mmap):
        field = field.obj if isinstance(field, memoryview) else field.base
    print(len(buffer), rss() - before, isinstance(field, mmap.mmap))
""")


def test_fields_are_memory_mapped_not_read(tmp_path):
    shards.self_play_to_folder(tmp_path, 40_000, 7, 6, threads=2, shard_positions=200_000)
    done = subprocess.run([sys.executable, "-c", MAPPED, str(tmp_path)], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    positions, grown, mapped = done.stdout.split()
    # About 42 MB of records, none of them copied into the process.
    assert int(positions) > 900_000 and mapped == "True"
    assert int(grown) < 12 * 2**20, grown


def test_a_searchs_records_added_in_memory_and_from_files_share_one_window(tmp_path):
    first = gb.self_play_search(3, 7, 6, evaluate="rollout", simulations=12, seed=1)
    second = gb.self_play_search(3, 7, 6, evaluate="rollout", simulations=12, seed=2)
    path = first.save(tmp_path / "first")
    for load in (False, True):
        buffer = ReplayBuffer([path], window=len(first) + 5, seed=3, load=load)
        assert buffer.add(second) == len(second)
        # The window moved on: the newest positions are the added ones.
        assert len(buffer) == len(first) + 5
        every = buffer.records(np.arange(len(buffer)))
        assert every == gb.Records.concat([first, second])[-len(buffer):]
        batch = buffer.sample(16, mirror=True)
        assert batch["root_values"].shape == (32,) and np.abs(batch["root_values"]).max() <= 1
    with pytest.raises(ValueError, match="records of one format version only: 2 and 1"):
        buffer.add(gb.self_play(2, 7, 6))
    with pytest.raises(ValueError, match="records of one board size only: 7x6 and 6x5"):
        buffer.add(gb.self_play_search(1, 6, 5, evaluate="rollout", simulations=4))
    with pytest.raises(TypeError):
        buffer.add(second.arrays())
    # An empty buffer takes its size and version from the first records added.
    empty = ReplayBuffer([], seed=0)
    empty.add(gb.self_play(2, 5, 4))
    assert (empty.width(), empty.height()) == (5, 4) and "root_values" not in empty.sample(4)
