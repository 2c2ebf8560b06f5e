"""Tree search throughput on 7 x 6 with one fixed-random-weight NumPy MLP
(84 -> 64 -> 7 logits + 1 value, reading the two piece planes) as the
evaluator everywhere: our Search against a batched PUCT written plainly in
Python over Game (statistics keyed by transposition_hash, one network call per
step for every game). Simulations per second, wall time, median of a few runs.

    PYTHONPATH=<dir holding the modules> python3 bench/bench_search.py [--reps N] [--threads K]

It only measures; it never passes or fails.
"""

import argparse
import math
import os
import statistics
import time

# One BLAS thread: the MLP's small products gain nothing from more, and spinning
# helper threads would take the cores the search and its threads use.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")

import numpy as np  # noqa: E402

import drevik_gravline as dg
import drevik_gravline_batch as gb

W, H = 7, 6


class Mlp:
    """84 -> 64 -> 7 logits + 1 value, fixed random weights."""

    def __init__(self, seed=0):
        rng = np.random.default_rng(seed)
        self.w1 = rng.normal(0, 0.2, (2 * W * H, 64)).astype(np.float32)
        self.w2 = rng.normal(0, 0.2, (64, W)).astype(np.float32)
        self.w3 = rng.normal(0, 0.2, (64, 1)).astype(np.float32)

    def __call__(self, planes, mask=None):
        x = planes[:, :2].reshape(len(planes), -1)
        h = np.maximum(x @ self.w1, 0)
        return h @ self.w2, np.tanh(h @ self.w3)[:, 0]


def time_it(fn, reps):
    times = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


# ---- the baseline: a batched PUCT in plain Python over Game ----


def python_puct(games, sims, net, c_init=1.25, c_base=19652):
    """AlphaZero's PUCT for many roots, one network call per simulation step."""
    stats = [dict() for _ in games]  # per game: hash -> [N, W, priors (list by column) or None]

    def evaluate(leaves):
        planes = gb.encode_games(leaves)
        logits, values = net(planes)
        return logits, values

    def expand(table, g, logits):
        legal = g.legal_action_indices()
        m = max(logits[c] for c in legal)
        e = {c: math.exp(logits[c] - m) for c in legal}
        s = sum(e.values())
        table[g.transposition_hash()] = [0, 0.0, {c: e[c] / s for c in legal}]

    roots = [g.clone() for g in games]
    logits, values = evaluate(roots)
    for i, g in enumerate(roots):
        expand(stats[i], g, logits[i])
        stats[i][g.transposition_hash()][0] = 1
    for _ in range(sims):
        leaves, paths, pending = [], [], []
        for i, root in enumerate(roots):
            table = stats[i]
            g = root.clone()
            path = [g.transposition_hash()]
            while True:
                node = table[path[-1]]
                n_parent = node[0]
                cs = c_init + math.log((n_parent + c_base + 1) / c_base)
                best, best_score = None, -math.inf
                for c, p in node[2].items():
                    g.apply_action(c)
                    child = table.get(g.transposition_hash())
                    g.unmake_move()
                    n = child[0] if child else 0
                    q = -child[1] / n if child and n else 0.0
                    score = q + cs * p * math.sqrt(n_parent) / (1 + n)
                    if score > best_score:
                        best, best_score = c, score
                g.apply_action(best)
                h = g.transposition_hash()
                path.append(h)
                if g.is_over():
                    value = -1.0 if g.outcome().winner() is not None else 0.0
                    backup(table, path, value)
                    break
                if h not in table or table[h][2] is None:
                    leaves.append(g)
                    paths.append(path)
                    pending.append(i)
                    break
        if leaves:
            logits, values = evaluate(leaves)
            for k, i in enumerate(pending):
                expand(stats[i], leaves[k], logits[k])
                backup(stats[i], paths[k], float(values[k]))
    return stats


def backup(table, path, value):
    """value is for the side to move at the last position of the path; W is kept for the side to move."""
    for h in reversed(path):
        node = table.setdefault(h, [0, 0.0, None])
        node[0] += 1
        node[1] += value
        value = -value


def suite_rows(reps=5, threads=1):
    """Rows of the suite's table (bench/run.py): seconds per simulation."""
    from common import Row

    net = Mlp()
    logits = np.zeros((512, W), np.float32)
    values = np.zeros(512, np.float32)

    def canned(planes, mask):
        return logits[: len(planes)], values[: len(planes)]

    def ours(games, sims, evaluator, **kw):
        def go():
            gb.Search([dg.Game(W, H)] * games, simulations=sims, threads=threads, **kw).run(evaluator)
        return time_it(go, reps) / (games * sims)

    puct = ours(512, 128, net)
    python = time_it(lambda: python_puct([dg.Game(W, H)] * 512, 128, net), 1) / (512 * 128)
    gumbel = ours(64, 32, net, algorithm="gumbel")
    python_small = time_it(lambda: python_puct([dg.Game(W, H)] * 64, 32, net), 1) / (64 * 32)
    one = ours(1, 800, net, leaves_per_step=8)
    own = ours(512, 128, canned)
    rows = [
        Row("tree search PUCT 7x6, 512 games x 128 sims, NumPy MLP, per simulation", puct,
            "batched Python PUCT over Game", python, goal=1 / 20, goal_text="≥ 20x faster (≤ 0.05)"),
        Row("tree search Gumbel 7x6, 64 games x 32 sims, NumPy MLP, per simulation", gumbel,
            "batched Python PUCT over Game, 64 x 32", python_small),
        Row("tree search PUCT 7x6, 1 game x 800 sims, 8 leaves per step, MLP, per simulation", one,
            "batched Python PUCT over Game, 64 x 32", python_small),
        Row("tree search's own work (preallocated answers), 512 x 128, per simulation", own,
            "target 0.3 µs", 0.3e-6, goal=1.0, goal_text="≤ 0.3 µs (≤ 1.0)"),
    ]
    return rows, "tree search: wall time, medians; the NumPy MLP on one BLAS thread"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    net = Mlp()
    rows = []

    def ours(games, sims, evaluator, **kw):
        def go():
            s = gb.Search([dg.Game(W, H)] * games, simulations=sims, threads=args.threads, **kw)
            s.run(evaluator)
        return games * sims / time_it(go, args.reps)

    rows.append(("Search PUCT 512 x 128, MLP", ours(512, 128, net, dirichlet_fraction=0.25)))
    t = time_it(lambda: python_puct([dg.Game(W, H)] * 512, 128, net), 1)
    rows.append(("Python batched PUCT 512 x 128, MLP (baseline)", 512 * 128 / t))
    rows.append(("Search PUCT 64 x 32, MLP", ours(64, 32, net)))
    t = time_it(lambda: python_puct([dg.Game(W, H)] * 64, 32, net), args.reps)
    rows.append(("Python batched PUCT 64 x 32, MLP (baseline)", 64 * 32 / t))
    rows.append(("Search Gumbel 64 x 32, MLP", ours(64, 32, net, algorithm="gumbel")))
    rows.append(("Search PUCT 1 x 800, 8 leaves per step, MLP", ours(1, 800, net, leaves_per_step=8)))
    rows.append(("Search PUCT 512 x 128, rollout evaluator", ours(512, 128, "rollout")))

    logits = np.zeros((512, W), np.float32)
    values = np.zeros(512, np.float32)

    def canned(planes, mask):
        return logits[: len(planes)], values[: len(planes)]

    own = ours(512, 128, canned)
    rows.append(("Search PUCT 512 x 128, preallocated answers (the search's own work)", own))

    print(f"{'workload':72} {'sims/s':>12}")
    for name, rate in rows:
        print(f"{name:72} {rate:12,.0f}")
    print(f"search's own work: {1e6 / own:.3f} us per simulation")
    print(f"ratio ours / Python baseline at 512 x 128: {rows[0][1] / rows[1][1]:.1f}x")


if __name__ == "__main__":
    main()
