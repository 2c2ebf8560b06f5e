"""Tree search throughput on 7 x 6 with one fixed-random-weight NumPy MLP
(84 -> 64 -> 7 logits + 1 value, reading the two piece planes) as the
evaluator everywhere: our Search against a batched PUCT written plainly in
Python over Game (statistics keyed by transposition_hash, one network call per
step for every game). Simulations per second, wall time, median of a few runs.
Beside them, where installed, the same MLP (same weights) under mctx's
muzero_policy and gumbel_muzero_policy on pgx's games (JAX on the CPU, its
compile time reported apart) and as the evaluator of OpenSpiel's Python
MCTSBot; a peer that is missing gives rows that say so.

    PYTHONPATH=<dir holding the modules> python3 bench/bench_search.py [--reps N] [--threads K]

It only measures; it never passes or fails.
"""

import argparse
import math
import os
import statistics
import sys
import time

# One BLAS thread: the MLP's small products gain nothing from more, and spinning
# helper threads would take the cores the search and its threads use.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_name, "1")
# JAX, for the mctx peer, on the CPU without looking for accelerators first.
os.environ.setdefault("JAX_PLATFORMS", "cpu")

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


# ---- the peers: mctx on pgx (JAX on the CPU), OpenSpiel's Python MCTSBot ----
#
# Each runs the same MLP with the same weights. The 84 inputs are the two
# piece planes from the side to move's view, rows from the bottom up: plane 0
# its own pieces, plane 1 the opponent's (what Mlp reads from planes[:, :2]).
# pgx's observation is (6, 7, 2) with row 0 at the top and channel 0 the side
# to move; OpenSpiel's observation tensor is (3, 6, 7), rows from the bottom,
# channel p the pieces of player p whoever looks. check_inputs() replays random
# games in each and compares the inputs built here with encode_games', and the
# networks' outputs, before anything is timed.


def missing(*modules):
    """The rows' note when a module does not import, else ''."""
    import importlib
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            return f"{name} not installed for CPython {sys.version_info[0]}.{sys.version_info[1]}"
    return ""


def jax_mlp(net):
    """The Mlp in JAX over pgx observations (B, 6, 7, 2): (logits (B, 7), values (B,))."""
    import jax.numpy as jnp

    w1, w2, w3 = (jnp.asarray(w) for w in (net.w1, net.w2, net.w3))

    def forward(obs):
        x = jnp.transpose(obs[:, ::-1], (0, 3, 1, 2)).reshape(obs.shape[0], -1).astype(jnp.float32)
        h = jnp.maximum(x @ w1, 0)
        return h @ w2, jnp.tanh(h @ w3)[:, 0]
    return forward


def spiel_planes(state):
    """OpenSpiel's state as the two piece planes (1, 2, H, W), the side to move first."""
    p = state.current_player()
    t = np.asarray(state.observation_tensor(p), np.float32).reshape(3, H, W)
    return t[[p, 1 - p]][None]


def check_inputs(net, games=6, seed=5):
    """Random openings played in our Game and in each installed peer: the same
    network inputs (and, for JAX, outputs) at the end of each, else RuntimeError."""
    import random

    rng = random.Random(seed)
    lines = []
    for _ in range(games):
        g, line, length = dg.Game(W, H), [], rng.randrange(4, 30)
        while not g.is_over() and len(line) < length:
            line.append(rng.choice(g.legal_action_indices()))
            g.apply_action(line[-1])
        if not g.is_over():
            lines.append(line)
    def ours(line):
        g = dg.Game(W, H)
        for a in line:
            g.apply_action(a)
        planes = gb.encode_games([g])
        return planes[:, :2], net(planes)
    if not missing("jax", "pgx"):
        import jax
        import pgx
        env = pgx.make("connect_four")
        step, forward = jax.jit(env.step), jax.jit(jax_mlp(net))
        for line in lines:
            state = env.init(jax.random.PRNGKey(0))
            for a in line:
                state = step(state, a)
            planes, (logits, values) = ours(line)
            obs = np.asarray(state.observation)[None]
            theirs = np.transpose(obs[:, ::-1], (0, 3, 1, 2)).astype(np.float32)
            jl, jv = forward(obs)
            if not (np.array_equal(theirs, planes) and np.allclose(jl, logits, atol=1e-5)
                    and np.allclose(jv, values, atol=1e-5)):
                raise RuntimeError(f"pgx and Game disagree on the network's input after {line}")
    if not missing("pyspiel"):
        import pyspiel
        game = pyspiel.load_game("connect_four")
        for line in lines:
            state = game.new_initial_state()
            for a in line:
                state.apply_action(a)
            if not np.array_equal(spiel_planes(state), ours(line)[0]):
                raise RuntimeError(f"OpenSpiel and Game disagree on the network's input after {line}")


def mctx_search(net, games, sims, gumbel):
    """fn() running mctx's muzero_policy (or gumbel_muzero_policy) over `games`
    new pgx games, compiled beforehand; and the seconds that compiling took
    (tracing, lowering and XLA together)."""
    import functools

    import jax
    import jax.numpy as jnp
    import mctx
    import pgx

    env = pgx.make("connect_four")
    init, step = jax.vmap(env.init), jax.vmap(env.step)
    forward = jax_mlp(net)

    def recurrent_fn(params, key, action, state):
        mover = state.current_player
        state = step(state, action)
        logits, value = forward(state.observation)
        over = state.terminated
        out = mctx.RecurrentFnOutput(
            reward=state.rewards[jnp.arange(games), mover],
            discount=jnp.where(over, 0.0, -1.0),  # the next node's value is the other side's
            prior_logits=jnp.where(state.legal_action_mask, logits, jnp.finfo(logits.dtype).min),
            value=jnp.where(over, 0.0, value))
        return out, state

    def search(key):
        k_init, k_search = jax.random.split(key)
        state = init(jax.random.split(k_init, games))
        logits, value = forward(state.observation)
        root = mctx.RootFnOutput(prior_logits=logits, value=value, embedding=state)
        common = dict(params=None, rng_key=k_search, root=root, recurrent_fn=recurrent_fn,
                      num_simulations=sims, invalid_actions=~state.legal_action_mask)
        if gumbel:
            # Search's defaults: 16 sampled columns, c_visit 50, c_scale 1.
            q = functools.partial(mctx.qtransform_completed_by_mix_value, value_scale=1.0,
                                  maxvisit_init=50.0)
            out = mctx.gumbel_muzero_policy(**common, qtransform=q, max_num_considered_actions=16,
                                            gumbel_scale=1.0)
        else:
            out = mctx.muzero_policy(**common, dirichlet_fraction=0.25, dirichlet_alpha=0.3,
                                     pb_c_init=1.25, pb_c_base=19652)
        return out.action_weights

    key = jax.random.PRNGKey(0)
    start = time.perf_counter()
    compiled = jax.jit(search).lower(key).compile()
    compile_s = time.perf_counter() - start
    jax.block_until_ready(compiled(key))  # the first run's allocations are not timed either
    return (lambda: jax.block_until_ready(compiled(key))), compile_s


def spiel_search(net, sims):
    """fn() running OpenSpiel's Python MCTSBot for one move from the empty
    board: PUCT with the MLP as its evaluator, one network call per leaf."""
    import pyspiel
    from open_spiel.python.algorithms import mcts

    game = pyspiel.load_game("connect_four")

    class MlpEvaluator(mcts.Evaluator):
        """The network once per position: the bot values a leaf when it first
        reaches it and asks for its priors when it comes back to expand it, so
        both answers are kept, for the length of one search."""

        def __init__(self):
            self.cache = {}

        def outputs(self, state):
            key = state.history_str()
            out = self.cache.get(key)
            if out is None:
                logits, values = net(spiel_planes(state))
                out = self.cache[key] = (logits[0], float(values[0]))
            return out

        def evaluate(self, state):
            if state.is_terminal():
                return np.asarray(state.returns())
            v = self.outputs(state)[1]
            return np.array([v, -v] if state.current_player() == 0 else [-v, v])

        def prior(self, state):
            logits = self.outputs(state)[0]
            legal = state.legal_actions()
            e = np.exp(logits[legal] - logits[legal].max())
            return list(zip(legal, (e / e.sum()).tolist()))

    evaluator = MlpEvaluator()
    bot = mcts.MCTSBot(game, uct_c=1.25, max_simulations=sims, evaluator=evaluator,
                       random_state=np.random.RandomState(0),
                       child_selection_fn=mcts.SearchNode.puct_value)

    def run():
        evaluator.cache.clear()  # every search starts with nothing evaluated, as ours does
        return bot.step(game.new_initial_state())
    return run


def paired(ours_fn, peer_fn, reps, target_s=0.05):
    """Seconds per call of each, medians of wall time, the two run in turn
    (order alternating) so that a change of load on the machine falls on both.
    A sample repeats a short call until it lasts about target_s, so that a
    run of a few milliseconds is not one scheduler's tick from another."""
    fns = (ours_fn, peer_fn)
    numbers = []
    for fn in fns:  # this first call also warms up
        t = time.perf_counter()
        fn()
        numbers.append(max(1, math.ceil(target_s / max(time.perf_counter() - t, 1e-6))))
    times = ([], [])
    for rep in range(reps):
        for i in (0, 1) if rep % 2 == 0 else (1, 0):
            t = time.perf_counter()
            for _ in range(numbers[i]):
                fns[i]()
            times[i].append((time.perf_counter() - t) / numbers[i])
    return statistics.median(times[0]), statistics.median(times[1])


def peer_rows(net, reps, threads=1):
    """Rows against mctx on pgx and OpenSpiel's MCTSBot, with the compile
    times as rows of their own; and a note."""
    from common import Row

    check_inputs(net)

    def ours(games, sims, **kw):
        return lambda: gb.Search([dg.Game(W, H)] * games, simulations=sims, threads=threads,
                                 **kw).run(net)

    cases = [
        # label, games, sims, our keywords, the peer, its goal
        ("PUCT", 512, 128, {}, "mctx muzero_policy on pgx (jit, CPU)", (0.1, "≥ 10x faster (≤ 0.10)")),
        ("Gumbel", 64, 32, {"algorithm": "gumbel"}, "mctx gumbel_muzero_policy on pgx (jit, CPU)",
         (0.5, "≥ 2x faster (≤ 0.50)")),
    ]
    rows, compiles = [], []
    note = missing("jax", "pgx", "mctx")
    for label, games, sims, kw, peer, (goal, goal_text) in cases:
        workload = (f"tree search {label} 7x6, {games} games x {sims} sims, NumPy MLP, per simulation"
                    " (vs the same MLP in JAX)")
        if note:
            mine = time_it(ours(games, sims, **kw), reps)
            rows.append(Row(workload, mine / (games * sims), peer, None, goal=goal,
                            goal_text=goal_text, note=note))
            continue
        fn, compile_s = mctx_search(net, games, sims, gumbel=label == "Gumbel")
        mine, theirs = paired(ours(games, sims, **kw), fn, reps)
        rows.append(Row(workload, mine / (games * sims), peer, theirs / (games * sims), goal=goal,
                        goal_text=goal_text))
        policy = "gumbel_muzero_policy" if label == "Gumbel" else "muzero_policy"
        rows.append(Row(f"mctx {policy} {games} x {sims}: compiling, once (trace + XLA), not in the row above",
                        None, "compile time", compile_s))
        compiles.append(f"{label} {games} x {sims} {compile_s:.1f} s")
    workload = "tree search PUCT 7x6, 1 game x 800 sims, 8 leaves per step, MLP, per simulation"
    peer = "OpenSpiel MCTSBot (Python, PUCT), same MLP"
    note_spiel = missing("pyspiel", "open_spiel.python.algorithms.mcts")
    if note_spiel:
        mine = time_it(ours(1, 800, leaves_per_step=8), reps)
        rows.append(Row(workload, mine / 800, peer, None, goal=0.1,
                        goal_text="≥ 10x faster (≤ 0.10)", note=note_spiel))
    else:
        mine, theirs = paired(ours(1, 800, leaves_per_step=8), spiel_search(net, 800), reps)
        rows.append(Row(workload, mine / 800, peer, theirs / 800, goal=0.1,
                        goal_text="≥ 10x faster (≤ 0.10)"))
    text = ("peers: wall time, medians of ours and the peer run in turn; the same MLP weights "
            "everywhere, its inputs checked equal on replayed games; ")
    if note:
        text += f"mctx rows: {note}"
    else:
        from importlib import metadata
        text += (f"mctx {metadata.version('mctx')} on jax {metadata.version('jax')}, its XLA "
                 f"threads free to use every core; compile times (rows of their own): {', '.join(compiles)}")
    return rows, text


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
    more, note = peer_rows(net, reps, threads)
    return rows + more, "tree search: wall time, medians; the NumPy MLP on one BLAS thread; " + note


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

    from common import table
    peers, note = peer_rows(net, args.reps, args.threads)
    print(table(peers))
    print(f"- {note}")


if __name__ == "__main__":
    main()
