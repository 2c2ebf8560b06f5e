"""gravline-show: one game of a self-play file, as text or as an SVG strip.

    gravline-show FILE                   what the file holds, game by game
    gravline-show FILE --game N          game N, position by position, as text
    gravline-show FILE --game N --svg OUT.svg
                                         game N as one SVG: a small board per ply

FILE is either the compact records file that `Records.save` writes (each record
names its game, ply and action; a game's records must be plies 0, 1, ... and
each must hold the position its game's earlier actions lead to), or the dense
.npz of the self-play example: the arrays states (N, 17, H, W), policies (N, W),
values (N,), opponent_policies (N, W) and opponent_policy_masks (N,), float32.

A dense file stores positions, not games, so its games are rebuilt:

- When the second half of the rows is the left-right mirror of the first half
  (states, policies and opponent policies flipped, the rest equal), it holds the
  mirror images the example appends, and only the first half is read.
- A row starts a new game when its board is empty. Any other row must be the
  previous row's position after one more move: exactly one new piece, of the
  side that was to move, on top of its column, with the other side to move now.
  The column of that piece is the move played from the previous row. A row that
  is neither is refused: the file is not a self-play file.
- The move played from a game's last row is not stored. It is the legal column
  whose drop gives the stored value (a win for value 1, a full board for 0),
  preferring columns the policy target names; when several remain, the one with
  the largest target (then the lowest) is shown and the text says which others
  were possible.

Errors (the file cannot be read or is not a self-play file, the game index is
out of range) are one line on stderr, and the exit status is 2.
"""

from __future__ import annotations

import argparse
import sys
import zipfile
import zlib
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any
from xml.sax.saxutils import escape

import drevik_gravline as dg

PROG = "gravline-show"
DENSE_FIELDS = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")
PLANES = 17

# The colours of the notebook drawings (Game._repr_svg_).
RED, YELLOW, HOLE, FRAME, INK = "#d7263d", "#f6c90e", "#f4f6fa", "#1b4f9c", "#222222"
BAR, TRACK = "#7d8894", "#eef0f3"  # a policy bar, and the full height (target 1) behind it


class Refused(Exception):
    """A one-line reason the command cannot go on; exit status 2."""


@dataclass
class Ply:
    """One position of a game: the move played from it and the targets stored with it."""

    move: int
    policy: list[float]
    value: float
    # Other columns that fit the file when the move was inferred (a dense file's last row).
    also_possible: list[int] = field(default_factory=list)


@dataclass
class SelfPlayFile:
    kind: str  # "compact" or "dense"
    width: int
    height: int
    games: list[int]  # the game indices present, ascending: 0, 1, ... in a dense file
    positions: int
    load_game: Any  # index -> list[Ply]


# ---- reading files ----

def _numpy() -> Any:
    try:
        import numpy as np
    except ImportError:
        raise Refused("NumPy is needed to read self-play files (pip install numpy)") from None
    return np


def open_file(path: str) -> SelfPlayFile:
    """The games of a compact or dense self-play file; Refused when it is neither."""
    np = _numpy()
    try:
        with open(path, "rb") as raw:
            magic = raw.read(4)
        if magic != b"PK\x03\x04":
            what = "a single .npy array" if magic == b"\x93NUM" else "not an .npz archive"
            raise Refused(f"{path} is not a self-play file: {what}")
        z = np.load(path, allow_pickle=False)
        if not isinstance(z, np.lib.npyio.NpzFile):
            raise Refused(f"{path} is not a self-play file: not an .npz archive")
        with z:
            if set(DENSE_FIELDS) <= set(z.files):
                return _open_dense(path, {n: z[n] for n in DENSE_FIELDS})
    except Refused:
        raise
    except FileNotFoundError:
        raise Refused(f"{path}: no such file") from None
    except MemoryError:
        raise Refused(f"{path}: not enough memory to read it") from None
    except (OSError, ValueError, EOFError, KeyError, zipfile.BadZipFile, zlib.error) as exc:
        raise Refused(f"{path} is not a self-play file: {_first_line(exc)}") from None
    return _open_compact(path)


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


def _open_compact(path: str) -> SelfPlayFile:
    try:
        from drevik_gravline_batch import Records  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise Refused(f"{path} is not a self-play file: not dense, and compact records need "
                      "drevik_gravline_batch.Records, which this installation lacks") from None
    try:
        records = Records.load(path)
    except MemoryError:
        raise Refused(f"{path}: not enough memory to read it") from None
    except (OSError, ValueError) as exc:
        raise Refused(f"{path} is not a self-play file: {_first_line(exc)}") from None
    np = _numpy()
    fields = records.arrays()
    game_of, ply_of = fields["game"], fields["ply"]
    width, height = int(records.width()), int(records.height())
    # Indices as the generator numbered them; a run from first_game > 0 starts there.
    games = [int(g) for g in np.unique(game_of)]

    red = fields["red"].reshape(len(game_of), -1)
    yellow = fields["yellow"].reshape(len(game_of), -1)

    def load_game(index: int) -> list[Ply]:
        rows = np.flatnonzero(game_of == index)
        rows = rows[np.argsort(ply_of[rows], kind="stable")]
        if not np.array_equal(ply_of[rows], np.arange(len(rows))):
            raise Refused(f"{path}: the records of game {index} are not plies 0 to {len(rows) - 1}")
        policies = records.expand(rows)["policies"]
        # Each record must be the position its game's earlier actions lead to.
        game = dg.Game(width, height)
        plies = []
        for i, r in enumerate(rows):
            if _bits(game, 1) != _words_int(red[r]) or _bits(game, -1) != _words_int(yellow[r]):
                raise Refused(f"{path}: record {r} (game {index}, ply {i}) is not the position "
                              "its game's earlier moves lead to")
            move = int(fields["action"][r])
            if not game.apply_action(move):
                raise Refused(f"{path}: record {r} (game {index}, ply {i}) plays the illegal column {move}")
            plies.append(Ply(move, [float(p) for p in policies[i]], float(fields["value"][r])))
        return plies

    return SelfPlayFile("compact", width, height, games, len(game_of), load_game)


def _bits(game: dg.Game, player: int) -> int:
    """The cells of `player` as one integer, bit row * width + col."""
    w, h = game.width(), game.height()
    return sum(1 << (r * w + c) for r in range(h) for c in range(w) if game.get_piece(c, r) == player)


def _words_int(words: Any) -> int:
    """Little-endian 64-bit words as one integer."""
    return sum(int(x) << (64 * i) for i, x in enumerate(words))


def _open_dense(path: str, a: dict[str, Any]) -> SelfPlayFile:
    np = _numpy()
    states = a["states"]

    def refuse(why: str) -> Refused:
        return Refused(f"{path} is not a self-play file: {why}")

    # Only numbers can be planes and targets: strings, dates, structures and
    # raw bytes are refused before any arithmetic meets them.
    for name in DENSE_FIELDS:
        if a[name].dtype.kind not in "biuf":
            raise refuse(f"{name} holds {a[name].dtype.str} values, not numbers")
    if states.ndim != 4 or states.shape[1] != PLANES:
        raise refuse(f"states has shape {states.shape}, not (N, {PLANES}, H, W)")
    n, _, height, width = states.shape
    try:
        dg.Board(width, height)
    except (ValueError, OverflowError) as exc:
        raise refuse(str(exc)) from None
    shapes = {"policies": (n, width), "values": (n,), "opponent_policies": (n, width),
              "opponent_policy_masks": (n,)}
    for name, shape in shapes.items():
        if a[name].shape != shape:
            raise refuse(f"{name} has shape {a[name].shape}, not {shape}")
    if n and _is_mirrored(np, a):
        n //= 2
        a = {name: v[:n] for name, v in a.items()}
        states = a["states"]

    mine, theirs, side = states[:, 0], states[:, 1], states[:, 16]
    for plane in (mine, theirs, side):
        if not np.isin(plane, (0.0, 1.0)).all():
            raise refuse("the input planes hold values other than 0 and 1")
    if (mine * theirs).any():
        raise refuse("a cell holds both colours")
    red_to_move = side[:, 0, 0] == 1.0
    if not (side == red_to_move[:, None, None]).all():
        raise refuse("the side-to-move plane is not constant")
    red = np.where(red_to_move[:, None, None], mine, theirs).astype(bool)
    yellow = np.where(red_to_move[:, None, None], theirs, mine).astype(bool)
    pieces = (red | yellow).sum(axis=(1, 2))
    starts = np.flatnonzero(pieces == 0)
    if n and (not len(starts) or starts[0] != 0):
        raise refuse("row 0 is not the start of a game (its board is not empty)")
    if not red_to_move[starts].all():
        raise refuse("a game starts with Yellow to move")

    # Row i + 1 continues row i's game: one new piece, of row i's mover, the turn passed.
    added_red = red[1:] & ~red[:-1]
    added_yellow = yellow[1:] & ~yellow[:-1]
    kept = ((red[:-1] <= red[1:]) & (yellow[:-1] <= yellow[1:])).all(axis=(1, 2))
    mover_red = red_to_move[:-1]
    added_own = np.where(mover_red[:, None, None], added_red, added_yellow)
    added_other = np.where(mover_red[:, None, None], added_yellow, added_red)
    follows = (kept & (added_own.sum(axis=(1, 2)) == 1) & ~added_other.any(axis=(1, 2))
               & (red_to_move[1:] != mover_red))
    bad = np.flatnonzero(~follows & (pieces[1:] != 0))
    if len(bad):
        i = int(bad[0]) + 1
        raise refuse(f"row {i} neither starts a game nor follows row {i - 1} by one move")
    columns = added_own.any(axis=1).argmax(axis=1)  # the column of the new piece
    bounds = list(starts) + [n]
    values, policies = a["values"], a["policies"]

    def load_game(index: int) -> list[Ply]:
        first, end = int(bounds[index]), int(bounds[index + 1])
        game = dg.Game(width, height)
        plies = []
        for row in range(first, end):
            others: list[int]
            policy = [float(p) for p in policies[row]]
            value = float(values[row])
            if row + 1 < end:
                move, others = int(columns[row]), []
            else:
                move, others = _last_move(game, policy, value, lambda why: refuse(f"row {row}: {why}"))
            if not game.apply_action(move) or not _same_board(game, red, yellow, row + 1, end):
                raise refuse(f"row {row + 1}: the new piece is not on top of its column")
            plies.append(Ply(move, policy, value, others))
        return plies

    return SelfPlayFile("dense", width, height, list(range(len(starts))), n, load_game)


def _is_mirrored(np: Any, a: dict[str, Any]) -> bool:
    n = len(a["values"])
    if n % 2:
        return False
    h = n // 2
    return bool(np.array_equal(a["states"][h:], a["states"][:h, ..., ::-1])
                and np.array_equal(a["policies"][h:], a["policies"][:h, ::-1])
                and np.array_equal(a["opponent_policies"][h:], a["opponent_policies"][:h, ::-1])
                and np.array_equal(a["values"][h:], a["values"][:h])
                and np.array_equal(a["opponent_policy_masks"][h:], a["opponent_policy_masks"][:h]))


def _same_board(game: dg.Game, red: Any, yellow: Any, row: int, end: int) -> bool:
    """Whether the replayed game shows the stored board of `row` (true past the game's rows)."""
    if row >= end:
        return True
    w, h = game.width(), game.height()
    return all(game.get_piece(c, r) == (1 if red[row, r, c] else -1 if yellow[row, r, c] else None)
               for r in range(h) for c in range(w))


def _last_move(game: dg.Game, policy: list[float], value: float, refuse: Any) -> tuple[int, list[int]]:
    """The move from a game's last stored position that ends it with `value` for
    the mover, and the other columns that would too."""
    if value not in (1.0, 0.0):
        raise refuse(f"the last position of a game has value {value:g}: its mover can only win or draw")
    fits = []
    for col in game.legal_action_indices():
        trial = game.clone()
        trial.apply_action(col)
        outcome = trial.outcome()
        if outcome is not None and (outcome.is_draw() == (value == 0.0)):
            fits.append(col)
    if not fits:
        raise refuse("no move ends the game with its stored value")
    named = [c for c in fits if policy[c] > 0.0] or fits
    move = max(named, key=lambda c: (policy[c], -c))
    return move, [c for c in named if c != move]


# ---- text ----

def _player(p: int) -> str:
    return "Red" if p == 1 else "Yellow"


def _result(game: dg.Game) -> str:
    outcome = game.outcome()
    return str(outcome) if outcome is not None else "not finished"


def game_text(plies: list[Ply], width: int, height: int, index: int) -> str:
    """Each position of the game, top row first, with the move played from it,
    its policy target and its value, then the final position."""
    game = dg.Game(width, height)
    lines = []
    for k, ply in enumerate(plies):
        mover = game.turn()
        targets = " ".join(f"{c}:{p:.3g}" for c, p in enumerate(ply.policy) if p > 0.0)
        move = f"plays {ply.move}"
        if ply.also_possible:
            move += f" (inferred, {' or '.join(map(str, ply.also_possible))} would fit the file too)"
        lines.append(f"ply {k}: {_player(mover)} {move}; value {ply.value:+g}; "
                     f"policy target {targets or 'none'}")
        lines.append(str(game.board()).rstrip("\n"))
        game.apply_action(ply.move)
    lines.append(f"final, after {len(plies)} moves: {_result(game)}")
    lines.append(str(game.board()).rstrip("\n"))
    head = f"game {index}: {width}x{height}, {len(plies)} moves, {_result(game)}"
    return "\n".join([head, *lines]) + "\n"


# ---- the SVG strip ----

def strip_svg(plies: list[Ply], width: int, height: int, index: int, per_row: int = 10) -> str:
    """The game as one SVG: for each ply a small board with the move played
    drawn as a disc ringed in black, and under each column the policy target of
    the position before the move as a bar (full height for 1, the played
    column's bar black).
    Boards run left to right, `per_row` to a row."""
    cell = max(4, min(16, 128 // width))
    bar_h, label_h, gap = 30, 16, 12
    board_w, board_h = width * cell, height * cell
    slot_w, slot_h = max(board_w, 96) + gap, label_h + board_h + 4 + bar_h + gap
    cols = max(1, min(per_row, len(plies)))
    rows = (len(plies) + cols - 1) // cols
    title_h = 24
    total_w, total_h = gap + cols * slot_w, title_h + rows * slot_h + gap
    game = dg.Game(width, height)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{total_w}" height="{total_h}" '
           f'viewBox="0 0 {total_w} {total_h}" font-family="sans-serif">']
    parts = []
    for k, ply in enumerate(plies):
        x0 = gap + (k % cols) * slot_w
        y0 = title_h + (k // cols) * slot_h
        mover = game.turn()
        colour = RED if mover == 1 else YELLOW
        g = [f'<g class="ply" id="ply-{k}">',
             f'<text x="{x0}" y="{y0 + 11}" font-size="10" fill="{INK}">'
             f'{k}: {_player(mover)} {ply.move}, v {ply.value:+g}</text>']
        by = y0 + label_h
        g.append(f'<rect x="{x0}" y="{by}" width="{board_w}" height="{board_h}" fill="{FRAME}"/>')
        landing = game.board().column_height(ply.move)
        for r in range(height):
            for c in range(width):
                p = game.get_piece(c, r)
                fill = RED if p == 1 else YELLOW if p == -1 else HOLE
                cx, cy = x0 + (c + 0.5) * cell, by + (height - 1 - r + 0.5) * cell
                g.append(f'<circle cx="{cx:g}" cy="{cy:g}" r="{cell * 0.4:g}" fill="{fill}"/>')
                if (c, r) == (ply.move, landing):
                    g.append(f'<circle class="move" cx="{cx:g}" cy="{cy:g}" r="{cell * 0.38:g}" '
                             f'fill="{colour}" stroke="{INK}" stroke-width="{max(1.0, cell * 0.12):g}"/>')
        base = by + board_h + 4 + bar_h
        g.append(f'<rect x="{x0}" y="{base - bar_h}" width="{board_w}" height="{bar_h}" fill="{TRACK}"/>')
        for c, target in enumerate(ply.policy):
            if target <= 0.0:
                continue
            hgt = max(1.0, min(1.0, target) * bar_h)
            fill = INK if c == ply.move else BAR
            g.append(f'<rect class="policy" x="{x0 + c * cell + cell * 0.15:g}" y="{base - hgt:g}" '
                     f'width="{cell * 0.7:g}" height="{hgt:g}" fill="{fill}"/>')
        g.append(f'<line x1="{x0}" y1="{base}" x2="{x0 + board_w}" y2="{base}" stroke="{INK}" '
                 'stroke-width="0.5"/>')
        g.append("</g>")
        parts.append("".join(g))
        game.apply_action(ply.move)
    title = escape(f"game {index}: {width}x{height}, {len(plies)} moves, {_result(game)}")
    out.append(f"<title>{title}</title>")
    out.append(f'<rect width="{total_w}" height="{total_h}" fill="#ffffff"/>')
    out.append(f'<text x="{gap}" y="16" font-size="13" fill="{INK}">{title}</text>')
    out.extend(parts)
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---- the command ----

def summary(f: SelfPlayFile, path: str) -> str:
    return (f"{path}: {f.kind} self-play file, {f.width}x{f.height}, {len(f.games)} games, "
            f"{f.positions} positions\n")


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Show one game of a self-play file (compact records or dense .npz).")
    parser.add_argument("file", help="a file written by Records.save or by the self-play example")
    parser.add_argument("--game", type=int, metavar="N",
                        help="print game N position by position (0 is the first game)")
    parser.add_argument("--svg", metavar="OUT",
                        help="write the game (N, or 0 without --game) as one SVG strip to OUT")
    return parser.parse_args(argv)


def run(args: argparse.Namespace) -> None:
    f = open_file(args.file)
    if args.game is None and args.svg is None:
        sys.stdout.write(summary(f, args.file))
        return
    index = 0 if args.game is None else args.game
    if index not in f.games:
        if f.games == list(range(len(f.games))):
            raise Refused(f"game {index} is out of range: {args.file} holds {len(f.games)} games")
        raise Refused(f"game {index} is not in {args.file}: it holds {len(f.games)} games "
                      f"numbered {f.games[0]} to {f.games[-1]}")
    plies = f.load_game(index)
    if args.svg is not None:
        try:
            Path(args.svg).write_text(strip_svg(plies, f.width, f.height, index), encoding="utf-8")
        except OSError as exc:
            raise Refused(f"cannot write {args.svg}: {exc.strerror or exc}") from None
    if args.game is not None:
        sys.stdout.write(game_text(plies, f.width, f.height, index))


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        run(args)
    except Refused as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
