"""A replay buffer over self-play records on disk: run folders written as shards
(`shards.self_play_to_folder`, or the main job with a folder for --out) and
single records files, memory-mapped rather than read, with a window of the
newest positions that moves on as new shards arrive, and minibatches drawn
uniformly from the window straight into the training arrays of
`Records.expand`.

    buffer = ReplayBuffer(["runs/a/", "runs/b/"], window=10_000_000, seed=0)
    batch = buffer.sample(1024, mirror=True)          # the five float32 arrays
    for batch in buffer.batches(1024, mirror=True):   # forever; refresh() between
        ...

Neither PyTorch nor JAX is needed: `batches()` yields dicts of NumPy arrays,
which a JAX loop passes to `jax.device_put`, and a PyTorch
`torch.utils.data.IterableDataset` whose `__iter__` returns `batches(...)`
hands to `DataLoader(dataset, batch_size=None)` (each worker process then needs
a buffer with a seed of its own).
"""

from __future__ import annotations

import os
import zipfile
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from drevik_gravline_tools.shards import MANIFEST, check_shard, map_npz, read_manifest

if TYPE_CHECKING:
    import numpy as np

FIELDS = ("red", "yellow", "last_moves", "turn", "policy", "opponent_policy", "opponent_mask", "value",
          "game", "ply", "action")
DTYPES = ("uint64", "uint64", "uint8", "int8", "uint32", "uint32", "bool", "int8", "uint32", "uint16", "uint8")
# The further fields of a search's records (version 2).
SEARCH_FIELDS = ("visits", "root_value")
SEARCH_DTYPES = ("uint16", "float32")


class _Segment:
    """The records of one file: its mapped fields, and the first record of it
    that the window still holds."""

    def __init__(self, name: str, fields: dict[str, np.ndarray]) -> None:
        self.name = name
        self.fields = fields
        self.size = len(fields["turn"])
        self.start = 0

    def __len__(self) -> int:
        return self.size - self.start


def _open_records_file(path: Path, width: int | None, height: int | None) -> tuple[dict[str, np.ndarray], int, int]:
    """The fields of one records file (of version 1, or 2 with the search's
    fields), memory-mapped when it is stored uncompressed and read whole
    otherwise, with its board size; ValueError for a file that is not one of
    records."""
    import numpy as np

    try:
        arrays = map_npz(path)
    except ValueError:
        # A compressed file cannot be mapped: its arrays are read.
        try:
            data = np.load(path, allow_pickle=False)
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as exc:
            raise ValueError(f"{os.fspath(path)!r} is not a records file: {exc}") from None
        if not isinstance(data, np.lib.npyio.NpzFile):
            raise ValueError(f"{os.fspath(path)!r} is not a records file: an .npz archive was expected")
        with data:
            try:
                arrays = {k: data[k] for k in data.files}
            except (OSError, ValueError, EOFError, zipfile.BadZipFile) as exc:
                raise ValueError(f"{os.fspath(path)!r} is a damaged records file: {exc}") from None
    missing = [k for k in ("format_version", "width", "height", *FIELDS) if k not in arrays]
    if missing:
        raise ValueError(f"{os.fspath(path)!r} is not a records file: no {missing[0]!r} array")
    try:
        version, w, h = (int(arrays[k]) for k in ("format_version", "width", "height"))
    except (TypeError, ValueError):
        raise ValueError(f"{os.fspath(path)!r} is not a records file: its format or size is not a number") from None
    if version not in (1, 2):
        raise ValueError(f"{os.fspath(path)!r}: records format version {version} is not supported")
    names: tuple[str, ...] = FIELDS
    dtypes: tuple[str, ...] = DTYPES
    if version == 2:
        names, dtypes = FIELDS + SEARCH_FIELDS, DTYPES + SEARCH_DTYPES
        absent = [k for k in SEARCH_FIELDS if k not in arrays]
        if absent:
            raise ValueError(f"{os.fspath(path)!r} is not a records file: no {absent[0]!r} array")
    if (width, height) != (None, None) and (w, h) != (width, height):
        raise ValueError(f"records of one board size only: {width}x{height} and {w}x{h} ({os.fspath(path)!r})")
    if not (4 <= w <= 32 and 4 <= h <= 32) or arrays["turn"].ndim != 1:
        raise ValueError(f"{os.fspath(path)!r} is not a records file of a board of 4 to 32 columns and rows")
    n = len(arrays["turn"])
    words = (w * h + 63) // 64
    for k, dtype in zip(names, dtypes):
        a = arrays[k]
        if a.dtype != np.dtype(dtype):
            raise ValueError(f"{os.fspath(path)!r}: the field {k!r} has dtype {a.dtype}, not {dtype}")
        if a.shape != {"red": (n, words), "yellow": (n, words), "last_moves": (n, 8), "visits": (n, w)}.get(k, (n,)):
            raise ValueError(f"{os.fspath(path)!r}: the field {k!r} has shape {a.shape}")
    # A file written by Records.save (not as a shard) may store a field off
    # its type's alignment: that field is read into memory instead.
    return {k: np.require(arrays[k], requirements=("C", "A")) for k in names}, w, h


def _version(fields: dict[str, Any]) -> int:
    return 2 if SEARCH_FIELDS[0] in fields else 1


class ReplayBuffer:
    """Self-play records from run folders and records files, memory-mapped, of
    which the newest `window` positions (all when None) are drawn from.

    `sources` are folders written as shards (their manifest's shards, in game
    order) and `.npz` records files, in order from oldest to newest. A folder's
    shards are checked against the manifest's sizes as they are opened, and
    with `checksum=True` against its checksums too (which reads them whole).
    `seed` seeds the draws: the same records, window and seed give the same
    minibatches. With `load=True` each file is read into memory as it is
    opened (and checked whole) instead of mapped: for a window that fits in
    memory, draws then cost what `Records.expand` from records in memory
    costs, where over a map of small pages each field of each pick misses the
    TLB.

    Records made in this process join the window with `add(records)`, as the
    newest. The buffer holds records of one format version: a search's
    (version 2, whose minibatches also carry `root_values`) or not."""

    def __init__(self, sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
                 window: int | None = None, *, seed: int | None = None, checksum: bool = False,
                 load: bool = False) -> None:
        import numpy as np

        if isinstance(sources, (str, os.PathLike)):
            sources = [sources]
        if window is not None and window < 1:
            raise ValueError(f"window must be at least 1, not {window}")
        self.window = window
        self.checksum = checksum
        self.load = load
        self._rng = np.random.default_rng(seed)
        self._sources = [Path(s) for s in sources]
        self._segments: list[_Segment] = []
        self._seen: set[tuple[int, str]] = set()
        self._width: int | None = None
        self._height: int | None = None
        self._version: int | None = None
        self._ends = np.zeros(0, np.int64)
        self._offsets = np.zeros(0, np.int64)
        self._fields: list[dict[str, np.ndarray]] = []
        for i, source in enumerate(self._sources):
            if not source.is_dir() and not source.is_file():
                raise FileNotFoundError(f"no such run folder or records file: {os.fspath(source)!r}")
        self.refresh()

    # ---- the window ----

    def refresh(self) -> int:
        """Opens the shards that the sources' manifests name and were not open
        yet (a run still being written gains shards), drops the oldest
        positions beyond the window, and returns the positions added."""
        added = 0
        for i, source in enumerate(self._sources):
            if source.is_dir():
                manifest = read_manifest(source)
                for entry in manifest["shards"]:
                    if (i, entry["file"]) in self._seen:
                        continue
                    check_shard(source, entry, checksum=self.checksum)
                    added += self._add(i, source / entry["file"])
            elif (i, "") not in self._seen:
                self._seen.add((i, ""))
                fields, w, h = self._open(source)
                self._append(os.fspath(source), fields, w, h)
                added += len(fields["turn"])
        self._trim()
        return added

    def _open(self, path: Path) -> tuple[dict[str, np.ndarray], int, int]:
        fields, w, h = _open_records_file(path, self._width, self._height)
        if self.load:
            import drevik_gravline_batch as gb

            # Read into the records' own memory, whose large fields sit in huge
            # pages: random draws then miss the TLB far less than over a map.
            fields = dict(cast("dict[str, np.ndarray]", gb.Records.from_arrays(w, h, **fields).views()))
        return fields, w, h

    def _add(self, i: int, path: Path) -> int:
        fields, w, h = self._open(path)
        self._append(os.fspath(path), fields, w, h)
        self._seen.add((i, path.name))
        return len(fields["turn"])

    def _append(self, name: str, fields: dict[str, np.ndarray], w: int, h: int) -> None:
        version = _version(fields)
        if self._version is not None and version != self._version:
            raise ValueError(f"records of one format version only: {self._version} and {version} ({name!r})")
        self._width, self._height, self._version = w, h, version
        self._segments.append(_Segment(name, fields))

    def add(self, records: Any) -> int:
        """Adds a Records (of this buffer's board size and format version) as
        the newest positions, dropping the oldest beyond the window; returns
        the positions added. The buffer reads the records in place: they are
        never changed, so nothing is copied."""
        import drevik_gravline_batch as gb

        if not isinstance(records, gb.Records):
            raise TypeError(f"expected Records, got {type(records).__name__!r}")
        w, h = records.width(), records.height()
        if self._width is not None and (w, h) != (self._width, self._height):
            raise ValueError(f"records of one board size only: {self._width}x{self._height} and {w}x{h}")
        self._append(f"<records {len(self._segments)}>", dict(cast("dict[str, np.ndarray]", records.views())), w, h)
        self._trim()
        return len(records)

    def _trim(self) -> None:
        import numpy as np

        if self.window is not None:
            excess = sum(len(s) for s in self._segments) - self.window
            while excess > 0 and self._segments:
                first = self._segments[0]
                if len(first) <= excess:
                    excess -= len(first)
                    self._segments.pop(0)
                else:
                    first.start += excess
                    excess = 0
        self._ends = np.cumsum([len(s) for s in self._segments], dtype=np.int64)
        # Position p of the window, in file k, is row p - _offsets[k] there (a
        # file's window may begin part way through it).
        self._offsets = self._ends - np.array([s.size for s in self._segments], np.int64)
        self._fields = [s.fields for s in self._segments]

    def __len__(self) -> int:
        return int(self._ends[-1]) if len(self._ends) else 0

    def width(self) -> int:
        if self._width is None:
            raise ValueError("the buffer holds no records yet")
        return self._width

    def height(self) -> int:
        if self._height is None:
            raise ValueError("the buffer holds no records yet")
        return self._height

    def __repr__(self) -> str:
        return f"<ReplayBuffer: {len(self)} positions in {len(self._segments)} files, window {self.window}>"

    # ---- drawing ----

    def records(self, positions: Any) -> Any:
        """The window's records at `positions` (0 the oldest), in that order,
        as a Records: each record checked as `Records.from_arrays` checks."""
        import numpy as np

        n = len(self)
        positions = np.asarray(positions)
        if positions.ndim != 1 or (len(positions) and not np.issubdtype(positions.dtype, np.integer)):
            raise ValueError("positions must be a 1-D array of integers")
        if self._width is None or self._height is None:
            raise ValueError("the buffer holds no records yet")
        positions = positions.astype(np.int64, copy=False)
        if len(positions) and (positions.min() < 0 or positions.max() >= n):
            raise IndexError(f"a position is out of range for a window of {n} records")
        return self._gather(positions)

    def _gather(self, positions: np.ndarray) -> Any:
        """The records at `positions`, int64 positions known to be in the window."""
        import numpy as np

        import drevik_gravline_batch as gb

        # A window that holds positions has a board size.
        width, height = cast("int", self._width), cast("int", self._height)
        source = np.searchsorted(self._ends, positions, side="right")
        return gb.Records.gather(width, height, self._fields, source, positions - self._offsets[source])

    def _draw(self, batch_size: int) -> Any:
        n = len(self)
        if n == 0:
            raise ValueError("the buffer holds no records to draw from")
        if batch_size < 1:
            raise ValueError(f"batch_size must be at least 1, not {batch_size}")
        return self._rng.integers(0, n, batch_size)

    def sample_records(self, batch_size: int) -> Any:
        """`batch_size` records drawn uniformly, with replacement, from the
        window, as a Records: the draw that `sample` expands."""
        return self._gather(self._draw(batch_size))

    def sample(self, batch_size: int, *, mirror: bool = False,
               out: dict[str, np.ndarray] | None = None) -> dict[str, np.ndarray]:
        """The training arrays (as `Records.expand` gives them) of `batch_size`
        positions drawn uniformly, with replacement, from the window; with
        `out` (a previous result) written into it."""
        result: dict[str, np.ndarray] = self._gather(self._draw(batch_size)).expand(mirror=mirror, out=out)
        return result

    def batches(self, batch_size: int, *, mirror: bool = False, reuse: bool = False,
                refresh_every: int | None = None, count: int | None = None) -> Iterator[dict[str, np.ndarray]]:
        """Minibatches of `sample(batch_size, mirror=mirror)`, forever or
        `count` of them. With `reuse`, every batch is written into the same
        arrays (for a loop that uses each batch before asking for the next);
        without it each batch is new (for a DataLoader, which may hold several).
        With `refresh_every`, new shards are picked up every that many batches."""
        out = None
        made = 0
        while count is None or made < count:
            if refresh_every and made and made % refresh_every == 0:
                self.refresh()
            batch = self.sample(batch_size, mirror=mirror, out=out)
            if reuse:
                out = batch
            made += 1
            yield batch


__all__ = ["ReplayBuffer", "MANIFEST"]
