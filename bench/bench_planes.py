"""Cost of one Game.encode_spatial_planes() call, as a multiple of list(t) for a
tuple t of as many floats: both build a list of references to shared floats, so
the ratio says what the encoding itself adds. Also against the planes a user
would build with NumPy from the board (cell by cell through get_piece, and the
user's own record of the last seven moves), with our list turned into the same
float32 array for a like-for-like comparison.

    PYTHONPATH=<dir holding the module> python3 bench/bench_planes.py [--reps N]

Repetitions of every case are interleaved in one process and the table shows
medians of the process's CPU time. It only measures; it never passes or fails.
"""

import argparse
import gc
import random
import statistics
import sys
import time

from drevik_gravline import Game

try:
    import numpy as np
except ImportError:  # the NumPy comparison is left out
    np = None

SIZES = [(7, 6), (32, 32)]
MOVES = 10  # enough that all seven earlier positions are taken back
PLANES = 17


def mid_game(width, height, seed=1):
    """A game MOVES moves in, and the (col, row) of every move played."""
    rng, g, played = random.Random(seed), Game(width, height), []
    for _ in range(MOVES):
        actions = g.legal_action_indices()
        if actions:
            m = g.decode_action(rng.choice(actions))
            played.append((m.col(), m.row()))
            g.make_move(m)
    return g, played


def numpy_user_planes(g, played):
    """The 17 planes as a user without the encoder writes them: read the board
    cell by cell, then take the recorded moves back one by one with NumPy."""
    height, width = g.board_shape()
    get = g.get_piece
    board = np.array([[get(c, r) or 0 for c in range(width)] for r in range(height)], dtype=np.int8)
    mover = g.turn()
    planes = np.zeros((PLANES, height, width), dtype=np.float32)
    planes[0] = board == mover
    planes[1] = board == -mover
    for t, (col, row) in enumerate(reversed(played[-7:]), 1):
        board[row, col] = 0
        planes[2 * t] = board == mover
        planes[2 * t + 1] = board == -mover
    if mover == 1:
        planes[16] = 1.0
    return planes


def encode_array(g):
    """encode_spatial_planes() turned into the float32 array a network reads."""
    flat, planes, height, width = g.encode_spatial_planes()
    return np.array(flat, dtype=np.float32).reshape(planes, height, width)


def per_call_ns(fn, number):
    """Mean CPU time of one call over `number` back-to-back calls, collector off."""
    gc.disable()
    try:
        start = time.process_time_ns()
        for _ in range(number):
            fn()
        return (time.process_time_ns() - start) / number
    finally:
        gc.enable()


def calibrate(fn, target_ns):
    number = 1
    while per_call_ns(fn, number) * number < target_ns:
        number *= 2
    return number


def sample(reps, sample_ms):
    """Per size: the float count and, per case, (fn, calls per sample, samples in ns)."""
    cases = []
    target = sample_ms * 1e6
    for width, height in SIZES:
        g, played = mid_game(width, height)
        n = len(g.encode_spatial_planes()[0])
        t = tuple([0.0] * n)
        fns = {"encode": g.encode_spatial_planes, "list": lambda t=t: list(t)}
        if np is not None:
            assert np.array_equal(encode_array(g), numpy_user_planes(g, played))
            fns["encode_array"] = lambda g=g: encode_array(g)
            fns["numpy_user"] = lambda g=g, p=played: numpy_user_planes(g, p)
        case = {"size": f"{width}x{height}", "n": n}
        for key, fn in fns.items():
            case[key] = (fn, calibrate(fn, target), [])
        cases.append(case)

    for rep in range(reps):
        for case in cases:
            keys = [k for k in case if k not in ("size", "n")]
            # Alternate the order, so no case always gets the cache of the same neighbour.
            for key in (keys if rep % 2 == 0 else reversed(keys)):
                fn, number, samples = case[key]
                samples.append(per_call_ns(fn, number))
    return cases


def suite_rows(reps=31, sample_ms=2.0):
    """Rows of the suite's table, seconds per call."""
    from common import Row
    rows = []
    for case in sample(reps, sample_ms):
        med = {k: statistics.median(v[2]) * 1e-9 for k, v in case.items() if k not in ("size", "n")}
        label = f"encode_spatial_planes() {case['size']} ({case['n']} floats)"
        rows.append(Row(label, med["encode"], "floor list(t), same length", med["list"]))
        if "numpy_user" in med:
            rows.append(Row(label, med["encode"], "NumPy user", med["numpy_user"]))
            rows.append(Row(f"encode_spatial_planes() {case['size']} as float32 array",
                            med["encode_array"], "NumPy user", med["numpy_user"]))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=201, help="interleaved repetitions per case")
    parser.add_argument("--sample-ms", type=float, default=0.5, help="length of one timed sample")
    args = parser.parse_args()

    cases = sample(args.reps, args.sample_ms)

    print(f"CPython {sys.version.split()[0]}, {args.reps} interleaved repetitions, medians")
    header = (f"{'board':>7} {'floats':>7} {'encode ns':>11} {'list(t) ns':>11} {'ratio':>7}"
              f" {'paired':>7} {'paired q1-q3':>13}")
    print(header)
    print("-" * len(header))
    for case in cases:
        enc, lst = case["encode"][2], case["list"][2]
        e, l = statistics.median(enc), statistics.median(lst)
        ratios = [a / b for a, b in zip(enc, lst)]
        q1, paired, q3 = statistics.quantiles(ratios, n=4)
        print(f"{case['size']:>7} {case['n']:>7} {e:>11.0f} {l:>11.0f} {e / l:>7.2f}"
              f" {paired:>7.2f} {q1:>6.2f}-{q3:<6.2f}")
    print("ratio: median encode / median list(t); paired: median of per-repetition ratios,")
    print("with their quartiles (a wide spread means a busy machine)")
    if np is None:
        print("NumPy is not installed: no comparison with planes built by NumPy")
        return
    print()
    header = f"{'board':>7} {'encode ns':>11} {'as array ns':>12} {'NumPy user ns':>14} {'ratio':>7} {'array ratio':>12}"
    print(header)
    print("-" * len(header))
    for case in cases:
        e, a, u = (statistics.median(case[k][2]) for k in ("encode", "encode_array", "numpy_user"))
        print(f"{case['size']:>7} {e:>11.0f} {a:>12.0f} {u:>14.0f} {e / u:>7.2f} {a / u:>12.2f}")
    print("NumPy user: get_piece per cell, then the planes with NumPy; as array: encode and")
    print("np.array(list, float32).reshape; ratios are ours / NumPy user")


if __name__ == "__main__":
    main()
