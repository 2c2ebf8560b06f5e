"""Random self-play through Python on the 7 x 6 board, the same loop for every
engine: list the legal actions, pick one with random.choice, apply it, until the
game is over. Time per game, interleaved repetitions, medians.

    PYTHONPATH=<dir holding the module> python3 bench/bench_selfplay.py [--reps N]

Engines: drevik_gravline, OpenSpiel's connect_four (pyspiel), PettingZoo's
connect_four_v3 (its AEC API: env.last() and the action mask), and the plain
Python bitboard of pybitboard.py. A peer that is not installed is left out with
a note. Every engine lists actions in column order, so the same seed plays the
same games on all of them; that is checked before anything is timed. It only
measures; it never passes or fails.
"""

import argparse
import random
import sys

from common import Row, interleaved, median, table
from pybitboard import BitboardGame


# Each adapter returns start(): a new game as three callables (legal actions,
# apply an action, is it over), bound to the engine's own methods wherever the
# engine has them, so the loop below adds the same few steps for every engine.

def ours():
    from drevik_gravline import Game

    def start():
        g = Game(7, 6)
        return g.legal_action_indices, g.apply_action, g.is_over
    return start


def openspiel():
    import pyspiel
    game = pyspiel.load_game("connect_four")

    def start():
        s = game.new_initial_state()
        return s.legal_actions, s.apply_action, s.is_terminal
    return start


def pettingzoo():
    import numpy as np
    from pettingzoo.classic import connect_four_v3
    env = connect_four_v3.env()
    flatnonzero = np.flatnonzero

    def start():
        env.reset()
        mask = [None]

        # One env.last() per turn: it answers whether the game is over and
        # brings the action mask that legal() then reads.
        def over():
            observation, _, terminated, truncated, _ = env.last()
            mask[0] = observation["action_mask"]
            return terminated or truncated

        def legal():
            return flatnonzero(mask[0]).tolist()
        return legal, env.step, over
    return start


def pybitboard():
    def start():
        b = BitboardGame()
        return b.legal_actions, b.apply, b.is_over
    return start


ENGINES = {
    "ours": ours,
    "OpenSpiel": openspiel,
    "PettingZoo": pettingzoo,
    "plain-Python bitboard": pybitboard,
}


def play(start, games, rng):
    """The self-play loop; returns the number of moves played."""
    choice = rng.choice
    moves = 0
    for _ in range(games):
        legal, apply, over = start()
        while not over():
            apply(choice(legal()))
            moves += 1
    return moves


def load():
    """The adapters that can be built here, and a note for each that cannot."""
    starts, missing = {}, {}
    for name, adapter in ENGINES.items():
        try:
            starts[name] = adapter()
        except ImportError as e:
            if name == "ours":
                raise
            missing[name] = f"not installed for CPython {sys.version_info[0]}.{sys.version_info[1]}"
    return starts, missing


def suite_rows(reps=21, target_s=0.1):
    """Rows of the suite's table: ours against each peer, seconds per game."""
    starts, missing = load()
    check = {name: play(start, 100, random.Random(7)) for name, start in starts.items()}
    same = len(set(check.values())) == 1
    cases = {}
    for name, start in starts.items():
        rng = random.Random(1)
        cases[name] = lambda n, start=start, rng=rng: play(start, n, rng)
    samples = interleaved(cases, reps, target_s)
    med = {name: median(s) for name, s in samples.items()}
    goals = {"OpenSpiel": (0.5, "≥ 2x faster (≤ 0.50)"), "PettingZoo": (0.05, "≥ 20x faster (≤ 0.05)")}
    rows = []
    for name in ENGINES:
        if name == "ours":
            continue
        goal, goal_text = goals.get(name, (None, ""))
        rows.append(Row("random self-play 7x6 through Python, per game", med["ours"], name,
                        med.get(name), goal=goal, goal_text=goal_text, note=missing.get(name, "")))
    note = ("same seed, same games on every engine" if same else
            f"engines disagree on the games of one seed (moves in 100 games: {check})")
    return rows, note


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=21, help="interleaved repetitions")
    args = parser.parse_args()
    rows, note = suite_rows(args.reps)
    print(f"CPython {sys.version.split()[0]}, {args.reps} interleaved repetitions, medians; {note}")
    print(table(rows))


if __name__ == "__main__":
    main()
