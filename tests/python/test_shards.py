"""Runs streamed to a folder of shards (drevik_gravline_tools.shards and the main
job with a folder for --out): the same records as the run in memory, resumes
that write the same bytes after SIGKILL, damaged shards made again, refused
resumes, and memory that does not grow with the run."""
import os
import signal
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest

import drevik_gravline_batch as gb
from drevik_gravline_tools import shards


def folder_bytes(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def joined(folder):
    manifest = shards.read_manifest(folder)
    return gb.Records.concat([gb.Records.load(folder / e["file"]) for e in manifest["shards"]])


@pytest.mark.parametrize("width, height, policy, threads", [(7, 6, "tactical", 2), (9, 8, "random", 1)])
def test_streamed_run_is_the_run_in_memory(tmp_path, width, height, policy, threads):
    manifest = shards.self_play_to_folder(tmp_path / "run", 700, width, height, policy=policy, seed=5,
                                          threads=threads, shard_positions=3000)
    run = gb.self_play(700, width, height, policy=policy, seed=5)
    assert joined(tmp_path / "run") == run
    assert manifest["complete"] and manifest == shards.read_manifest(tmp_path / "run")
    entries = manifest["shards"]
    assert len(entries) > 3
    # Whole games, consecutive ranges, one fixed count per shard but the last.
    assert [e["first_game"] for e in entries] == [i * manifest["shard_games"] for i in range(len(entries))]
    assert sum(e["games"] for e in entries) == 700 and sum(e["records"] for e in entries) == len(run)
    assert {e["games"] for e in entries[:-1]} == {manifest["shard_games"]}
    for e in entries:
        part = gb.Records.load(tmp_path / "run" / e["file"])
        games = part.arrays()["game"]
        assert (games[0], games[-1]) == (e["first_game"], e["first_game"] + e["games"] - 1)
    assert sorted(p.name for p in (tmp_path / "run").iterdir()) == ["manifest.json"] + [e["file"] for e in entries]
    # The same folder for any thread count.
    shards.self_play_to_folder(tmp_path / "other", 700, width, height, policy=policy, seed=5,
                               threads=3 - threads, shard_positions=3000)
    assert folder_bytes(tmp_path / "run") == folder_bytes(tmp_path / "other")


def test_shard_fields_are_stored_on_64_byte_boundaries_and_map_in_place(tmp_path):
    shards.self_play_to_folder(tmp_path, 50, 7, 6, shard_games=20)
    path = tmp_path / shards.shard_name(0)
    with zipfile.ZipFile(path) as zf:
        assert {i.compress_type for i in zf.infolist()} == {zipfile.ZIP_STORED}
    mapped = shards.map_npz(path)
    want = gb.Records.load(path).arrays()
    for name, a in want.items():
        assert np.array_equal(mapped[name], a), name
        assert mapped[name].ctypes.data % 64 == 0 and not mapped[name].flags.writeable
        assert not mapped[name].flags.owndata
    assert int(mapped["width"]) == 7 and mapped["width"].shape == ()


def test_the_shard_writer_gives_zipfiles_bytes_and_checksums():
    # The writer's own archive against zipfile's, for the same arrays; an
    # archive past 4 GiB goes through zipfile itself.
    import io

    fields = gb.self_play(60, 7, 6, seed=3).arrays()
    arrays = [("format_version", np.array(1, np.int64)), ("empty", np.zeros((0, 3), np.uint64)),
              ("strided", fields["red"][::2]), *fields.items()]
    ours, theirs = io.BytesIO(), io.BytesIO()
    ours.write(b"x" * 5)  # an archive need not start the file
    theirs.write(b"x" * 5)
    shards.write_npz_aligned(ours, arrays)
    whole = [(k, v.copy()) for k, v in arrays]
    shards._write_npz_zip64(theirs, [(k + ".npy", shards._npy_header(v), v.reshape(-1).view(np.uint8))
                                     for k, v in whole])
    assert ours.getvalue() == theirs.getvalue()
    with zipfile.ZipFile(ours) as zf:
        assert zf.testzip() is None
    loaded = np.load(io.BytesIO(ours.getvalue()[5:]))
    assert np.array_equal(loaded["strided"], fields["red"][::2])


def test_the_shard_writer_reserves_a_real_files_blocks_first(tmp_path, monkeypatch):
    # A real file gets the bytes an in-memory one gets, and no block more; a
    # full disk is reported before anything is written, and a file system
    # that cannot allocate ahead is written all the same.
    import errno
    import io

    arrays = list(gb.self_play(40, 7, 6, seed=5).arrays().items())
    want = io.BytesIO()
    want.write(b"x" * 5)
    shards.write_npz_aligned(want, arrays)
    path = tmp_path / "a.npz"
    with open(path, "wb") as f:
        f.write(b"x" * 5)
        shards.write_npz_aligned(f, arrays)
    assert path.read_bytes() == want.getvalue()

    def refuse(code):
        def fallocate(fd, offset, length):
            raise OSError(code, os.strerror(code))
        monkeypatch.setattr(os, "posix_fallocate", fallocate)

    refuse(errno.EOPNOTSUPP)
    with open(path, "wb") as f:
        f.write(b"x" * 5)
        shards.write_npz_aligned(f, arrays)
    assert path.read_bytes() == want.getvalue()
    refuse(errno.ENOSPC)
    with open(path, "wb") as f, pytest.raises(OSError) as raised:
        shards.write_npz_aligned(f, arrays)
    assert raised.value.errno == errno.ENOSPC and path.stat().st_size == 0


@pytest.mark.parametrize("size", [0, 1, 15, 16, 63, 64, 65, 127, 128, 1000, 70_000, 1 << 20])
def test_crc32_is_zlibs(size):
    import zlib

    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8)
    for start in (0, 12345, 0xFFFFFFFF):
        assert gb._crc32(data, start) == zlib.crc32(data, start)
    assert gb._crc32(data.tobytes()) == gb._crc32(memoryview(data)) == zlib.crc32(data)
    # Continued from the first part's CRC, as zlib continues.
    cut = size // 3
    assert gb._crc32(data[cut:], gb._crc32(data[:cut])) == zlib.crc32(data)


def test_crc32_refuses_what_is_not_one_block_of_bytes():
    with pytest.raises(TypeError):
        gb._crc32("text")
    with pytest.raises(ValueError, match="not C-contiguous"):
        gb._crc32(np.zeros((4, 4), np.uint8)[:, ::2])
    with pytest.raises(TypeError):
        gb._crc32(b"abc", "0")


def test_progress_counts_games_and_a_resume_starts_from_the_kept_ones(tmp_path):
    seen = []
    shards.self_play_to_folder(tmp_path, 100, 5, 4, shard_games=30, progress=seen.append)
    assert seen[-1] == 100 and seen == sorted(seen)
    (tmp_path / shards.shard_name(3)).unlink()
    seen.clear()
    shards.self_play_to_folder(tmp_path, 100, 5, 4, resume=True, progress=seen.append)
    assert seen[0] == 90 and seen[-1] == 100


def test_a_folder_holding_a_run_is_refused_without_resume_and_a_different_run_with_it(tmp_path):
    shards.self_play_to_folder(tmp_path, 40, 7, 6, seed=1, shard_games=15)
    with pytest.raises(FileExistsError, match="already holds a self-play run"):
        shards.self_play_to_folder(tmp_path, 40, 7, 6, seed=1, shard_games=15)
    for change, message in [({"seed": 2}, "has seed 1, not 2"), ({"width": 8}, "has width 7, not 8"),
                            ({"policy": "random"}, "has policy 'tactical', not 'random'"),
                            ({"games": 41}, "has games 40, not 41"),
                            ({"shard_games": 16}, "has shard_games 15, not 16")]:
        args = {"games": 40, "width": 7, "height": 6, "seed": 1, "shard_games": 15, **change}
        with pytest.raises(ValueError) as info:
            shards.self_play_to_folder(tmp_path, resume=True, **args)
        assert message in str(info.value)
    before = folder_bytes(tmp_path)
    # The same run resumed: nothing to do, nothing changed.
    shards.self_play_to_folder(tmp_path, 40, 7, 6, seed=1, resume=True)
    assert folder_bytes(tmp_path) == before


@pytest.mark.parametrize("damage", ["truncate", "flip", "remove"])
def test_a_damaged_or_missing_shard_is_made_again_on_resume(tmp_path, damage):
    shards.self_play_to_folder(tmp_path, 90, 7, 6, seed=3, shard_games=25)
    before = folder_bytes(tmp_path)
    victim = tmp_path / shards.shard_name(1)
    data = victim.read_bytes()
    if damage == "truncate":
        victim.write_bytes(data[: len(data) // 2])
    elif damage == "flip":
        victim.write_bytes(data[:3000] + bytes([data[3000] ^ 1]) + data[3001:])
    else:
        victim.unlink()
    with pytest.raises(shards.ShardCheckError):
        shards.check_shard(tmp_path, shards.read_manifest(tmp_path)["shards"][1])
    # A temporary file of a stopped writer goes; a file of the user's own stays.
    (tmp_path / ".shard-000002.npz.x1.tmp").write_bytes(b"part")
    (tmp_path / ".notes.tmp").write_bytes(b"mine")
    shards.self_play_to_folder(tmp_path, 90, 7, 6, seed=3, resume=True)
    assert (tmp_path / ".notes.tmp").read_bytes() == b"mine"
    (tmp_path / ".notes.tmp").unlink()
    assert folder_bytes(tmp_path) == before


KILLED_RUN = textwrap.dedent("""
    import sys
    from drevik_gravline_tools import shards
    shards.self_play_to_folder(sys.argv[1], 4000, 7, 6, seed=9, threads=2, shard_games=100,
                               resume=True, progress=lambda done: print(done, flush=True))
""")


def test_a_run_killed_part_way_resumes_to_the_same_bytes(tmp_path):
    whole, killed = tmp_path / "whole", tmp_path / "killed"
    shards.self_play_to_folder(whole, 4000, 7, 6, seed=9, shard_games=100)
    proc = subprocess.Popen([sys.executable, "-c", KILLED_RUN, str(killed)], stdout=subprocess.PIPE, text=True)
    # Killed once a few shards are played, in the middle of the others.
    while int(proc.stdout.readline() or 4000) < 700:
        pass
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=60)
    manifest = shards.read_manifest(killed)
    assert not manifest["complete"] and 0 < len(manifest["shards"]) < 40
    # Every shard the manifest names is whole.
    for e in manifest["shards"]:
        shards.check_shard(killed, e)
    done = subprocess.run([sys.executable, "-c", KILLED_RUN, str(killed)], capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert folder_bytes(killed) == folder_bytes(whole)


PEAK = textwrap.dedent("""
    import resource, sys
    from drevik_gravline_tools import shards
    shards.self_play_to_folder(sys.argv[1], int(sys.argv[2]), 7, 6, seed=1, threads=2, shard_positions=20000)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
""")


def test_peak_memory_does_not_grow_with_the_run(tmp_path):
    def peak(games, name):
        done = subprocess.run([sys.executable, "-c", PEAK, str(tmp_path / name), str(games)],
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        return int(done.stdout.split()[-1])

    small, large = peak(4000, "small"), peak(80000, "large")
    assert large <= 1.5 * small, (small, large)
    assert len(shards.read_manifest(tmp_path / "large")["shards"]) >= 80
