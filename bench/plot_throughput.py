"""Random self-play throughput on 7 x 6 as a plot: games per second against the
number of games stepped at a time, for GameBatch with and without reading the
planes, next to the per-game loop over Game, OpenSpiel and pgx as reference lines.

    PYTHONPATH=<dir holding the modules> python3 bench/plot_throughput.py \\
        [--out bench/throughput.svg] [--sizes 1,4,16,64,256,1024,4096] [--seconds 0.15]

Each ply of a GameBatch run is what a training loop does: legal_mask(), with
planes also observe(), a NumPy choice of a legal column per game, step(); games
that finish start again at once, and games/s counts finished games. Every point
is the median of three samples of process CPU time, measured in this run. A peer
that is not installed is left out with a note. Needs matplotlib (the benchmark
environment has it; the package does not depend on it). It only measures.
"""

import argparse
import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import bench_selfplay

HERE = Path(__file__).resolve().parent
WIDTH, HEIGHT = 7, 6
PGX_BATCH = 1024


def games_per_second(run, seconds, samples=3):
    """Median over `samples` of finished games per CPU second; run(budget) plays
    for about `budget` CPU seconds and returns (games finished, seconds used)."""
    rates = []
    for _ in range(samples):
        games, used = run(seconds)
        rates.append(games / used if used > 0 else float("nan"))
    return statistics.median(rates)


def batch_runner(count, planes):
    """Random play on a GameBatch of `count` games, as a closure over the budget."""
    from drevik_gravline_batch import GameBatch

    batch = GameBatch(count, WIDTH, HEIGHT)
    rng = np.random.default_rng(count)
    mask = np.empty((count, WIDTH), np.bool_)
    obs = np.empty((count, 17, HEIGHT, WIDTH), np.float32)

    def ply():
        batch.legal_mask(out=mask)
        if planes:
            batch.observe(out=obs)
        # The largest of uniform draws over the legal columns: a uniform legal column.
        actions = np.where(mask, rng.random(mask.shape), -1.0).argmax(axis=1)
        _, done = batch.step(actions)
        finished = int(done.sum())
        if finished:
            batch.reset(done)
        return finished

    for _ in range(2 * WIDTH * HEIGHT):  # games of every age, as in a long run
        ply()

    def run(budget):
        games, start = 0, time.process_time()
        while True:
            for _ in range(8):
                games += ply()
            used = time.process_time() - start
            if used >= budget and games:
                return games, used
    return run


def loop_runner(planes):
    """The per-game loop over Game; with `planes`, each position's planes as a float32 array."""
    from drevik_gravline import Game

    rng = random.Random(1)

    def play_one():
        g = Game(WIDTH, HEIGHT)
        while not g.is_over():
            if planes:
                np.asarray(g.encode_spatial_planes()[0], np.float32)
            g.apply_action(rng.choice(g.legal_action_indices()))

    return counted(play_one)


def openspiel_runner():
    start = bench_selfplay.openspiel()
    rng = random.Random(1)
    return counted(lambda: bench_selfplay.play(start, 1, rng))


def counted(play_one):
    def run(budget):
        games, begin = 0, time.process_time()
        while True:
            play_one()
            games += 1
            used = time.process_time() - begin
            if used >= budget:
                return games, used
    return run


def pgx_runner(count):
    """pgx's connect_four, `count` games at a time under jax.vmap, one whole
    game of every one compiled into a single call (so nothing restarts early)."""
    import jax
    import jax.numpy as jnp
    import pgx

    env = pgx.make("connect_four")
    init, step = jax.vmap(env.init), jax.vmap(env.step)

    @jax.jit
    def play(key):
        key, sub = jax.random.split(key)
        state = init(jax.random.split(sub, count))

        def body(carry):
            s, k = carry
            k, sub = jax.random.split(k)
            logits = jnp.where(s.legal_action_mask, 0.0, -jnp.inf)
            return step(s, jax.random.categorical(sub, logits, axis=-1)), k

        state, _ = jax.lax.while_loop(lambda c: ~c[0].terminated.all(), body, (state, key))
        return state.terminated.sum()

    keys = iter(jax.random.split(jax.random.PRNGKey(0), 1 << 16))
    play(next(keys)).block_until_ready()  # compiled outside the timing

    def run(budget):
        games, begin = 0, time.process_time()
        while True:
            games += int(play(next(keys)))
            used = time.process_time() - begin
            if used >= budget:
                return games, used
    return run


def measure(sizes, seconds):
    """The curves and the reference lines, and a note for each that is left out."""
    curves, lines, notes = {}, {}, []
    try:
        for planes, name in ((False, "GameBatch"), (True, "GameBatch + observe() planes")):
            curves[name] = [(n, games_per_second(batch_runner(n, planes), seconds)) for n in sizes]
            print(f"  {name}: " + ", ".join(f"{n}: {r:,.0f}" for n, r in curves[name]), file=sys.stderr)
    except (ImportError, AttributeError) as exc:
        notes.append(f"GameBatch left out: {exc}")
    references = {
        "Game, per-game loop": lambda: loop_runner(False),
        "Game loop + planes as float32 array": lambda: loop_runner(True),
        "OpenSpiel connect_four, per-game loop": openspiel_runner,
        f"pgx, {PGX_BATCH:,} games at a time (whole game compiled)": lambda: pgx_runner(PGX_BATCH),
    }
    for name, make in references.items():
        try:
            run = make()
        except ImportError as exc:
            notes.append(f"{name.split(',')[0]} left out: not installed ({exc.name})")
            continue
        lines[name] = games_per_second(run, seconds)
        print(f"  {name}: {lines[name]:,.0f}", file=sys.stderr)
    return curves, lines, notes


def plot(sizes, curves, lines, notes, out):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(10, 4.8))
    for (name, points), marker in zip(curves.items(), "os"):
        xs, ys = zip(*points)
        ax.plot(xs, ys, marker=marker, linewidth=2, label=name)
    styles = [("--", "0.2"), (":", "0.2"), ("-.", "tab:brown"), ((0, (6, 2)), "tab:purple")]
    for (name, rate), (style, colour) in zip(lines.items(), styles):
        ax.axhline(rate, linestyle=style, color=colour, linewidth=1.2, label=name)
    ax.set_xscale("log", base=2)
    ax.set_yscale("log")
    ax.set_xlim(min(sizes) / 1.5, max(sizes) * 1.5)
    ax.set_xticks(sizes, [f"{n:,}" for n in sizes])
    ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.yaxis.set_major_locator(matplotlib.ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
    ax.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda y, _: f"{y:,.0f}"))
    ax.yaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xlabel("games stepped at a time (GameBatch count)")
    ax.set_ylabel("games/s (finished games per CPU second)")
    ax.set_title(f"Random self-play, {WIDTH}x{HEIGHT}: throughput against batch size")
    ax.grid(True, which="both", linewidth=0.3)
    if curves or lines:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=8, frameon=False)
    if notes:
        fig.text(0.01, 0.01, "; ".join(notes), fontsize=7, color="0.3")
    fig.tight_layout(rect=(0, 0.03 if notes else 0, 1, 1))
    fig.savefig(out, metadata={"Date": None} if str(out).endswith(".svg") else None)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(HERE / "throughput.svg"), help="the plot (.svg or .png)")
    parser.add_argument("--sizes", default="1,4,16,64,256,1024,4096",
                        help="GameBatch counts, comma-separated")
    parser.add_argument("--seconds", type=float, default=0.15, help="CPU seconds per sample")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    print("measuring throughput for the plot ...", file=sys.stderr, flush=True)
    curves, lines, notes = measure(sizes, args.seconds)
    plot(sizes, curves, lines, notes, args.out)
    for note in notes:
        print(f"  {note}", file=sys.stderr)
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
