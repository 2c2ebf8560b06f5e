#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs: a few games on a board of every word count.

Each input is two size bytes (width - 4, height - 4) and then operations, in
the layout that engine_fuzzer.cpp reads (batch_fuzzer.cpp: a batch-size byte
comes before the operations). The seeds only give a fuzzer a start on every
board size and every operation; it finds the rest itself.
    fuzz/make_seeds.py [DIR]              # default: fuzz/corpus
    fuzz/make_seeds.py --batch [DIR]      # default: fuzz/corpus_batch
"""
import pathlib
import sys

# Opcodes, as engine_fuzzer.cpp numbers them (taken modulo 12 there).
LEGAL, ANY, UNMAKE, SET, ACTION, PLANES_COPY, RUN, UNMAKE_N, DRAW, REPLAY = 0, 3, 4, 5, 6, 7, 8, 9, 10, 11

# One size per word count 1..16: the smallest square-ish boards that need it.
SIZES = {}
for width in range(4, 33):
    for height in range(4, 33):
        words = (width * height + 63) // 64
        SIZES.setdefault(words, (width, height))


def seed(width, height, ops):
    return bytes([width - 4, height - 4]) + bytes(ops)


def columns(cols):
    """Drops by action index, column by column."""
    out = []
    for c in cols:
        out += [ACTION, c]
    return out


def seeds():
    for words, (w, h) in sorted(SIZES.items()):
        yield f"w{words:02d}-legal", seed(w, h, [LEGAL, 0, LEGAL, 1, LEGAL, 2, UNMAKE, LEGAL, 3])
        yield f"w{words:02d}-run", seed(w, h, [RUN, words, 255, UNMAKE_N, 3, DRAW, 255])
        yield f"w{words:02d}-edit", seed(w, h, [SET, 0, 0, 1, SET, w - 1, h - 1, 2, SET, 200, 0, 1,
                                                 LEGAL, 0, SET, 0, 0, 0, LEGAL, 0, UNMAKE])
    # The standard board: a vertical win, a horizontal win, a win across the
    # right edge that must not count, then the same wins taken back and replayed.
    yield "std-vertical", seed(7, 6, columns([0, 1, 0, 1, 0, 1, 0]) + [REPLAY, UNMAKE, PLANES_COPY, 3, 0, 1, 2])
    yield "std-horizontal", seed(7, 6, columns([0, 0, 1, 1, 2, 2, 3]) + [ANY, 4, 0, UNMAKE_N, 7])
    yield "std-wrap", seed(7, 6, columns([4, 4, 5, 5, 6, 6, 0, 1]) + [DRAW, 0])
    yield "std-set-four", seed(7, 6, [SET, 0, 3, 1, SET, 1, 3, 1, SET, 2, 3, 1, SET, 3, 3, 1] + columns([6, 5]))
    # A 4 x 4 board filled to a draw: columns 0, 1, 0, 1 pattern shifted by rows.
    yield "small-draw", seed(4, 4, columns([0, 1, 2, 3, 1, 0, 3, 2, 0, 1, 2, 3, 1, 0, 3, 2]) + [REPLAY])
    # The largest board, filled by long runs.
    yield "max-fill", seed(32, 32, [RUN, 1, 255] * 4 + [PLANES_COPY, 15] + [0] * 15)
    yield "action-far", seed(7, 6, [ACTION, 0xFF] + [0xFF] * 8 + [ACTION, 7, ACTION, 8])


# Batch opcodes, as batch_fuzzer.cpp numbers them (taken modulo 6 there).
B_STEP, B_RESET, B_EDIT, B_UNMAKE, B_RUN, B_SPLIT = range(6)


def batch_seeds():
    for words, (w, h) in sorted(SIZES.items()):
        games = 1 + words % 8
        skip, off_board = 0, w + 1  # action = byte % (w + 3) - 1: -1, then w (off the board)
        yield f"w{words:02d}-steps", bytes([w - 4, h - 4, games - 1]) + bytes(
            [B_STEP] + [1 + g % w for g in range(games)] + [B_STEP] + [skip] * games
            + [B_RUN, 40, B_SPLIT, B_RESET, 0, B_STEP] + [off_board] * games)
        yield f"w{words:02d}-edit", bytes([w - 4, h - 4, games - 1]) + bytes(
            [B_EDIT, 0, 0, 3, 1, B_EDIT, 0, 1, h - 1, 2, B_RUN, 10, B_UNMAKE, 0, B_EDIT, 0, 0, 0, 0,
             B_RUN, 255, B_SPLIT])
    # The standard board, three games: wins, refused steps, and a history longer
    # than the board (a cell played and emptied again and again).
    yield "std-loop", bytes([3, 2, 2]) + bytes([B_STEP, 1, 1, 1, B_EDIT, 0, 0, 0, 0] * 50 + [B_RUN, 255])
    yield "std-refused", bytes([3, 2, 2]) + bytes([B_RUN, 255, B_STEP, 1, 2, 3, B_RESET, 1, B_STEP, 0, 1, 9])


def main():
    batch = sys.argv[1:2] == ["--batch"]
    args = sys.argv[2:] if batch else sys.argv[1:]
    default = "corpus_batch" if batch else "corpus"
    out = pathlib.Path(args[0]) if args else pathlib.Path(__file__).parent / default
    out.mkdir(parents=True, exist_ok=True)
    for name, data in batch_seeds() if batch else seeds():
        (out / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
