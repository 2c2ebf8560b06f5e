"""Cost of one call of each hot Game method, as a multiple of a floor: a call of
a built-in method of the same shape (receiver, arguments, kind of result),
timed in the same run (for Board.column_height, the board's own is_column_full).

    PYTHONPATH=<dir holding the module> python3 bench/bench_calls.py [--reps N]

Each statement runs in a timeit loop; the time of the same loop around `pass`,
sampled alongside, is subtracted, so the figures are the call alone. A
statement, its floor and the empty loop are sampled in turn, repetition after
repetition, and the table shows medians. The game is a 7 x 6 game ten moves
in; the board is 32 x 32 with three pieces in column 5. It only measures; it never passes or fails.
"""

import argparse
import sys
import timeit

from common import Row, interleaved, median, table

NOARG_GOAL = (1.3, "≤ 1.3x floor")
CLONE_GOAL = (1.6, "≤ 1.6x floor")

# (our statement, floor statement, what the floor stands for, goal); the names
# the statements use are those of namespace() below.
CASES = [
    ("g.turn()", "i.bit_length()", "no arguments, a small int", NOARG_GOAL),
    ("g.is_over()", "i.bit_length()", "no arguments, a small int", NOARG_GOAL),
    ("g.legal_action_indices()", "l7.copy()", "no arguments, a new list of 7 ints", NOARG_GOAL),
    ("g.clone()", "ba.copy()", "no arguments, a new object and its buffer", CLONE_GOAL),
    ("g.transposition_hash()", "f.__trunc__()", "no arguments, a new 64-bit int", NOARG_GOAL),
    ("hash(g)", "hash(f)", "hash() of an object that computes it", NOARG_GOAL),
    ("g.decode_action(3)", "l7.index(3)", "one int argument", (None, "")),
    ("g.apply_action(3); g.unmake_move()", "l.append(3); l.pop()", "one-argument change, then undo",
     (None, "")),
    ("g.make_move(m); g.unmake_move()", "l.append(3); l.pop()", "one-argument change, then undo",
     (None, "")),
    ("b.column_height(5)", "b.is_column_full(5)", "the same board's cheapest one-int-argument call",
     (1.5, "≤ 1.5x floor")),
]

# The floors as the table shows them, with their operands written out.
SHOWN = {
    "i.bit_length()": "(0).bit_length()",
    "l7.copy()": "[0, ..., 6].copy()",
    "ba.copy()": "bytearray(64).copy()",
    "f.__trunc__()": "(1.2345e18).__trunc__()",
    "hash(f)": "hash(1.2345e18)",
    "l7.index(3)": "[0, ..., 6].index(3)",
    "l.append(3); l.pop()": "l.append(3); l.pop()",
    "b.column_height(5)": "Board(32, 32).column_height(5)",
    "b.is_column_full(5)": "is_column_full(5)",
}


def shown(stmt):
    return SHOWN.get(stmt, stmt)


def namespace():
    from drevik_gravline import Board, Game
    g = Game(7, 6)
    for action in (0, 1, 2, 3, 4, 5, 6, 0, 1, 2):
        g.apply_action(action)
    assert not g.is_over()
    b = Board(32, 32)
    for row in range(3):
        b.set_piece(5, row, 1)
    return {
        "g": g,
        "b": b,
        "m": g.decode_action(3),
        "i": 0,
        "l7": list(range(7)),
        "l": [],
        "ba": bytearray(64),
        "f": 1.2345e18,
    }


def suite_rows(reps=21, target_s=0.005):
    ns = namespace()
    empty = timeit.Timer("pass", globals=ns).timeit
    rows, loops = [], []
    for ours, floor, shape, (goal, goal_text) in CASES:
        # Each statement is sampled next to its floor and the empty loop, so all
        # three see the machine in the same state.
        samples = interleaved({"pass": empty,
                               "ours": timeit.Timer(ours, globals=ns).timeit,
                               "floor": timeit.Timer(floor, globals=ns).timeit}, reps, target_s)
        # Subtract the empty loop of the same repetition, then take the median.
        net = {k: median([a - b for a, b in zip(v, samples["pass"])]) for k, v in samples.items()}
        rows.append(Row(f"call {shown(ours)}", net["ours"], f"floor {shown(floor)}", net["floor"],
                        goal=goal, goal_text=goal_text))
        loops.extend(samples["pass"])
    return rows, f"empty timeit loop {median(loops) * 1e9:.1f} ns per iteration, subtracted"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=21, help="interleaved repetitions")
    args = parser.parse_args()
    rows, note = suite_rows(args.reps)
    print(f"CPython {sys.version.split()[0]}, {args.reps} interleaved repetitions, medians; {note}")
    print(table(rows))
    print()
    for floor, shape in dict((floor, shape) for _, floor, shape, _ in CASES).items():
        print(f"  {shown(floor):36} {shape}")


if __name__ == "__main__":
    main()
