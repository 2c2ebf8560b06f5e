"""Self-play training data: plays games with a simple tactical policy and writes
every position's input planes and targets, doubled with their mirror images, to
one .npz file.

    python examples/self_play.py --games 200 --width 7 --height 6 \\
        --out selfplay.npz --seed 0 --workers 1

The policy, for the side to move: if some drops win at once, pick one of them;
otherwise, if the opponent could win at once by dropping in some column, pick
one of those columns (a block); otherwise pick any legal column. Each pick is
uniform over its set. A stronger player (a search, a network) replaces
`candidate_actions`; nothing else depends on how moves are chosen.

Arrays in the file, one row per sample (N positions, then their N mirrors):

    states                 (2N, 17, H, W)  the input planes of the position
    policies               (2N, W)         the policy target: the distribution the
                                           move was drawn from, 1/k on each of the
                                           k candidate columns, 0 elsewhere
    values                 (2N,)           the final result from the mover's
                                           side: 1 won, -1 lost, 0 drawn
    opponent_policies      (2N, W)         the policy target of the next position
                                           (the opponent's reply); zeros at the
                                           last position of a game
    opponent_policy_masks  (2N,)           1 where opponent_policies is a target,
                                           0 at the last position of a game

All float32. With --no-mirror the file holds the N positions only, for
pipelines that mirror samples themselves.

Game i is played from a seed derived from (--seed, i) alone, and games are
stored in index order, so a seed gives the same arrays for any --workers, and
the first k games of a longer run are those of a k-game run. The policy treats
columns alike, so a mirrored sample is a sample of the same policy playing the
mirrored game.
"""

from __future__ import annotations

import argparse
import multiprocessing
import random
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final, Literal, TypedDict, get_args

import numpy as np
from numpy.typing import NDArray
from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

import drevik_gravline as gl

F32 = NDArray[np.float32]


class Batch(TypedDict):
    """A training batch as written to the file, one row per sample."""

    states: F32
    policies: F32
    values: F32
    opponent_policies: F32
    opponent_policy_masks: F32


BatchField = Literal["states", "policies", "values", "opponent_policies", "opponent_policy_masks"]
BATCH_FIELDS: Final[tuple[BatchField, ...]] = get_args(BatchField)


@dataclass
class GameRecord:
    """One played game: the columns played, and a sample per position before a move."""

    actions: list[int]
    batch: Batch


def _wins_now(game: gl.Game, action: int) -> bool:
    """Whether the side to move wins by dropping in `action` (a legal column)."""
    mover = game.turn()
    game.apply_action(action)
    won = game.reward_from_perspective(mover) > 0.0
    game.unmake_move()
    return won


def candidate_actions(game: gl.Game) -> list[int]:
    """The columns the policy draws from: the winning drops if there are any, else
    the columns where the opponent would win at once, else every legal column."""
    legal = game.legal_action_indices()
    wins = [a for a in legal if _wins_now(game, a)]
    if wins:
        return wins
    threats = []
    for a in legal:
        # The opponent cannot move out of turn, so we drop a probe piece in some
        # other column first. No drop wins for us here and column `a` still has
        # room, so the game goes on, and `a` lands on the same cell as it would
        # now. A four through that cell is made of the opponent's pieces already
        # on the board, and the probe is ours, so the answer is the same as if
        # the opponent moved now.
        probe = next((b for b in legal if b != a), None)
        if probe is None:
            break
        game.apply_action(probe)
        if _wins_now(game, a):
            threats.append(a)
        game.unmake_move()
    return threats or legal


def game_rng(seed: int, index: int) -> random.Random:
    """The generator of game `index`, fixed by the base seed and the index alone."""
    state = np.random.SeedSequence(seed, spawn_key=(index,)).generate_state(4)
    return random.Random(int.from_bytes(state.tobytes(), "little"))


def play_game(width: int, height: int, seed: int, index: int) -> GameRecord:
    """Plays game `index` to the end and records every position before a move."""
    rng = game_rng(seed, index)
    game = gl.Game(width, height)
    planes: list[F32] = []
    policies: list[F32] = []
    movers: list[int] = []
    actions: list[int] = []
    while not game.is_over():
        flat, count, rows, cols = game.encode_spatial_planes()
        planes.append(np.array(flat, dtype=np.float32).reshape(count, rows, cols))
        candidates = candidate_actions(game)
        policy = np.zeros(width, dtype=np.float32)
        policy[candidates] = 1.0 / len(candidates)
        policies.append(policy)
        movers.append(game.turn())
        action = rng.choice(candidates)
        actions.append(action)
        game.apply_action(action)

    n = len(actions)
    stacked = np.stack(policies)
    opponent = np.zeros_like(stacked)
    opponent[:-1] = stacked[1:]
    masks = np.ones(n, dtype=np.float32)
    masks[-1] = 0.0
    values = np.array([game.reward_from_perspective(m) for m in movers], dtype=np.float32)
    return GameRecord(
        actions,
        Batch(
            states=np.stack(planes),
            policies=stacked,
            values=values,
            opponent_policies=opponent,
            opponent_policy_masks=masks,
        ),
    )


def _play_job(job: tuple[int, int, int, int]) -> GameRecord:
    return play_game(*job)


def play_games(
    games: int, width: int, height: int, seed: int, workers: int = 1, progress: bool = False
) -> list[GameRecord]:
    """Plays games 0 .. games-1, on `workers` processes, and returns them in index order."""
    jobs = [(width, height, seed, i) for i in range(games)]
    with tqdm(total=games, unit="game", disable=not progress, file=sys.stderr) as bar:
        if workers == 1:
            records = []
            for job in jobs:
                records.append(_play_job(job))
                bar.update()
            return records
        # imap keeps the job order whichever worker finishes first.
        chunk = max(1, games // (workers * 16))
        with multiprocessing.Pool(workers) as pool:
            records = []
            for record in pool.imap(_play_job, jobs, chunksize=chunk):
                records.append(record)
                bar.update()
            return records


def to_batch(records: Sequence[GameRecord]) -> Batch:
    """The positions of one or more records as one training batch, in record order."""

    def join(name: BatchField) -> F32:
        return np.concatenate([r.batch[name] for r in records])

    return Batch(
        states=join("states"),
        policies=join("policies"),
        values=join("values"),
        opponent_policies=join("opponent_policies"),
        opponent_policy_masks=join("opponent_policy_masks"),
    )


def mirror_batch(batch: Batch) -> Batch:
    """The batch followed by its left-right mirror images."""
    states, policies, values, opponent_policies, masks = gl.augment_symmetries(
        batch["states"],
        batch["policies"],
        batch["values"],
        batch["opponent_policies"],
        batch["opponent_policy_masks"],
    )
    return Batch(
        states=states,
        policies=policies,
        values=values,
        opponent_policies=opponent_policies,
        opponent_policy_masks=masks,
    )


def _board_size(parser: argparse.ArgumentParser, width: int, height: int) -> None:
    try:
        gl.Game(width, height)
    except (ValueError, OverflowError) as exc:
        parser.error(str(exc))


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Play self-play games and write their training samples to an .npz file."
    )
    parser.add_argument("--games", type=_positive, default=200, help="games to play (default 200)")
    parser.add_argument("--width", type=int, default=7, help="board columns, 4 to 32 (default 7)")
    parser.add_argument("--height", type=int, default=6, help="board rows, 4 to 32 (default 6)")
    parser.add_argument("--out", default="selfplay.npz", help="output file (default selfplay.npz)")
    parser.add_argument("--seed", type=_non_negative, default=0, help="base seed (default 0)")
    parser.add_argument(
        "--workers", type=_positive, default=1, help="processes that play games (default 1)"
    )
    parser.add_argument(
        "--no-mirror",
        action="store_true",
        help="write the positions only, without their mirror images",
    )
    parser.add_argument("--no-progress", action="store_true", help="show no progress bar")
    args = parser.parse_args(argv)
    _board_size(parser, args.width, args.height)
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    start = time.perf_counter()
    records = play_games(
        args.games, args.width, args.height, args.seed, args.workers, not args.no_progress
    )
    elapsed = time.perf_counter() - start
    batch = to_batch(records)
    if not args.no_mirror:
        batch = mirror_batch(batch)
    np.savez_compressed(args.out, **batch)

    positions = sum(len(r.actions) for r in records)
    seconds = max(elapsed, 1e-9)
    print(
        f"{args.games} games on {args.width}x{args.height}, {positions} positions"
        f" in {elapsed:.2f} s with {args.workers} worker(s):"
        f" {args.games / seconds:.1f} games/s, {positions / seconds:.1f} positions/s"
    )
    print(f"wrote {args.out}:")
    for name in BATCH_FIELDS:
        print(f"  {name:<22} {batch[name].shape} {batch[name].dtype}")

if __name__ == "__main__":
    main()
