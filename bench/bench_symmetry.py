"""Times augment_symmetries against the NumPy expressions that do the same work.

For each batch shape, three ways of building the five doubled arrays run in
turn, repetition after repetition, so that drift of the machine hits them all
alike; the table shows the median of each and the ratios between them:

  augment     drevik_gravline.augment_symmetries
  mirror_np   np.concatenate([s, s[..., ::-1]]) for states and both policy
              arrays, np.concatenate([v, v]) for values and masks
  copy_np     np.concatenate([s, s]) for all five (no mirroring: a floor)

Usage: PYTHONPATH=build/sym python3 bench/bench_symmetry.py [--reps N]
"""

import argparse
import statistics
import time

import numpy as np

import drevik_gravline as dg

SHAPES = [  # (batch, planes, height, width)
    (1024, 17, 6, 7),
    (64, 17, 32, 32),
]


def make_batch(rng, b, p, h, w):
    return (
        rng.random((b, p, h, w), dtype=np.float32),
        rng.random((b, w), dtype=np.float32),
        rng.random(b, dtype=np.float32),
        rng.random((b, w), dtype=np.float32),
        (rng.random(b) < 0.5).astype(np.float32),
    )


def mirror_np(s, p, v, o, m):
    return (
        np.concatenate([s, s[..., ::-1]]),
        np.concatenate([p, p[..., ::-1]]),
        np.concatenate([v, v]),
        np.concatenate([o, o[..., ::-1]]),
        np.concatenate([m, m]),
    )


def copy_np(s, p, v, o, m):
    return tuple(np.concatenate([x, x]) for x in (s, p, v, o, m))


CANDIDATES = {
    "augment": dg.augment_symmetries,
    "mirror_np": mirror_np,
    "copy_np": copy_np,
}


def run(batch, reps, inner):
    """Median CPU seconds per call of each candidate, interleaved."""
    times = {name: [] for name in CANDIDATES}
    for fn in CANDIDATES.values():  # warm up caches and the allocator
        fn(*batch)
    for _ in range(reps):
        for name, fn in CANDIDATES.items():
            start = time.process_time()
            for _ in range(inner):
                fn(*batch)
            times[name].append((time.process_time() - start) / inner)
    return {name: statistics.median(t) for name, t in times.items()}


def suite_rows(reps=41, inner=10):
    """Rows of the suite's table, seconds per call."""
    from common import Row
    rng = np.random.default_rng(1)
    rows = []
    for shape in SHAPES:
        batch = make_batch(rng, *shape)
        med = run(batch, reps, inner)
        label = "augment_symmetries B={} of {}x{}x{}".format(*shape)
        rows.append(Row(label, med["augment"], "NumPy concatenate + mirror", med["mirror_np"]))
        rows.append(Row(label, med["augment"], "NumPy concatenate, no mirror", med["copy_np"]))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=41, help="interleaved repetitions")
    parser.add_argument("--inner", type=int, default=10, help="calls per timed repetition")
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    # The same answer from all three paths before anything is timed.
    for shape in SHAPES:
        batch = make_batch(rng, *shape)
        for got, want in zip(dg.augment_symmetries(*batch), mirror_np(*batch)):
            assert np.array_equal(got, want)

    print(f"numpy {np.__version__}, median of {args.reps} x {args.inner} calls")
    header = (f"{'B x P x H x W':>18} {'MB in':>7} {'augment':>10} {'mirror_np':>10} "
              f"{'copy_np':>10} {'mirror_np/augment':>18} {'augment/copy_np':>16}")
    print(header)
    for shape in SHAPES:
        batch = make_batch(rng, *shape)
        med = run(batch, args.reps, args.inner)
        megabytes = sum(x.nbytes for x in batch) / 1e6
        label = " x ".join(map(str, shape))
        print(f"{label:>18} {megabytes:7.2f} {med['augment'] * 1e3:8.3f}ms "
              f"{med['mirror_np'] * 1e3:8.3f}ms {med['copy_np'] * 1e3:8.3f}ms "
              f"{med['mirror_np'] / med['augment']:18.2f} {med['augment'] / med['copy_np']:16.2f}")


if __name__ == "__main__":
    main()
