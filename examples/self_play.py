"""Bring your own policy: self-play on GameBatch, with the moves chosen by a
policy computed in NumPy from the planes of the whole batch, once per ply, as a
network would be called. Writes the five training arrays to one .npz file.

    python examples/self_play.py --games 256 --batch 128 --width 7 --height 6 \\
        --out example.npz --seed 0

The policy here is a small two-layer network with fixed random weights: the 17
input planes of every game go through one matrix product, a tanh and another
product, and a softmax over each game's legal columns gives the distribution
its move is drawn from. A trained network replaces `TinyNetwork`; the loop
around it stays as it is. (For the built-in tactical or random policies at full
speed, use the main job, `./scripts/self_play.sh`, which runs in C++.)

Arrays in the file, one row per sample (N positions, then their N mirrors):

    states                 (2N, 17, H, W)  the input planes of the position
    policies               (2N, W)         the policy target: the distribution the
                                           move was drawn from
    values                 (2N,)           the final result from the mover's
                                           side: 1 won, -1 lost, 0 drawn
    opponent_policies      (2N, W)         the policy target of the next position
                                           (the opponent's reply); zeros at the
                                           last position of a game
    opponent_policy_masks  (2N,)           1 where opponent_policies is a target,
                                           0 at the last position of a game

All float32, positions of game 0 first, then game 1 and so on, each game's in
the order played. With --no-mirror the file holds the N positions only. A seed
and a batch size give the same file every time: each game's moves are drawn with
numbers fixed by (seed, game, ply), though the network's float32 arithmetic may
round differently for another batch size.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Final, Literal, TypedDict, get_args

import numpy as np
from numpy.typing import NDArray

import drevik_gravline as gl
from drevik_gravline_batch import GameBatch

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


class TinyNetwork:
    """A policy network with fixed random weights: planes -> hidden tanh layer
    -> one logit per column, softmax over the legal columns."""

    def __init__(self, width: int, height: int, hidden: int = 64, seed: int = 0) -> None:
        rng = np.random.default_rng(seed)
        inputs = gl.SPATIAL_INPUT_PLANES * width * height
        self.w1 = (rng.standard_normal((inputs, hidden)) / np.sqrt(inputs)).astype(np.float32)
        self.w2 = (rng.standard_normal((hidden, width)) / np.sqrt(hidden)).astype(np.float32)

    def __call__(self, planes: F32, legal: NDArray[np.bool_]) -> F32:
        """The move distribution of each game: (B, 17, H, W) planes and a (B, W)
        legal mask give (B, W) probabilities, zero on illegal columns."""
        hidden = np.tanh(planes.reshape(len(planes), -1) @ self.w1)
        logits = hidden @ self.w2
        logits = np.where(legal, logits, -np.inf)
        logits -= logits.max(axis=1, keepdims=True)
        p = np.exp(logits)
        probabilities: F32 = (p / p.sum(axis=1, keepdims=True)).astype(np.float32)
        return probabilities


@dataclass
class Played:
    """The samples of some games, ordered by game, then ply, with the columns played."""

    games: NDArray[np.int64]
    actions: NDArray[np.int64]
    batch: Batch


def uniforms(seed: int, games: NDArray[np.int64], ply: int) -> NDArray[np.float64]:
    """One number in [0, 1) per game for this ply, fixed by (seed, game, ply)
    alone (SplitMix64's mixing on 64-bit words), so a game's moves do not
    depend on which other games share its batch."""
    with np.errstate(over="ignore"):
        z = (games.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
             + np.uint64(ply) * np.uint64(0xBF58476D1CE4E5B9) + np.uint64(seed % 2**64))
        for shift, factor in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            z = (z ^ (z >> np.uint64(shift))) * np.uint64(factor)
        z ^= z >> np.uint64(31)
    return (z >> np.uint64(11)).astype(np.float64) / 2.0**53


def sample_columns(policy: F32, u: NDArray[np.float64]) -> NDArray[np.int64]:
    """One column per row, drawn from the row's distribution by its number u."""
    cumulative = np.cumsum(policy, axis=1, dtype=np.float64)
    columns = (cumulative <= u[:, None] * cumulative[:, -1:]).sum(axis=1)
    # Rounding at the top edge stays on the last column with any probability.
    last = policy.shape[1] - 1 - np.argmax(policy[:, ::-1] > 0, axis=1)
    chosen: NDArray[np.int64] = np.minimum(columns, last).astype(np.int64)
    return chosen


def play_batch(net: TinyNetwork, first: int, count: int, width: int, height: int, seed: int) -> Played:
    """Plays games first .. first + count - 1 side by side to their ends. Game i
    draws its moves from its own generator, seeded by (seed, i), so its moves
    do not depend on the other games of the batch."""
    games = GameBatch(count, width, height)
    planes = np.empty((count, gl.SPATIAL_INPUT_PLANES, height, width), np.float32)
    legal = np.empty((count, width), np.bool_)
    rows: list[tuple[NDArray[np.int64], F32, F32, NDArray[np.int8], NDArray[np.int64]]] = []
    ply = 0
    while not games.is_over().all():
        games.observe(out=planes)
        games.legal_mask(out=legal)
        # A finished game has no legal column: it gets every column, so its
        # softmax stays finite, and its row is not used.
        policy = net(planes, legal | ~legal.any(axis=1, keepdims=True))  # one call for the whole batch
        live = np.flatnonzero(~games.is_over())
        actions = np.full(count, -1, np.int64)
        actions[live] = sample_columns(policy[live], uniforms(seed, live + first, ply))
        rows.append((live, planes[live].copy(), policy[live], games.turns()[live], actions[live]))
        games.step(actions)
        ply += 1

    game_of = np.concatenate([r[0] for r in rows])
    ply_of = np.concatenate([np.full(len(r[0]), k) for k, r in enumerate(rows)])
    order = np.lexsort((ply_of, game_of))  # by game, then ply
    game_of = game_of[order]
    states = np.concatenate([r[1] for r in rows])[order]
    policies = np.concatenate([r[2] for r in rows])[order]
    movers = np.concatenate([r[3] for r in rows])[order]
    actions_of = np.concatenate([r[4] for r in rows])[order]

    values = (games.winners()[game_of] * movers).astype(np.float32)
    same_game_next = np.zeros(len(order), np.bool_)
    same_game_next[:-1] = game_of[1:] == game_of[:-1]
    opponent = np.zeros_like(policies)
    opponent[:-1][same_game_next[:-1]] = policies[1:][same_game_next[:-1]]
    return Played(
        games=game_of + first,
        actions=actions_of,
        batch=Batch(states=states, policies=policies, values=values, opponent_policies=opponent,
                    opponent_policy_masks=same_game_next.astype(np.float32)),
    )


def play_games(games: int, width: int, height: int, seed: int, batch: int = 128, hidden: int = 64) -> Played:
    """Games 0 .. games-1 in batches of `batch`, their samples in game order."""
    net = TinyNetwork(width, height, hidden, seed)
    parts = [play_batch(net, first, min(batch, games - first), width, height, seed)
             for first in range(0, games, batch)]
    return Played(
        games=np.concatenate([p.games for p in parts]),
        actions=np.concatenate([p.actions for p in parts]),
        batch=Batch(
            states=np.concatenate([p.batch["states"] for p in parts]),
            policies=np.concatenate([p.batch["policies"] for p in parts]),
            values=np.concatenate([p.batch["values"] for p in parts]),
            opponent_policies=np.concatenate([p.batch["opponent_policies"] for p in parts]),
            opponent_policy_masks=np.concatenate([p.batch["opponent_policy_masks"] for p in parts]),
        ),
    )


def mirror_batch(batch: Batch) -> Batch:
    """The batch followed by its left-right mirror images."""
    out = gl.augment_symmetries(*(batch[f] for f in BATCH_FIELDS))
    return Batch(states=out[0], policies=out[1], values=out[2], opponent_policies=out[3],
                 opponent_policy_masks=out[4])


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description="Self-play on GameBatch with a NumPy policy network; writes the training arrays "
        "to an .npz file.")
    parser.add_argument("--games", type=_positive, default=256, help="games to play (default 256)")
    parser.add_argument("--batch", type=_positive, default=128, help="games played side by side (default 128)")
    parser.add_argument("--width", type=int, default=7, help="board columns, 4 to 32 (default 7)")
    parser.add_argument("--height", type=int, default=6, help="board rows, 4 to 32 (default 6)")
    parser.add_argument("--hidden", type=_positive, default=64, help="hidden units of the network (default 64)")
    parser.add_argument("--out", default="example.npz", help="output file (default example.npz)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the weights and the moves (default 0)")
    parser.add_argument("--no-mirror", action="store_true", help="write the positions only, without mirrors")
    args = parser.parse_args(argv)
    try:
        gl.Game(args.width, args.height)
    except (ValueError, OverflowError) as exc:
        parser.error(str(exc))
    return args


def main(argv: Sequence[str] | None = None) -> None:
    args = parse_args(argv)
    start = time.perf_counter()
    played = play_games(args.games, args.width, args.height, args.seed, args.batch, args.hidden)
    elapsed = max(time.perf_counter() - start, 1e-9)
    batch = played.batch if args.no_mirror else mirror_batch(played.batch)
    np.savez_compressed(args.out, **batch)
    positions = len(played.games)
    print(f"{args.games} games on {args.width}x{args.height}, {positions} positions in {elapsed:.2f} s:"
          f" {args.games / elapsed:.1f} games/s, {positions / elapsed:.1f} positions/s")
    print(f"wrote {args.out if args.out.endswith('.npz') else args.out + '.npz'}:")
    for name in BATCH_FIELDS:
        print(f"  {name:<22} {batch[name].shape} {batch[name].dtype}")


if __name__ == "__main__":
    main()
