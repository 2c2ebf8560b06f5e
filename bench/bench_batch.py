"""Batches of games: GameBatch against the per-game loop over Game and against
pgx, on the 7 x 6 board, 1,024 games at a time unless a row says otherwise.

    PYTHONPATH=<dir holding the modules> python3 bench/bench_batch.py [--reps N]

Self-play rows: each ply reads the legal mask, picks a uniform random legal
column per game with NumPy (one random number per game and a table lookup), and steps; a finished game starts again at once, and the
figure is time per finished game. The per-game loop plays the same way one
Game at a time (legal_action_indices, random.choice, apply_action); with
planes it converts each position's planes to a float32 array as a network
input would need. pgx runs its connect_four under JAX on the CPU, the whole
ply loop compiled (jit of a scan over plies, with the same restart), its
observation taken out of the loop in the planes row. When pgx is not
installed its rows say so. Times are the process's CPU time, except the
threads row, which is wall-clock time (two threads spend more CPU, in less
time). It only measures; it never passes or fails.
"""

import argparse
import gc
import random
import sys
import time
import tracemalloc

import numpy as np

from common import Row, interleaved, median, table

GAMES = 1024
W, H = 7, 6


# A uniform random legal column per game from one random number per game:
# PICK[m, r] is the (r mod k)-th of the k legal columns of the mask whose bits
# are m. 420 is a multiple of every k from 1 to 7, so each column is equally
# likely; a mask with no legal column picks -1, the skip.
SPREAD = 420
BIT_VALUES = (1 << np.arange(W)).astype(np.uint8)
PICK = np.full((1 << W, SPREAD), -1, np.int8)
for _m in range(1, 1 << W):
    _cols = [c for c in range(W) if _m >> c & 1]
    PICK[_m] = [_cols[r % len(_cols)] for r in range(SPREAD)]


PICK_FLAT = PICK.ravel()


def choose(mask, rng):
    """A random legal column for each row of a (games, 7) bool mask, in NumPy."""
    bits = (mask.view(np.uint8) @ BIT_VALUES).astype(np.intp)
    # Below SPREAD: a float64 in [0, 1) times 420 never rounds up to 420.
    r = (rng.random(len(mask)) * SPREAD).astype(np.intp)
    return PICK_FLAT.take(bits * SPREAD + r)


def ours_selfplay(observe, count=GAMES):
    """fn(plies): plays `plies` plies over a batch; returns the finished games."""
    from drevik_gravline_batch import GameBatch
    b = GameBatch(count, W, H)
    mask = np.empty((count, W), bool)
    planes = np.empty((count, 17, H, W), np.float32)
    rng = np.random.default_rng(1)

    def run(plies):
        finished = 0
        for _ in range(plies):
            b.legal_mask(out=mask)
            if observe:
                b.observe(out=planes)
            _, done = b.step(choose(mask, rng))
            finished += np.count_nonzero(done)
            b.reset(done)
        return finished
    return run


def game_selfplay(observe):
    """fn(games): plays `games` games one after another through Game."""
    from drevik_gravline import Game
    rng = random.Random(1)
    choice = rng.choice
    f32 = np.float32

    def run(games):
        for _ in range(games):
            g = Game(W, H)
            legal, apply, over = g.legal_action_indices, g.apply_action, g.is_over
            while not over():
                if observe:
                    np.asarray(g.encode_spatial_planes()[0], f32)
                apply(choice(legal()))
        return games
    return run


def pgx_selfplay(observe, count=GAMES, plies=64):
    """fn(chunks): plays `chunks` compiled runs of `plies` plies over the batch."""
    import jax
    import jax.numpy as jnp
    import pgx

    env = pgx.make("connect_four")
    init, step = jax.vmap(env.init), jax.vmap(env.step)

    def ply(carry, _):
        state, key, finished = carry
        key, k_act, k_new = jax.random.split(key, 3)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        action = jax.random.categorical(k_act, logits, axis=-1)
        state = step(state, action)
        done = state.terminated | state.truncated
        finished = finished + done.sum()
        fresh = init(jax.random.split(k_new, count))
        # Finished games start again at once, as in the other loops.
        state = jax.tree_util.tree_map(
            lambda a, b: jnp.where(done.reshape((-1,) + (1,) * (a.ndim - 1)), b, a), state, fresh)
        out = state.observation if observe else None
        return (state, key, finished), out

    @jax.jit
    def chunk(state, key):
        (state, key, finished), obs = jax.lax.scan(ply, (state, key, jnp.int32(0)), None, length=plies)
        return state, key, finished, obs

    key = jax.random.PRNGKey(1)
    holder = [init(jax.random.split(key, count)), key]
    jax.block_until_ready(chunk(*holder))  # compiled before anything is timed

    def run(chunks):
        finished = 0
        for _ in range(chunks):
            state, k, n, obs = chunk(*holder)
            holder[0], holder[1] = state, k
            finished += int(n)  # waits for the result
            if observe:
                np.asarray(obs)
        return finished
    return run


def per_game(samples_fn, reps, target_s):
    """Seconds per finished game for each case: fn(n) runs n units and returns
    the finished games; units are calibrated to target_s, cases interleaved."""
    cases = {}
    for name, fn in samples_fn.items():
        number = 1
        while True:
            t = time.process_time()
            games = fn(number)
            if time.process_time() - t >= target_s or number >= 1 << 16:
                break
            number *= 2
        cases[name] = (fn, number)
    samples = {name: [] for name in cases}
    names = list(cases)
    for rep in range(reps):
        for name in names if rep % 2 == 0 else reversed(names):
            fn, number = cases[name]
            gc.disable()
            try:
                t = time.process_time()
                games = fn(number)
                samples[name].append((time.process_time() - t) / max(games, 1))
            finally:
                gc.enable()
    return {name: median(s) for name, s in samples.items()}


def pgx_note():
    try:
        import pgx  # noqa: F401
    except ImportError:
        return f"not installed for CPython {sys.version_info[0]}.{sys.version_info[1]}"
    return ""


def selfplay_rows(reps, target_s):
    rows = []
    note = pgx_note()
    for observe in (False, True):
        cases = {"batch": ours_selfplay(observe), "game": game_selfplay(observe)}
        if not note:
            cases["pgx"] = pgx_selfplay(observe)
        med = per_game(cases, reps, target_s)
        what = "with observe() every ply" if observe else "legal_mask + NumPy choice + step"
        base = "per-game Game loop" + (" with float32 planes" if observe else "")
        goal_game = (0.05, "≥ 20x faster (≤ 0.05)") if observe else (0.25, "≥ 4x faster (≤ 0.25)")
        goal_pgx = (0.5, "≥ 2x faster (≤ 0.50)") if observe else (0.1, "≥ 10x faster (≤ 0.10)")
        label = f"batch self-play 7x6, {GAMES} games, {what}, per finished game"
        rows.append(Row(label, med["batch"], base, med["game"], goal=goal_game[0], goal_text=goal_game[1]))
        rows.append(Row(label, med["batch"], "pgx (jit, CPU)", med.get("pgx"), goal=goal_pgx[0],
                        goal_text=goal_pgx[1], note=note))
    return rows


def played_batch(count, plies=10, seed=3):
    from drevik_gravline_batch import GameBatch
    b = GameBatch(count, W, H)
    rng = np.random.default_rng(seed)
    for _ in range(plies):
        mask = b.legal_mask()
        b.step(choose(mask, rng))
    return b


def observe_rows(reps):
    b = played_batch(GAMES)
    out = np.empty((GAMES, 17, H, W), np.float32)
    src = b.observe()
    dst = np.empty_like(src)
    copyto = np.copyto

    def observe(n):
        for _ in range(n):
            b.observe(out=out)

    def copy(n):
        for _ in range(n):
            copyto(dst, src)
    s = interleaved({"observe": observe, "copy": copy}, reps)
    return [Row(f"observe(out=) of {GAMES} 7x6 games ({src.nbytes:,} bytes)", median(s["observe"]),
                "np.copyto of the same bytes", median(s["copy"]), goal=2.0, goal_text="≤ 2x")]


def encode_rows(reps, count=256):
    from drevik_gravline_batch import encode_games
    b = played_batch(count, plies=12, seed=5)
    games = [b.game(i) for i in range(count)]
    f32 = np.float32

    def batched(n):
        for _ in range(n):
            encode_games(games)

    def stacked(n):
        for _ in range(n):
            np.stack([np.asarray(g.encode_spatial_planes()[0], f32).reshape(17, H, W) for g in games])
    s = interleaved({"batched": batched, "stacked": stacked}, reps)
    return [Row(f"encode_games of {count} Games (7x6)", median(s["batched"]),
                "np.stack of per-game float32 planes", median(s["stacked"]), goal=0.1,
                goal_text="≥ 10x faster (≤ 0.10)")]


def threads_rows(reps, count=16384):
    """step + observe of one batch with threads=2 against threads=1, wall clock."""
    from drevik_gravline_batch import GameBatch
    setups = {}
    for k in (1, 2):
        b = GameBatch(count, W, H, threads=k)
        rng = np.random.default_rng(7)
        setups[k] = (b, rng, np.empty((count, W), bool), np.empty((count, 17, H, W), np.float32))

    def ply(k):
        b, rng, mask, planes = setups[k]
        b.reset(b.is_over())
        b.legal_mask(out=mask)
        actions = choose(mask, rng)
        t = time.perf_counter()
        b.step(actions)
        b.observe(out=planes)
        return time.perf_counter() - t

    # The same bytes written by NumPy alone, on one thread and on two: how far
    # two threads can speed up writing the planes on this machine at all.
    from concurrent.futures import ThreadPoolExecutor
    helper = ThreadPoolExecutor(1)
    target = setups[1][3]
    half = len(target) // 2

    def fill(k):
        t = time.perf_counter()
        if k == 1:
            target.fill(1.0)
        else:
            other = helper.submit(target[half:].fill, 1.0)
            target[:half].fill(1.0)
            other.result()
        return time.perf_counter() - t

    samples = {1: [], 2: []}
    stores = {1: [], 2: []}
    for k in (1, 2):
        for _ in range(5):
            ply(k)  # warm-up: pages of the outputs touched, threads started once
            fill(k)
    for rep in range(reps * 4):
        for k in ((1, 2) if rep % 2 == 0 else (2, 1)):
            samples[k].append(ply(k))
            stores[k].append(fill(k))
    helper.shutdown()
    mb = target.nbytes / 1e6
    return [Row(f"step + observe of {count} 7x6 games, threads=2 (wall clock)", median(samples[2]),
                "threads=1", median(samples[1]), goal=1 / 1.6, goal_text="≥ 1.6x faster (≤ 0.62)"),
            Row(f"the memory's ceiling: ndarray.fill of the same {mb:.0f} MB on 2 threads (wall clock)",
                median(stores[2]), "on 1 thread", median(stores[1]))]


def memory_rows(count=100_000):
    from drevik_gravline_batch import GameBatch
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    b = GameBatch(count, W, H)
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del b
    per_game = (after - before) / count
    return [Row(f"memory per 7x6 game in a GameBatch of {count:,} (tracemalloc)", per_game,
                "the 96-byte budget", 96.0, unit="B", goal=1.0, goal_text="≤ 96 B")]


def suite_rows(reps=21, target_s=0.2):
    rows = selfplay_rows(max(reps // 3, 3), target_s)
    rows += observe_rows(reps)
    rows += encode_rows(reps)
    rows += threads_rows(reps)
    rows += memory_rows()
    note = ("batch: self-play medians of per-finished-game CPU time; pgx "
            + (pgx_note() or "timed after compilation, its JAX threads' CPU time included")
            + "; threads row wall clock")
    return rows, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=21, help="interleaved repetitions")
    parser.add_argument("--only", choices=["selfplay", "observe", "encode", "threads", "memory"])
    args = parser.parse_args()
    if args.only:
        make = {"selfplay": lambda: selfplay_rows(max(args.reps // 3, 3), 0.2),
                "observe": lambda: observe_rows(args.reps), "encode": lambda: encode_rows(args.reps),
                "threads": lambda: threads_rows(args.reps), "memory": memory_rows}[args.only]
        print(table(make()))
        return
    rows, note = suite_rows(args.reps)
    print(f"CPython {sys.version.split()[0]}, {args.reps} interleaved repetitions; {note}")
    print(table(rows))


if __name__ == "__main__":
    main()
