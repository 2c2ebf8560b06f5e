"""Cost of one Game.encode_spatial_planes() call, as a multiple of list(t) for a
tuple t of as many floats: both build a list of references to shared floats, so
the ratio says what the encoding itself adds.

    PYTHONPATH=<dir holding the module> python3 bench/bench_planes.py [--reps N]

Repetitions of every case are interleaved in one process and the table shows
medians. It only measures; it never passes or fails.
"""

import argparse
import gc
import random
import statistics
import sys
import time

from drevik_gravline import Game

SIZES = [(7, 6), (32, 32)]
MOVES = 10  # enough that all seven earlier positions are taken back


def mid_game(width, height, seed=1):
    rng, g = random.Random(seed), Game(width, height)
    for _ in range(MOVES):
        actions = g.legal_action_indices()
        if actions:
            g.apply_action(rng.choice(actions))
    return g


def per_call_ns(fn, number):
    """Mean time of one call over `number` back-to-back calls, collector off."""
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        return (time.perf_counter_ns() - start) / number
    finally:
        gc.enable()


def calibrate(fn, target_ns):
    number = 1
    while per_call_ns(fn, number) * number < target_ns:
        number *= 2
    return number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=201, help="interleaved repetitions per case")
    parser.add_argument("--sample-ms", type=float, default=0.5, help="length of one timed sample")
    args = parser.parse_args()

    cases = []
    for width, height in SIZES:
        g = mid_game(width, height)
        n = len(g.encode_spatial_planes()[0])
        t = tuple([0.0] * n)
        encode, copy = g.encode_spatial_planes, (lambda t=t: list(t))
        target = args.sample_ms * 1e6
        cases.append({"size": f"{width}x{height}", "n": n,
                      "encode": (encode, calibrate(encode, target), []),
                      "list": (copy, calibrate(copy, target), [])})

    for rep in range(args.reps):
        for case in cases:
            # Alternate which of the pair runs first, so neither always gets a warm cache.
            for key in (("encode", "list") if rep % 2 == 0 else ("list", "encode")):
                fn, number, samples = case[key]
                samples.append(per_call_ns(fn, number))

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


if __name__ == "__main__":
    main()
