#!/usr/bin/env python3
"""Writes the saved-state fuzzer's seed inputs: the bytes that pickles of games,
boards, moves and outcomes carry, on a board of every word count, in progress,
finished and edited with set_piece. Needs the module installed.
    fuzz/make_state_seeds.py [DIR]      # default: fuzz/state_corpus
"""
import pathlib
import random
import sys

import drevik_gravline as dg

# One size per word count 1..16.
SIZES = {}
for width in range(4, 33):
    for height in range(4, 33):
        SIZES.setdefault((width * height + 63) // 64, (width, height))


def saved(x):
    return x.__reduce__()[1][0]


def seeds():
    rng = random.Random(15)
    for words, (w, h) in sorted(SIZES.items()):
        game = dg.Game(w, h)
        yield f"w{words:02d}-new", saved(game)
        for _ in range(w * 2):
            game.apply_action(rng.randrange(w))
        yield f"w{words:02d}-run", saved(game)
        game.set_piece(0, 0, None)
        game.set_piece(w - 1, h - 1, -1)
        yield f"w{words:02d}-edit", saved(game)
        while not game.is_over():
            game.apply_action(rng.choice(game.legal_action_indices()))
        yield f"w{words:02d}-over", saved(game)
        yield f"w{words:02d}-board", saved(game.board())
    yield "move", saved(dg.Move(3, 250))
    for name, cols in [("red", [0, 1, 0, 1, 0, 1, 0]), ("yellow", [6, 0, 1, 0, 1, 0, 1, 0])]:
        game = dg.Game(7, 6)
        for c in cols:
            game.apply_action(c)
        yield f"outcome-{name}", saved(game.outcome())


def main():
    out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("state_corpus"))
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (out / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
