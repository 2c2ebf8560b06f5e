"""The main job: self-play games played by the C++ generator, written as one
file of compact records (or, with --dense, as the five float32 training arrays).

    python -m drevik_gravline_tools.self_play --games 10000 --width 7 --height 6 \\
        --out selfplay.npz --seed 0 --threads 2
    python -m drevik_gravline_tools.self_play --backend ray [--address HOST:PORT] [--shards N]

Game i of a run is seeded by (--seed, i) alone, so a seed gives the same file for
any --threads, and on a Ray cluster (--backend ray) for any --shards. The output path is checked before any game is played; the file is
written under a temporary name in the same folder and renamed when complete, so
an interrupted run leaves no half-written file. NumPy's rule names the file: a
name without ".npz" gets it appended. When --out names a folder (an existing
one, or a name ending in '/'), the run is written there as shards while it is
played (drevik_gravline_tools.shards), and --resume continues a stopped run.

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
from typing import TYPE_CHECKING, Any, Literal

from drevik_gravline_tools.ray_runner import ClusterTooSmall, ShardError
from drevik_gravline_tools.shards import replaced_atomically

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

# Game indices are stored in 32 bits; seeds are 64-bit; the generator takes
# at most 256 threads.
MAX_GAMES = 2**32
MAX_SEED = 2**64 - 1
MAX_THREADS = 256
MAX_SHARD_POSITIONS = 2**26
# Games played to estimate the memory of a run held whole (its first games).
_SAMPLE_GAMES = 256


def _whole_number(text: str, least: int, most: int | None = None) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, got {value}")
    if most is not None and value > most:
        raise argparse.ArgumentTypeError(f"must be at most {most}, got {value}")
    return value


def _ranged(least: int, most: int | None, name: str) -> Callable[[str], int]:
    def convert(text: str) -> int:
        return _whole_number(text, least, most)

    convert.__name__ = name
    return convert


def positive(text: str) -> int:
    return _whole_number(text, 1)


def non_negative(text: str) -> int:
    return _whole_number(text, 0)


def any_whole(text: str) -> int:
    return _whole_number(text, -(2**63))


def _not_empty(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _check_writable(folder: Path) -> None:
    """ValueError unless a file can be made in `folder`: one is made and removed
    (a permission test alone passes for root where the filesystem refuses)."""
    try:
        fd, probe = tempfile.mkstemp(prefix=".self_play-write-test.", dir=folder)
    except OSError as exc:
        reason = exc.strerror or type(exc).__name__
        raise ValueError(f"the output folder {str(folder)!r} is not writable ({reason})") from None
    os.close(fd)
    os.unlink(probe)


def is_folder_output(out: str | os.PathLike[str]) -> bool:
    """Whether `--out` names a folder of shards: an existing folder, or a name
    ending in '/'."""
    name = os.fspath(out)
    return name.endswith(os.sep) or (os.altsep is not None and name.endswith(os.altsep)) or Path(name).is_dir()


def output_folder(out: str | os.PathLike[str]) -> Path:
    """The folder of shards that writing to `out` fills, once it is checked: an
    existing folder must be writable, a new one's parent must exist and be
    writable (the folder is made when the run starts)."""
    path = Path(os.fspath(out))
    if path.is_dir():
        _check_writable(path)
        return path
    if path.exists():
        raise ValueError(f"the output path {os.fspath(out)!r} is a file, not a folder")
    parent = path.parent
    if not parent.is_dir():
        raise ValueError(f"the output folder {str(parent)!r} does not exist")
    _check_writable(parent)
    return path


def output_path(out: str | os.PathLike[str]) -> Path:
    """The file that writing to `out` produces (".npz" appended when the name
    lacks it), once its folder is checked: ValueError when the name is empty,
    the folder is missing or a file cannot be made in it (a real file is made
    and removed), or when the path is a folder."""
    name = os.fspath(out)
    if not name.endswith(".npz"):
        name += ".npz"
    path = Path(name)
    folder = path.parent
    if not os.fspath(out):
        raise ValueError("the output path is empty")
    if not folder.is_dir():
        raise ValueError(f"the output folder {str(folder)!r} does not exist")
    if path.is_dir():
        raise ValueError(f"the output path {name!r} is a folder")
    _check_writable(folder)
    return path


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="self_play",
        description="Play self-play games in C++ and write their positions to one .npz file: "
        "compact records by default, the five float32 training arrays with --dense; or, when "
        "--out names a folder, to a folder of shards written as the games are played.")
    parser.add_argument("--games", type=_ranged(1, MAX_GAMES, "games"), default=10000, metavar="N",
                        help=f"games to play, 1 to {MAX_GAMES} (default 10000)")
    parser.add_argument("--width", type=any_whole, default=7, help="board columns, 4 to 32 (default 7)")
    parser.add_argument("--height", type=any_whole, default=6, help="board rows, 4 to 32 (default 6)")
    parser.add_argument("--out", type=_not_empty, default="selfplay.npz", metavar="PATH",
                        help="output file, '.npz' appended when missing (default selfplay.npz); a folder "
                        "(an existing one, or a name ending in '/') gets the run as shards with a manifest")
    parser.add_argument("--seed", type=_ranged(0, MAX_SEED, "seed"), default=0,
                        help=f"base seed, 0 to {MAX_SEED} (default 0)")
    parser.add_argument("--threads", type=_ranged(1, MAX_THREADS, "threads"), default=1, metavar="N",
                        help=f"threads that play games, 1 to {MAX_THREADS} (default 1; on Ray, per shard); "
                        "the output is the same for any N")
    parser.add_argument("--policy", choices=("tactical", "random", "search"), default="tactical",
                        help="tactical: win, else block, else any column; random: any column; "
                        "search: a tree search with random playouts, written as version 2 records "
                        "(default tactical)")
    parser.add_argument("--simulations", type=_ranged(1, 2**31 - 1, "simulations"), default=200, metavar="N",
                        help="simulations per move of --policy search (default 200)")
    parser.add_argument("--backend", choices=sorted(BACKENDS), default="local",
                        help="where the games are played: in this process, or on a Ray cluster "
                        "(pip install \"drevik_gravline[ray]\") (default local)")
    parser.add_argument("--address", type=_not_empty, metavar="ADDR",
                        help="with --backend ray: the cluster to join (host:port, auto, ray://...); "
                        "without it a local cluster is started for the run")
    parser.add_argument("--shards", type=_ranged(1, MAX_GAMES, "shards"), metavar="N",
                        help=f"with --backend ray and a file for --out: the number of shards, 1 to {MAX_GAMES} "
                        "(default four per CPU of the cluster, each of at least 1000 games)")
    parser.add_argument("--shard-positions", type=_ranged(1, MAX_SHARD_POSITIONS, "shard_positions"),
                        metavar="N",
                        help=f"with a folder for --out: about N positions per shard, 1 to {MAX_SHARD_POSITIONS} "
                        "(default 1048576; each shard holds a fixed number of whole games)")
    parser.add_argument("--resume", action="store_true",
                        help="with a folder for --out: continue the run stopped in it (the same "
                        "arguments); the files end as an uninterrupted run's")
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
    """Parsed and checked arguments: the board size, and the output (as
    `args.path`, the file that will be written, or `args.folder`, the folder
    of shards; the other is None). Errors exit as usage errors."""
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
    for name in ("width", "height"):
        # The engine's own text, also for sizes past any machine word.
        if not 4 <= getattr(args, name) <= 32:
            parser.error(f"Board {name} must be between 4 and 32")
    import drevik_gravline as gl

    try:
        gl.Game(args.width, args.height)
    except (ValueError, OverflowError) as exc:
        parser.error(str(exc))
    args.folder = None
    args.path = None
    try:
        if is_folder_output(args.out):
            args.folder = output_folder(args.out)
        else:
            args.path = output_path(args.out)
    except ValueError as exc:
        parser.error(str(exc))
    if args.folder is None:
        for flag, given in (("--resume", args.resume), ("--shard-positions", args.shard_positions is not None)):
            if given:
                parser.error(f"{flag} applies to a folder of shards: give --out a folder (a name ending in '/')")
        # Held whole in memory until it is written: refuse what cannot fit.
        need = _memory_needed(args)
        if need > _physical_memory():
            parser.error(f"{args.games} games need about {need / 1e9:,.0f} GB of memory to be written as one "
                         f"file, more than this machine has ({_physical_memory() / 1e9:,.0f} GB); write them "
                         "to a folder of shards instead (--out a name ending in '/')")
    else:
        if args.policy == "search":
            parser.error("--policy search writes one file: give --out a file name")
        if args.dense:
            parser.error("--dense writes one file: give --out a file name")
        if args.compress:
            parser.error("--compress applies to one file: shards are stored uncompressed, to be memory-mapped")
        if args.shards is not None:
            parser.error("--shards applies to a file for --out; a folder is cut by --shard-positions")
    return args


def _memory_needed(args: argparse.Namespace) -> int:
    """Bytes that a run of `args` held in memory needs at its peak: its records
    (the mean length of its own first games times the games), twice over for
    a records file, whose fields are copied as it is written."""
    import drevik_gravline_batch as gb

    # A searching player's games run about as long as the tactical policy's.
    policy: Literal["tactical", "random"] = "random" if args.policy == "random" else "tactical"
    sample = gb.self_play(min(args.games, _SAMPLE_GAMES), args.width, args.height, policy=policy, seed=args.seed)
    per_record = 16 * ((args.width * args.height + 63) // 64) + 26 + (2 * args.width + 4 if args.policy == "search" else 0)
    positions = len(sample) / max(1, min(args.games, _SAMPLE_GAMES)) * args.games
    return int(positions * per_record * (1 if args.dense else 2))


def _physical_memory() -> int:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        return 2**63


# ---- writing ----

def write_records(records: Records, path: Path, compressed: bool = False) -> Path:
    """Writes the compact records to exactly `path` (a name ending in ".npz"),
    atomically; returns `path`."""
    with replaced_atomically(path, ".tmp.npz") as temp:
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
    with replaced_atomically(path, ".tmp.npz") as temp, zipfile.ZipFile(temp, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as zf:
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


def generate_to_folder(args: argparse.Namespace, progress: Progress | None = None) -> dict[str, Any]:
    """The games of `args` written to the folder `args.folder` as shards, on the
    backend it names; returns the run's manifest."""
    if getattr(args, "backend", "local") == "ray":
        from drevik_gravline_tools.ray_runner import self_play_ray_to_folder

        return self_play_ray_to_folder(args.folder, args.games, args.width, args.height, policy=args.policy,
                                       seed=args.seed, address=args.address, threads_per_shard=args.threads,
                                       shard_positions=args.shard_positions, resume=args.resume,
                                       progress=progress)
    from drevik_gravline_tools.shards import self_play_to_folder

    return self_play_to_folder(args.folder, args.games, args.width, args.height, policy=args.policy,
                               seed=args.seed, threads=args.threads, shard_positions=args.shard_positions,
                               resume=args.resume, progress=progress)


def _main_folder(args: argparse.Namespace) -> int:
    prog = build_parser().prog
    try:
        with _progress_bar(args.games, not args.no_progress) as progress:
            start = time.perf_counter()
            manifest = generate_to_folder(args, progress)
            elapsed = time.perf_counter() - start
    except KeyboardInterrupt:
        print(f"interrupted: the complete shards are kept in {args.folder}; --resume continues the run",
              file=sys.stderr)
        return 130
    except (FileExistsError, ValueError) as exc:
        # A folder that holds another run, a resume of a different one, or a
        # cluster without the CPUs a shard asks for.
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except (ShardError, ConnectionError, OSError) as exc:
        print(f"{prog}: error: {exc} (the complete shards are kept; --resume continues the run)",
              file=sys.stderr)
        return 1
    positions = sum(e["records"] for e in manifest["shards"])
    size = sum(e["bytes"] for e in manifest["shards"])
    seconds = max(elapsed, 1e-9)
    print(f"{args.games} games on {args.width}x{args.height}, {positions} positions in {elapsed:.2f} s: "
          f"{args.games / seconds:,.0f} games/s, {positions / seconds:,.0f} positions/s")
    print(f"wrote {args.folder}{os.sep} ({_megabytes(size)}): {len(manifest['shards'])} shards of "
          f"{manifest['shard_games']} games, {positions} compact records, manifest.json")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if args.folder is not None:
        return _main_folder(args)
    try:
        # The run's first line, on stderr with the progress bar: the games
        # start now, and from here on Ctrl-C leaves no file behind.
        print(f"playing {args.games} games on {args.width}x{args.height}", file=sys.stderr, flush=True)
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
    except ClusterTooSmall as exc:
        print(f"{build_parser().prog}: error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        # The folder was writable when checked; a full disk or a folder taken
        # away since is reported in one line.
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
