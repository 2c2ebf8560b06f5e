"""Self-play runs streamed to a folder as shards: files of whole games written as
they are played, with a manifest, so that a run of any length needs the memory
of a few shards and a stopped run resumes where it stopped.

A run of `games` games is cut into shards of `shard_games` consecutive games
(the last one shorter), about `shard_positions` records each: the count of
games per shard is set once, from the mean length of the run's first 256 games,
and kept in the manifest. Game i is seeded by (seed, i) alone, so a shard's
records depend only on the run and the shard's index: a resumed run, a run on
any number of threads and a run whose shards were played by Ray workers all
write the same files, byte for byte.

A shard is an uncompressed .npz file that `Records.load` reads, written under
a temporary name and renamed when complete; each member's data is stored as
it is, starting on a 64-byte boundary of the file, so that
`replay.ReplayBuffer` can memory-map the fields in place. The manifest
(`manifest.json`) names the run (board size, policy, seed, games, shard size)
and every complete shard (file, game range, record count, size, checksum), and is
replaced atomically after each shard.
"""

from __future__ import annotations

import errno
import hashlib
import json
import mmap
import os
import queue
import struct
import tempfile
import threading
import zipfile
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import numpy as np

    from drevik_gravline_batch import Records

MANIFEST = "manifest.json"
FORMAT = "drevik_gravline self-play shards"
FORMAT_VERSION = 1
DEFAULT_SHARD_POSITIONS = 1 << 20
# Games played to set a run's games per shard; they are the run's first games.
CALIBRATION_GAMES = 256
# A bound on the manifest's length; larger shards serve a longer run.
MAX_SHARDS = 1_000_000
# The fields of a shard file besides the records' own.
_HEADER_ARRAYS = ("format_version", "width", "height")
_ALIGN = 64
# The zip extra field that pads a member's data to _ALIGN (an id no reader knows).
_PAD_ID = 0xD935
_FIXED_TIME = (1980, 1, 1, 0, 0, 0)
_TEMP_SUFFIX = ".tmp"
CHECKSUM = "sha256 of the members' offsets, sizes and CRC-32s"

Progress = Callable[[int], object]
Policy = Literal["tactical", "random"]


class ShardCheckError(ValueError):
    """A shard file that does not match its manifest entry."""


def shard_name(index: int) -> str:
    return f"shard-{index:06d}.npz"


# ---- run parameters ----

def _check_run(games: int, width: int, height: int, policy: Policy, seed: int, threads: int) -> None:
    """Sizes, policy, seed, threads and the range of game indices, checked by
    the generator itself without playing a game."""
    import drevik_gravline_batch as gb

    if not isinstance(games, int) or isinstance(games, bool) or games < 0:
        raise ValueError(f"games must be a whole number of at least 0, not {games!r}")
    gb.self_play(0, width, height, policy=policy, seed=seed, threads=threads, first_game=games)


def games_per_shard(width: int, height: int, policy: Policy, seed: int, shard_positions: int) -> int:
    """Games per shard for shards of about `shard_positions` records: from the
    mean length of the run's first CALIBRATION_GAMES games, so that it depends
    on the run alone."""
    import drevik_gravline_batch as gb

    if shard_positions < 1:
        raise ValueError(f"shard_positions must be at least 1, not {shard_positions}")
    sample = gb.self_play(CALIBRATION_GAMES, width, height, policy=policy, seed=seed)
    mean = len(sample) / CALIBRATION_GAMES
    return max(1, round(shard_positions / mean))


def shard_plan(games: int, shard_games: int) -> list[tuple[int, int]]:
    """`(first_game, games)` of each shard in order: shard_games each, the last
    one the rest."""
    return [(first, min(shard_games, games - first)) for first in range(0, games, shard_games)]


def run_header(games: int, width: int, height: int, policy: Policy, seed: int, shard_games: int,
               shard_positions: int | None) -> dict[str, Any]:
    """The manifest's description of a run, without its shards."""
    return {"format": FORMAT, "format_version": FORMAT_VERSION, "records_format_version": 1,
            "width": width, "height": height, "policy": policy, "policy_parameters": {},
            "seed": seed, "games": games, "shard_games": shard_games,
            "shard_positions": shard_positions, "checksum": CHECKSUM}


# The entries that a resumed run must share with the run it continues.
_RUN_KEYS = ("width", "height", "policy", "policy_parameters", "seed", "games", "shard_games")


# ---- shard files ----

def _npy_header(a: np.ndarray) -> bytes:
    import io

    import numpy as np

    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, np.lib.format.header_data_from_array_1_0(a))
    return buf.getvalue()


def write_npz_aligned(file: Any, arrays: Iterable[tuple[str, np.ndarray]]) -> None:
    """Writes `arrays` as an uncompressed .npz to the open binary `file`, each
    array's data starting on a 64-byte boundary of the file, with fixed
    timestamps, so the same arrays always give the same bytes: those that
    zipfile writes for them. Each member's CRC-32 is computed in C++ at the
    speed of a copy; an archive past the 4 GiB of a plain zip is written by
    zipfile, which adds the zip64 records."""
    import numpy as np

    members = []
    for name, a in arrays:
        # (ascontiguousarray would make a 0-d array 1-d.)
        a = a if a.flags.c_contiguous else a.copy(order="C")
        members.append((name + ".npy", _npy_header(a), a.reshape(-1).view(np.uint8)))
    start = file.tell()
    if start + sum(len(h) + d.nbytes + 200 + _ALIGN for _, h, d in members) >= zipfile.ZIP64_LIMIT:
        _write_npz_zip64(file, members)
        return
    import drevik_gravline_batch as gb

    year, month, day, hour, minute, second = _FIXED_TIME
    dos_date, dos_time = (year - 1980) << 9 | month << 5 | day, hour << 11 | minute << 5 | second // 2
    local, central = [], []
    offset = start
    for name, header, data in members:
        encoded = name.encode("ascii")
        extra = _pad_field(offset + 30 + len(encoded))
        crc = gb._crc32(data, gb._crc32(header))
        size = len(header) + data.nbytes
        local.append(struct.pack("<4s2B4HL2L2H", b"PK\x03\x04", 20, 0, 0, 0, dos_time, dos_date, crc, size, size,
                                 len(encoded), len(extra)) + encoded + extra + header)
        central.append(struct.pack("<4s4B4HL2L5H2L", b"PK\x01\x02", 20, 3, 20, 0, 0, 0, dos_time, dos_date, crc,
                                   size, size, len(encoded), len(extra), 0, 0, 0, 0o600 << 16, offset)
                       + encoded + extra)
        offset += len(local[-1]) + data.nbytes
    directory = b"".join(central)
    end = struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(central), len(central), len(directory), offset, 0)
    _reserve(file, start, offset + len(directory) + len(end) - start)
    for head, (_, _, data) in zip(local, members):
        file.write(head)
        if data.nbytes:
            file.write(data.data)
    file.write(directory + end)


def _reserve(file: Any, offset: int, length: int) -> None:
    """Allocates the file's blocks for the `length` bytes about to be written
    at `offset` in one call: the file system then maps each page written as it
    comes instead of reserving its block, which makes the writes about a third
    cheaper. A full disk is reported here, before anything is written; a file
    that is not a regular file, or a file system that cannot allocate ahead,
    is written as it is."""
    try:
        fd = file.fileno()
    except (AttributeError, OSError, ValueError):
        return
    if not hasattr(os, "posix_fallocate") or length <= 0:
        return
    try:
        file.flush()
        os.posix_fallocate(fd, offset, length)
    except OSError as exc:
        if exc.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
            raise


def _pad_field(at: int) -> bytes:
    """The extra field, written at offset `at` of the file, after which a
    member's data starts on an _ALIGN boundary (the npy header pads itself to
    a multiple of 64)."""
    pad = -(at + 4) % _ALIGN
    return struct.pack("<HH", _PAD_ID, pad) + bytes(pad)


def _write_npz_zip64(file: Any, members: list[tuple[str, bytes, np.ndarray]]) -> None:
    """write_npz_aligned's archive through zipfile, for one past 4 GiB."""
    with zipfile.ZipFile(file, "w", zipfile.ZIP_STORED, allowZip64=True) as zf:
        for name, header, data in members:
            info = zipfile.ZipInfo(name, date_time=_FIXED_TIME)
            info.compress_type = zipfile.ZIP_STORED
            info.file_size = len(header) + data.nbytes
            # zipfile adds its zip64 field to the local header on this rule.
            zip64 = info.file_size * 1.05 > zipfile.ZIP64_LIMIT
            info.extra = _pad_field(file.tell() + 30 + len(info.filename.encode()) + (20 if zip64 else 0))
            with zf.open(info, "w") as member:
                member.write(header)
                if data.nbytes:
                    member.write(data.data)


def _members_digest(zf: zipfile.ZipFile) -> str:
    """The shard's checksum: sha256 of its members' names, offsets, sizes and
    CRC-32s. Each member's CRC-32 covers its bytes (computed as the file is
    written, so the data is not read a second time), and the digest covers
    the CRC-32s; `check_shard` recomputes both."""
    h = hashlib.sha256()
    for info in zf.infolist():
        h.update(struct.pack("<QQQI", info.header_offset, info.file_size, info.compress_size, info.CRC))
        h.update(info.filename.encode() + b"\0")
    return h.hexdigest()


def shard_checksum(path: str | os.PathLike[str], verify: bool = True) -> str:
    """The checksum of a shard file (see `_members_digest`); with `verify`,
    every member's bytes are read and their CRC-32 checked first.
    ShardCheckError for a file that is damaged or not a zip archive."""
    try:
        with zipfile.ZipFile(path) as zf:
            if verify and zf.testzip() is not None:
                raise ShardCheckError(f"shard {os.fspath(path)} does not match its checksum")
            return _members_digest(zf)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, EOFError, ValueError) as exc:
        raise ShardCheckError(f"shard {os.fspath(path)} is damaged: {exc}") from None


@contextmanager
def replaced_atomically(path: Path, suffix: str = _TEMP_SUFFIX) -> Iterator[str]:
    """A temporary name beside `path` (ending in `suffix`); renamed to `path`
    when the block completes, removed when it fails or is interrupted."""
    fd, temp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=suffix, dir=path.parent)
    os.close(fd)
    try:
        yield temp
        # mkstemp makes the file private; the result gets the usual permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temp, 0o666 & ~umask)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def write_shard(folder: Path, index: int, first_game: int, games: int, records: Records) -> dict[str, Any]:
    """Writes shard `index` (the records of games first_game .. first_game +
    games - 1) into `folder` under a temporary name, renames it when complete,
    and returns its manifest entry."""
    import numpy as np

    path = folder / shard_name(index)
    # Views of the records' own memory: written without a copy.
    fields = records.views()
    arrays: list[tuple[str, Any]] = [("format_version", np.array(1, np.int64)), ("width", np.array(records.width(), np.int64)),
              ("height", np.array(records.height(), np.int64)), *fields.items()]
    with replaced_atomically(path) as temp:
        with open(temp, "wb") as f:
            write_npz_aligned(f, arrays)
        digest = shard_checksum(temp, verify=False)
        size = os.path.getsize(temp)
    return {"index": index, "file": path.name, "first_game": first_game, "games": games,
            "records": len(records), "bytes": size, "checksum": digest}


def check_shard(folder: Path, entry: dict[str, Any], checksum: bool = True) -> None:
    """ShardCheckError unless the file of `entry` exists with its size (and,
    with `checksum`, its members' CRC-32s and its checksum)."""
    name = entry.get("file") if isinstance(entry, dict) else None
    # A manifest names files in its own folder only.
    if not isinstance(name, str) or not name or Path(name).name != name or name.startswith("."):
        raise ShardCheckError(f"a manifest entry of {os.fspath(folder)} names no shard file of the folder: {name!r}")
    path = folder / name
    try:
        size = path.stat().st_size
    except FileNotFoundError:
        raise ShardCheckError(f"shard {path} is missing") from None
    if size != entry["bytes"]:
        raise ShardCheckError(f"shard {path} has {size} bytes, not {entry['bytes']}")
    if checksum and shard_checksum(path) != entry["checksum"]:
        raise ShardCheckError(f"shard {path} does not match its checksum")


def map_npz(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """The arrays of an uncompressed .npz file as read-only arrays over one
    memory map of the file: nothing is read until it is used. ValueError for a
    compressed or damaged file."""
    import numpy as np

    out: dict[str, np.ndarray] = {}
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else None
        try:
            infos = zipfile.ZipFile(f).infolist()
        except zipfile.BadZipFile as exc:
            raise ValueError(f"{os.fspath(path)!r} is not an .npz file: {exc}") from None
        for info in infos:
            if info.compress_type != zipfile.ZIP_STORED or not info.filename.endswith(".npy"):
                raise ValueError(f"{os.fspath(path)!r}: member {info.filename!r} is compressed or not an array; "
                                 "only an uncompressed .npz can be memory-mapped")
            f.seek(info.header_offset)
            local = f.read(30)
            if len(local) != 30 or local[:4] != b"PK\x03\x04":
                raise ValueError(f"{os.fspath(path)!r}: a damaged member {info.filename!r}")
            name_len, extra_len = struct.unpack("<HH", local[26:30])
            start = info.header_offset + 30 + name_len + extra_len
            f.seek(start)
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
            else:
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
            offset = f.tell()
            count = int(np.prod(shape, dtype=object))
            if fortran or dtype.hasobject or offset + count * dtype.itemsize > start + info.file_size \
                    or start + info.file_size > size:
                raise ValueError(f"{os.fspath(path)!r}: a damaged member {info.filename!r}")
            if count == 0 or view is None:
                a = np.zeros(shape, dtype)
            else:
                a = np.frombuffer(view, dtype, count, offset).reshape(shape)
            out[info.filename[:-4]] = a
    return out


# ---- manifests ----

def read_manifest(folder: str | os.PathLike[str]) -> dict[str, Any]:
    """The manifest of the run in `folder`; ValueError if it is not one."""
    path = Path(folder) / MANIFEST
    try:
        manifest = json.loads(path.read_text())
    except FileNotFoundError:
        raise FileNotFoundError(f"{os.fspath(folder)!r} holds no self-play run (no {MANIFEST})") from None
    except (ValueError, UnicodeDecodeError) as exc:
        raise ValueError(f"{path} is not a self-play manifest: {exc}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ValueError(f"{path} is not a self-play manifest")
    if manifest.get("format_version") != FORMAT_VERSION:
        raise ValueError(f"{path}: shard format version {manifest.get('format_version')!r} is not supported "
                         f"(this package reads version {FORMAT_VERSION})")
    return manifest


def write_manifest(folder: Path, manifest: dict[str, Any]) -> None:
    """Replaces the manifest of `folder` atomically, its shards in game order."""
    manifest["shards"] = sorted(manifest["shards"], key=lambda e: e["first_game"])
    with replaced_atomically(folder / MANIFEST) as temp, open(temp, "w") as f:
        json.dump(manifest, f, indent=1)
        f.write("\n")


def remove_temporaries(folder: Path) -> None:
    """Removes the temporary files that a stopped writer left in `folder`."""
    for p in folder.iterdir():
        # Only the names that write_shard and write_manifest make: a folder
        # given for --out may hold files of its own.
        ours = p.name.startswith((".shard-", f".{MANIFEST}."))
        if ours and p.name.endswith(_TEMP_SUFFIX) and p.is_file():
            try:
                p.unlink()
            except FileNotFoundError:
                pass


def prepare_run(folder: str | os.PathLike[str], games: int, width: int, height: int, *, policy: Policy,
                seed: int, threads: int, shard_positions: int | None, shard_games: int | None,
                resume: bool) -> tuple[Path, dict[str, Any], list[tuple[int, int, int]]]:
    """Checks a run, makes or opens its folder and manifest, and returns the
    folder, the manifest (holding the shards that are complete and sound) and
    the shards still to play as (index, first_game, games). A shard whose file
    is missing or fails its checksum is left out of the manifest, to be made
    again. Without `resume`, a folder that already holds a run is refused; a
    resumed run must be the same run (size, policy, seed, games, shards)."""
    _check_run(games, width, height, policy, seed, threads)
    path = Path(folder)
    if not path.is_dir():
        path.mkdir()
    old: dict[str, Any] | None = None
    if (path / MANIFEST).exists():
        if not resume:
            raise FileExistsError(f"{os.fspath(folder)!r} already holds a self-play run: "
                                  "resume it (--resume, resume=True), or choose another folder")
        old = read_manifest(path)
    if shard_games is None:
        if old is not None and shard_positions is None:
            shard_games = int(old["shard_games"])
            shard_positions = old.get("shard_positions")
        else:
            if shard_positions is None:
                shard_positions = DEFAULT_SHARD_POSITIONS
            shard_games = games_per_shard(width, height, policy, seed, shard_positions)
    elif shard_games < 1:
        raise ValueError(f"shard_games must be at least 1, not {shard_games}")
    if games and -(-games // shard_games) > MAX_SHARDS:
        raise ValueError(f"{games} games make more than {MAX_SHARDS} shards of {shard_games} games: "
                         "choose larger shards")
    header = run_header(games, width, height, policy, seed, shard_games, shard_positions)
    done: dict[int, dict[str, Any]] = {}
    if old is not None:
        for key in _RUN_KEYS:
            if old.get(key) != header[key]:
                raise ValueError(f"the run in {os.fspath(folder)!r} has {key} {old.get(key)!r}, "
                                 f"not {header[key]!r}: a resumed run must be the same run")
        for entry in old.get("shards", []):
            try:
                check_shard(path, entry)
            except ShardCheckError:
                continue
            done[entry["index"]] = entry
    remove_temporaries(path)
    manifest = {**header, "complete": False, "shards": list(done.values())}
    write_manifest(path, manifest)
    todo = [(i, first, count) for i, (first, count) in enumerate(shard_plan(games, shard_games))
            if i not in done]
    return path, manifest, todo


def finish_run(path: Path, manifest: dict[str, Any]) -> dict[str, Any]:
    manifest["complete"] = True
    write_manifest(path, manifest)
    return manifest


# ---- the run ----

def play_shard_to_folder(folder: str, index: int, first_game: int, games: int, width: int, height: int,
                         policy: Policy, seed: int, threads: int) -> dict[str, Any]:
    """Plays one shard and writes its file into `folder`; returns its manifest
    entry. What a Ray worker runs for a shard."""
    import drevik_gravline_batch as gb

    records = gb.self_play(games, width, height, policy=policy, seed=seed, threads=threads,
                           first_game=first_game)
    return write_shard(Path(folder), index, first_game, games, records)


def self_play_to_folder(folder: str | os.PathLike[str], games: int, width: int, height: int, *,
                        policy: Policy = "tactical", seed: int = 0, threads: int = 1,
                        shard_positions: int | None = None, shard_games: int | None = None,
                        resume: bool = False, progress: Progress | None = None) -> dict[str, Any]:
    """Plays `games` self-play games, as `drevik_gravline_batch.self_play` with
    the same arguments would, and writes them to `folder` (made when missing,
    its parent must exist) as shards with a manifest; returns the manifest.

    Each shard holds `shard_games` games (default: as many as make about
    `shard_positions` records, 1,048,576 by default). Shards are played one
    after another on `threads` threads while the previous one is written, so
    the memory used is that of a few shards whatever `games` is. With
    `resume`, a stopped run in `folder` continues: its sound shards are kept,
    a missing or damaged one is made again, and the files end the same as an
    uninterrupted run's. `progress(games done)` is called on this thread."""
    path, manifest, todo = prepare_run(folder, games, width, height, policy=policy, seed=seed, threads=threads,
                                       shard_positions=shard_positions, shard_games=shard_games, resume=resume)
    done_games = games - sum(count for _, _, count in todo)
    if progress is not None and done_games:
        progress(done_games)
    for entry in _play_and_write(path, manifest, todo, width, height, policy, seed, threads,
                                 progress, done_games):
        del entry
    return finish_run(path, manifest)


def _play_and_write(path: Path, manifest: dict[str, Any], todo: list[tuple[int, int, int]], width: int,
                    height: int, policy: Policy, seed: int, threads: int, progress: Progress | None,
                    done_games: int) -> Iterator[dict[str, Any]]:
    """Plays the shards of `todo` in order on this thread while a writer
    thread writes the previous one, and yields each shard's entry once it is
    in the manifest. At most one shard waits for the writer."""
    import drevik_gravline_batch as gb

    pending: queue.Queue[tuple[int, int, int, Records] | None] = queue.Queue(maxsize=1)
    written: queue.Queue[dict[str, Any] | BaseException] = queue.Queue()
    stop = threading.Event()

    def writer() -> None:
        try:
            while (item := pending.get()) is not None and not stop.is_set():
                index, first, count, records = item
                entry = write_shard(path, index, first, count, records)
                del item, records
                manifest["shards"].append(entry)
                write_manifest(path, manifest)
                written.put(entry)
        except BaseException as exc:  # handed to the playing thread
            stop.set()
            written.put(exc)

    thread = threading.Thread(target=writer, name="shard writer", daemon=True)
    thread.start()
    base = done_games

    def drain(block: bool) -> Iterator[dict[str, Any]]:
        while True:
            try:
                got = written.get(block=block)
            except queue.Empty:
                return
            if isinstance(got, BaseException):
                raise got
            yield got
            if block:
                return

    try:
        for index, first, count in todo:
            if stop.is_set():
                break
            shard_progress = None
            if progress is not None:
                start = base

                def shard_progress(done: int, start: int = start) -> None:
                    progress(start + done)
            records = gb.self_play(count, width, height, policy=policy, seed=seed, threads=threads,
                                   progress=shard_progress, first_game=first)
            base += count
            while True:
                try:
                    pending.put((index, first, count, records), timeout=0.1)
                    break
                except queue.Full:
                    if stop.is_set():
                        break
            del records
            yield from drain(block=False)
        pending.put(None)
        thread.join()
        yield from drain(block=False)
    except BaseException:
        # An interrupt or a failure: the shard being written is finished (it is
        # whole, and the manifest names it), nothing queued is started.
        stop.set()
        try:
            while True:
                pending.get_nowait()
        except queue.Empty:
            pass
        pending.put(None)
        thread.join()
        remove_temporaries(path)
        raise
