"""The main job: self-play games played by the C++ generator, written as one
file of compact records (or, with --dense, as the five float32 training arrays).

    python -m drevik_gravline_tools.self_play --games 10000 --width 7 --height 6 \\
        --out selfplay.npz --seed 0 --threads 2
    python -m drevik_gravline_tools.self_play --backend ray [--address HOST:PORT] [--shards N]

Game i of a run is seeded by (--seed, i) alone, so a seed gives the same file for
any --threads, and on a Ray cluster (--backend ray) for any --shards. The output path is checked before any game is played; the file is
written under a temporary name in the same folder and renamed when complete, so
an interrupted run leaves no half-written file. NumPy's rule names the file: a
name without ".npz" gets it appended.

Functions for use from Python: `generate(args)` plays the games of parsed
arguments and returns `Records`; `output_path`, `write_records` and `write_dense`
check and write files. A backend is a function of the parsed arguments and an
optional progress callback that returns `Records`; `BACKENDS` maps the names
that `--backend` accepts to them.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import zipfile
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any

from drevik_gravline_tools.ray_runner import ShardError

if TYPE_CHECKING:
    from drevik_gravline_batch import Records

Progress = Callable[[int], object]
Backend = Callable[[argparse.Namespace, "Progress | None"], "Records"]

DENSE_FIELDS = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")
# Records per expand call when dense arrays are streamed into a file.
DENSE_CHUNK = 4096


def generate_local(args: argparse.Namespace, progress: Progress | None = None) -> Records:
    """The games of `args`, played in this process on `args.threads` threads."""
    import drevik_gravline_batch as gb

    if args.policy == "search":
        # A rollout search per move; its records (version 2) keep the search's targets.
        return gb.self_play_search(args.games, args.width, args.height, evaluate="rollout",
                                   simulations=args.simulations, seed=args.seed, threads=args.threads,
                                   progress=progress)
    return gb.self_play(args.games, args.width, args.height, policy=args.policy, seed=args.seed,
                        threads=args.threads, progress=progress)


def generate_ray(args: argparse.Namespace, progress: Progress | None = None) -> Records:
    """The games of `args`, played in shards on a Ray cluster: the one at
    `args.address`, or a local one started for the run."""
    from drevik_gravline_tools.ray_runner import self_play_ray

    return self_play_ray(args.games, args.width, args.height, policy=args.policy, seed=args.seed,
                         shards=args.shards, address=args.address, threads_per_shard=args.threads,
                         progress=progress)


BACKENDS: dict[str, Backend] = {"local": generate_local, "ray": generate_ray}


def generate(args: argparse.Namespace, progress: Progress | None = None) -> Records:
    """The games of `args` from the backend it names."""
    return BACKENDS[getattr(args, "backend", "local")](args, progress)


# ---- arguments ----

def _whole_number(text: str, least: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
    return value


def positive(text: str) -> int:
    return _whole_number(text, 1)


def non_negative(text: str) -> int:
    return _whole_number(text, 0)


def any_whole(text: str) -> int:
    return _whole_number(text, -(2**63))


def output_path(out: str | os.PathLike[str]) -> Path:
    """The file that writing to `out` produces (".npz" appended when the name
    lacks it), once its folder is checked: ValueError when the folder is
    missing or not writable, or when the path is a folder."""
    name = os.fspath(out)
    if not name.endswith(".npz"):
        name += ".npz"
    path = Path(name)
    folder = path.parent
    if not folder.is_dir():
        raise ValueError(f"the output folder {str(folder)!r} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"the output folder {str(folder)!r} is not writable")
    if path.is_dir():
        raise ValueError(f"the output path {name!r} is a folder")
    return path


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="self_play",
        description="Play self-play games in C++ and write their positions to one .npz file: "
        "compact records by default, the five float32 training arrays with --dense.")
    parser.add_argument("--games", type=positive, default=10000, metavar="N",
                        help="games to play (default 10000)")
    parser.add_argument("--width", type=any_whole, default=7, help="board columns, 4 to 32 (default 7)")
    parser.add_argument("--height", type=any_whole, default=6, help="board rows, 4 to 32 (default 6)")
    parser.add_argument("--out", default="selfplay.npz", metavar="PATH",
                        help="output file; '.npz' is appended when missing (default selfplay.npz)")
    parser.add_argument("--seed", type=non_negative, default=0, help="base seed (default 0)")
    parser.add_argument("--threads", type=positive, default=1, metavar="N",
                        help="threads that play games (default 1; on Ray, per shard); the file is "
                        "the same for any N")
    parser.add_argument("--policy", choices=("tactical", "random", "search"), default="tactical",
                        help="tactical: win, else block, else any column; random: any column; "
                        "search: a tree search with random playouts, written as version 2 records "
                        "(default tactical)")
    parser.add_argument("--simulations", type=positive, default=200, metavar="N",
                        help="simulations per move of --policy search (default 200)")
    parser.add_argument("--backend", choices=sorted(BACKENDS), default="local",
                        help="where the games are played: in this process, or on a Ray cluster "
                        "(pip install \"drevik_gravline[ray]\") (default local)")
    parser.add_argument("--address", metavar="ADDR",
                        help="with --backend ray: the cluster to join (host:port, auto, ray://...); "
                        "without it a local cluster is started for the run")
    parser.add_argument("--shards", type=positive, metavar="N",
                        help="with --backend ray: the number of shards (default four per CPU of the "
                        "cluster, each of at least 1000 games)")
    parser.add_argument("--dense", action="store_true",
                        help="write the five float32 training arrays (states, policies, values, "
                        "opponent_policies, opponent_policy_masks) instead of compact records")
    parser.add_argument("--no-mirror", action="store_true",
                        help="with --dense: the positions only, without their mirror images")
    parser.add_argument("--compress", action="store_true",
                        help="compress the records file (dense files are always compressed)")
    parser.add_argument("--no-progress", action="store_true", help="show no progress bar")
    parser.add_argument("--workers", type=str, help=argparse.SUPPRESS)
    return parser


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """Parsed and checked arguments: the board size, and the output path (as
    `args.path`, the file that will be written). Errors exit as usage errors."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.workers is not None:
        parser.error("--workers was replaced by --threads: games are played on threads of one process")
    if args.no_mirror and not args.dense:
        parser.error("--no-mirror applies to --dense output only")
    if args.policy == "search" and args.backend != "local":
        parser.error("--policy search runs with --backend local only")
    if args.backend != "ray" and (args.address is not None or args.shards is not None):
        parser.error("--address and --shards apply to --backend ray only")
    if args.backend == "ray":
        from drevik_gravline_tools.ray_runner import import_ray

        try:
            import_ray()
        except ImportError as exc:
            # One line that says how to install it, not a usage text.
            parser.exit(2, f"{parser.prog}: error: {exc}\n")
    import drevik_gravline as gl

    try:
        gl.Game(args.width, args.height)
    except (ValueError, OverflowError) as exc:
        parser.error(str(exc))
    try:
        args.path = output_path(args.out)
    except ValueError as exc:
        parser.error(str(exc))
    return args


# ---- writing ----

@contextmanager
def _replaced(path: Path) -> Iterator[str]:
    """A temporary name beside `path` ending in ".npz"; renamed to `path` when
    the block completes, removed when it fails or is interrupted."""
    fd, temp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp.npz", dir=path.parent)
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


def write_records(records: Records, path: Path, compressed: bool = False) -> Path:
    """Writes the compact records to exactly `path` (a name ending in ".npz"),
    atomically; returns `path`."""
    with _replaced(path) as temp:
        records.save(temp, compressed=compressed)
    return path


def dense_shapes(records: Records, mirror: bool) -> dict[str, tuple[int, ...]]:
    rows = len(records) * (2 if mirror else 1)
    w, h = records.width(), records.height()
    return {"states": (rows, 17, h, w), "policies": (rows, w), "values": (rows,),
            "opponent_policies": (rows, w), "opponent_policy_masks": (rows,)}


def write_dense(records: Records, path: Path, mirror: bool = True) -> Path:
    """Writes the five float32 training arrays of every record (then, with
    `mirror`, of their mirror images) to exactly `path` as a compressed .npz,
    atomically. The arrays are expanded and written a chunk at a time, so the
    memory needed does not grow with the run."""
    import numpy as np

    shapes = dense_shapes(records, mirror)
    n = len(records)
    with _replaced(path) as temp, zipfile.ZipFile(temp, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as zf:
        for name in DENSE_FIELDS:
            with zf.open(f"{name}.npy", "w", force_zip64=True) as member:
                header = {"descr": np.lib.format.dtype_to_descr(np.dtype(np.float32)),
                          "fortran_order": False, "shape": shapes[name]}
                np.lib.format.write_array_header_2_0(member, header)
                for mirrored in (False, True) if mirror else (False,):
                    for start in range(0, n, DENSE_CHUNK):
                        rows: dict[str, Any] = dict(
                            records.expand(np.arange(start, min(n, start + DENSE_CHUNK)), mirror=mirrored))
                        part = rows[name]
                        if mirrored:
                            part = part[len(part) // 2:]
                        member.write(part.tobytes())
    return path


# ---- the job ----

@contextmanager
def _progress_bar(total: int, enabled: bool) -> Iterator[Progress | None]:
    if not enabled:
        yield None
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        yield None
        return
    with tqdm(total=total, unit="game", file=sys.stderr) as bar:
        def update(done: int) -> None:
            bar.update(done - bar.n)

        yield update


def _megabytes(n: float) -> str:
    return f"{n / 1e6:.1f} MB"


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        with _progress_bar(args.games, not args.no_progress) as progress:
            start = time.perf_counter()
            records = generate(args, progress)
            elapsed = time.perf_counter() - start
        path = (write_dense(records, args.path, not args.no_mirror) if args.dense
                else write_records(records, args.path, args.compress))
    except KeyboardInterrupt:
        print("interrupted: no file written", file=sys.stderr)
        return 130
    except (ShardError, ConnectionError) as exc:
        # A shard that failed on every attempt, or a cluster that cannot be
        # reached: the run has no result, and no file was written.
        print(f"{build_parser().prog}: error: {exc} (no file written)", file=sys.stderr)
        return 1

    positions = len(records)
    seconds = max(elapsed, 1e-9)
    threads = f"{args.threads} thread" + ("s" if args.threads != 1 else "")
    if args.backend == "ray":
        threads += " per shard on Ray"
    print(f"{args.games} games on {args.width}x{args.height}, {positions} positions in {elapsed:.2f} s"
          f" with {threads}: {args.games / seconds:,.0f} games/s, {positions / seconds:,.0f} positions/s")
    size = path.stat().st_size
    if args.dense:
        shapes = dense_shapes(records, not args.no_mirror)
        print(f"wrote {path} ({_megabytes(size)}), dense float32 training arrays:")
        for name in DENSE_FIELDS:
            print(f"  {name:<22} {shapes[name]} float32")
    else:
        fields: dict[str, Any] = dict(records.arrays())
        per_record = sum(a.nbytes for a in fields.values()) / max(positions, 1)
        print(f"wrote {path} ({_megabytes(size)}), {positions} compact records of {per_record:.0f} bytes:")
        for name, a in fields.items():
            print(f"  {name:<22} {a.shape} {a.dtype}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
