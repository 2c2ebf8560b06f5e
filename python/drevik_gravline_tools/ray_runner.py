"""Self-play spread over a Ray cluster: the run is cut into shards of consecutive
games, each shard is one Ray task running the C++ generator, and the shards'
records come back through the object store and are joined in game order.

Ray is imported only when a run asks for it, so the modules and this package
work without it; `pip install "drevik_gravline[ray]"` adds it.
"""

from __future__ import annotations

import importlib
import operator
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, cast

if TYPE_CHECKING:
    from drevik_gravline_batch import Records

MISSING_RAY = ("the Ray backend needs Ray, which is not installed: "
               "pip install \"drevik_gravline[ray]\" (or pip install \".[ray]\" in a checkout)")

DEFAULT_MAX_RETRIES = 3
# Without a shard count, four shards per CPU slot let a fast worker take on
# more, a retry repeat less, and the caller take in finished shards while the
# others play; a shard costs one to two milliseconds (bench/bench_ray.py), the
# time of a few hundred games, so none is made smaller than a thousand games.
SHARDS_PER_CPU = 4
MIN_DEFAULT_SHARD = 1000

Policy = Literal["tactical", "random"]
ShardFunction = Callable[[int, int, int, Policy, int, int, int], "Records"]


class ShardError(RuntimeError):
    """A shard that failed on every attempt Ray made; the run has no result."""


class ClusterTooSmall(ValueError):
    """A shard asks for more CPUs than any node of the cluster has, so Ray
    could never run it."""


def _check_cpus(ray: Any, threads: int) -> None:
    """ClusterTooSmall unless some live node of the connected cluster has
    `threads` CPUs (a task of num_cpus=threads runs on one node)."""
    most = max((float(n.get("Resources", {}).get("CPU", 0)) for n in ray.nodes() if n.get("Alive")),
               default=0.0)
    if threads > most:
        raise ClusterTooSmall(f"a shard asks for {threads} CPUs (threads per shard), but no node of the "
                              f"cluster has more than {int(most)}: use fewer threads per shard")


def _check_local_cpus(threads: int) -> None:
    """ClusterTooSmall before a local cluster is started for shards that this
    machine's CPUs could never run."""
    try:
        cpus = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cpus = os.cpu_count() or 1
    if threads > cpus:
        raise ClusterTooSmall(f"a shard asks for {threads} CPUs (threads per shard), but this machine's "
                              f"local cluster has {cpus}: use fewer threads per shard")


def import_ray() -> Any:
    """Ray itself, or an ImportError whose one line says how to install it."""
    # Imported by name, so that type checks of this package need no Ray either.
    try:
        return importlib.import_module("ray")
    except ImportError:
        raise ImportError(MISSING_RAY) from None


def shard_ranges(games: int, shards: int) -> list[tuple[int, int]]:
    """Contiguous `(first_game, games)` ranges that cover games 0..games-1 in
    order, sizes differing by at most one, e.g. 7 games in 3 shards are
    (0, 3), (3, 2), (5, 2). Never more shards than games, and always one."""
    shards = max(1, min(shards, games))
    base, extra = divmod(games, shards)
    ranges, first = [], 0
    for i in range(shards):
        count = base + (i < extra)
        ranges.append((first, count))
        first += count
    return ranges


def play_shard(games: int, width: int, height: int, policy: Policy, seed: int, threads: int,
               first_game: int) -> Records:
    """One shard on a worker: games first_game..first_game+games-1 of the run."""
    import drevik_gravline_batch

    return drevik_gravline_batch.self_play(games, width, height, policy=policy, seed=seed,
                                           threads=threads, first_game=first_game)


def _count(name: str, value: SupportsIndex, least: int) -> int:
    number = operator.index(value)
    if number < least:
        raise ValueError(f"{name} must be at least {least}, not {number}")
    return number


def self_play_ray(games: int, width: int, height: int, *, policy: Policy = "tactical",
                  seed: int = 0, shards: int | None = None, address: str | None = None,
                  threads_per_shard: int = 1, progress: Callable[[int], object] | None = None,
                  max_retries: int = DEFAULT_MAX_RETRIES,
                  _play: ShardFunction | None = None) -> Records:
    """Plays `games` self-play games on a Ray cluster and returns their Records,
    identical to `drevik_gravline_batch.self_play(games, width, height,
    policy=policy, seed=seed)` whatever the shard count or finishing order.

    Without `address` a local cluster is started for the run and stopped
    afterwards; with one ("host:port", "auto", "ray://...") the run joins that
    cluster. A process that is already connected to Ray runs on that
    connection. `shards` defaults to four per CPU slot of the cluster (a slot
    is `threads_per_shard` CPUs), with at least a thousand games in each; there
    is never more than one per game. A shard whose worker dies is run again,
    up to `max_retries` times; one that fails every time raises ShardError.
    `progress`, if given, is called on the calling thread with the number of
    games done each time a shard finishes.
    """
    import drevik_gravline_batch

    games = _count("games", games, 0)
    threads_per_shard = _count("threads_per_shard", threads_per_shard, 1)
    max_retries = _count("max_retries", max_retries, 0)
    if shards is not None:
        shards = _count("shards", shards, 1)
    # Sizes, policy, seed and the range of game indices are checked here,
    # before any cluster starts.
    drevik_gravline_batch.self_play(0, width, height, policy=policy, seed=seed,
                                    threads=threads_per_shard, first_game=games)

    if games == 0:
        # Nothing to play: no cluster is needed.
        if progress is not None:
            progress(0)
        return drevik_gravline_batch.self_play(0, width, height, policy=policy, seed=seed)

    with _cluster(address, threads_per_shard) as ray:
        if shards is None:
            slots = int(ray.cluster_resources().get("CPU", 0)) // threads_per_shard
            shards = max(1, min(SHARDS_PER_CPU * slots, games // MIN_DEFAULT_SHARD))
        # Looked up at call time: tests put a function of their own here.
        play = _play if _play is not None else play_shard
        return _run(ray, play, shard_ranges(games, shards), width, height, policy, seed,
                    threads_per_shard, max_retries, progress)


@contextmanager
def _cluster(address: str | None, threads: int) -> Iterator[Any]:
    """Ray, connected to the cluster at `address` (a new local one when None,
    or the connection this process already has), with a node that can run a
    shard of `threads` threads. Only a connection made here is closed on
    leaving; a local cluster stops with it."""
    ray = import_ray()
    connected = ray.is_initialized()
    if connected and address is not None:
        raise ValueError("this process is already connected to Ray: leave address out "
                         "to run on that connection")
    if not connected:
        if address is None:
            _check_local_cpus(threads)
        _connect(ray, address)
    try:
        _check_cpus(ray, threads)
        yield ray
    finally:
        if not connected:
            ray.shutdown()


def _connect(ray: Any, address: str | None) -> None:
    import logging

    if address is not None:
        ray.init(address=address, logging_level=logging.WARNING)
    else:
        # A cluster of this machine's CPUs for this run, without the dashboard
        # (a web server the run has no use for).
        ray.init(include_dashboard=False, logging_level=logging.WARNING)


def _run(ray: Any, play: ShardFunction, ranges: list[tuple[int, int]], width: int, height: int,
         policy: Policy, seed: int, threads: int, max_retries: int,
         progress: Callable[[int], object] | None) -> Records:
    import drevik_gravline_batch

    task = ray.remote(num_cpus=threads, max_retries=max_retries)(play)
    refs = [task.options(name=f"self_play {_games(first, count)}").remote(
                count, width, height, policy, seed, threads, first)
            for first, count in ranges]
    slot = {ref: i for i, ref in enumerate(refs)}
    parts: list[Records | None] = [None] * len(refs)

    def take(ref: Any, part: Records) -> None:
        parts[slot[ref]] = part

    _collect(ray, dict(zip(refs, ranges)), max_retries, 0, progress, take)
    # Every slot is filled once every shard came back.
    return drevik_gravline_batch.Records.concat(cast("list[Records]", parts))


def _collect(ray: Any, shards: dict[Any, tuple[int, int]], max_retries: int, done: int,
             progress: Callable[[int], object] | None, take: Callable[[Any, Any], None]) -> None:
    """Waits for the shard tasks (refs to their (first, count) of games), giving
    each result to take(ref, result) as it comes back and the games done so
    far (from `done`) to progress. On any exception, the shard's own or an
    interruption, the remaining shards are called off rather than left running
    on the cluster: nothing of a failed run is used."""
    pending = list(shards)
    try:
        while pending:
            ready, pending = ray.wait(pending, num_returns=1)
            for ref in ready:
                take(ref, _fetch(ray, ref, shards[ref], max_retries))
                done += shards[ref][1]
                if progress is not None:
                    progress(done)
    except BaseException:
        for ref in pending:
            ray.cancel(ref)
        raise


def _games(first: int, count: int) -> str:
    return f"games {first}..{first + count - 1}" if count else "no games"


def _fetch(ray: Any, ref: Any, shard: tuple[int, int], max_retries: int) -> Any:
    """A shard task's result (its records, or its manifest entry when it wrote
    a file), or ShardError saying why there is none."""
    games = _games(*shard)
    try:
        return ray.get(ref)
    except ray.exceptions.RayTaskError as e:
        # The generator raised: it would raise again, so Ray made no retry.
        cause = e.cause if e.cause is not None else e
        raise ShardError(f"self-play shard of {games} failed: "
                         f"{type(cause).__name__}: {cause}") from cause
    except ray.exceptions.RayError as e:
        text = str(e).strip()
        reason = text.splitlines()[0] if text else type(e).__name__
        raise ShardError(f"self-play shard of {games} failed on each of its "
                         f"{max_retries + 1} attempts; last: {reason}") from e


# ---- runs written to a folder by the workers ----

WriteFunction = Callable[..., "dict[str, Any]"]


def self_play_ray_to_folder(folder: str | os.PathLike[str], games: int, width: int, height: int, *,
                            policy: Policy = "tactical", seed: int = 0, address: str | None = None,
                            threads_per_shard: int = 1, shard_positions: int | None = None,
                            shard_games: int | None = None, resume: bool = False,
                            progress: Callable[[int], object] | None = None,
                            max_retries: int = DEFAULT_MAX_RETRIES,
                            _write: WriteFunction | None = None) -> dict[str, Any]:
    """`shards.self_play_to_folder` on a Ray cluster: each shard is a task that
    plays its games and writes its own file into `folder` (which every node
    must see, as one shared filesystem), and only its manifest entry comes
    back; the caller adds each to the manifest as it arrives. The files are
    those of the single-process run. A worker that dies mid-shard leaves at
    most a temporary file, removed at the end, and its shard is run again (up
    to `max_retries` times); a shard that fails every time raises ShardError,
    and the complete shards stay for a resume. Returns the manifest."""
    from drevik_gravline_tools import shards as sh

    threads_per_shard = _count("threads_per_shard", threads_per_shard, 1)
    max_retries = _count("max_retries", max_retries, 0)
    path, manifest, todo = sh.prepare_run(folder, games, width, height, policy=policy, seed=seed,
                                          threads=threads_per_shard, shard_positions=shard_positions,
                                          shard_games=shard_games, resume=resume)
    done = games - sum(count for _, _, count in todo)
    if not todo:
        return sh.finish_run(path, manifest)

    # The cluster is left (and a local one stopped) before the temporary files
    # of cancelled or failed shards are removed, so that no worker writes one after.
    try:
        with _cluster(address, threads_per_shard) as ray:
            write = _write if _write is not None else sh.play_shard_to_folder
            task = ray.remote(num_cpus=threads_per_shard, max_retries=max_retries)(write)
            refs = [task.options(name=f"self_play {_games(first, count)} to {path}").remote(
                        os.fspath(path), index, first, count, width, height, policy, seed, threads_per_shard)
                    for index, first, count in todo]

            def take(ref: Any, entry: dict[str, Any]) -> None:
                manifest["shards"].append(entry)
                sh.write_manifest(path, manifest)

            _collect(ray, {ref: (first, count) for ref, (_, first, count) in zip(refs, todo)}, max_retries, done,
                     progress, take)
    finally:
        sh.remove_temporaries(path)
    return sh.finish_run(path, manifest)
