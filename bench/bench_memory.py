"""Memory held per Game: many games kept alive in a list, measured two ways.

    PYTHONPATH=<dir holding the module> python3 bench/bench_memory.py [--count N]

"traced" is what tracemalloc sees: the Python object allocations (the object
with its engine game inline, and the list slot of 8 bytes). "rss" is the growth
of the process's resident set, which also counts the move history buffers that
the engine allocates outside Python's allocator (a game holds up to 16 moves
inline, so only longer histories have one), and allocator overhead. Both
are divided by the number of games. Each case runs in a fresh process, so no
case reuses memory that an earlier one freed. OpenSpiel's connect_four states,
when pyspiel is installed, are measured the same way for comparison; only
"rss" sees their C++ allocations. It only measures; it never passes or fails.
"""

import argparse
import gc
import random
import subprocess
import sys
import tracemalloc

from drevik_gravline import Game, Move


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def played(width, height, moves, seed=1):
    rng, g = random.Random(seed), Game(width, height)
    for _ in range(moves):
        legal = g.legal_moves()
        if not legal:
            break
        g.make_move(rng.choice(legal))
    return g


def measure(make, count, traced):
    """Bytes per object for `count` objects made by make() and held in a list:
    traced by tracemalloc, or else the growth of the resident set (measured
    without tracemalloc, whose own tables would count)."""
    gc.collect()
    if traced:
        tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    held = [make() for _ in range(count)]
    after = tracemalloc.get_traced_memory()[0] if traced else rss_bytes()
    return (after - before) / count, sys.getsizeof(held[0])


def openspiel_game(width, height):
    import pyspiel
    return pyspiel.load_game("connect_four", {"columns": width, "rows": height})


def openspiel_state(width, height, moves, seed=1):
    rng = random.Random(seed)
    state = openspiel_game(width, height).new_initial_state()
    for _ in range(moves):
        if state.is_terminal():
            break
        state.apply_action(rng.choice(state.legal_actions()))
    return state


def openspiel_installed():
    try:
        import pyspiel  # noqa: F401
    except ImportError:
        return False
    return True


# Each entry builds the maker of one object, with any setup done once.
CASES = {
    "Game(7, 6)": lambda: lambda: Game(7, 6),
    "Game(32, 32)": lambda: lambda: Game(32, 32),
    "Game.standard()": lambda: Game.standard,
    "clone of new 7x6": lambda: Game(7, 6).clone,
    "clone of 7x6 after 10 moves": lambda: played(7, 6, 10).clone,
    "clone of 32x32 after 10 moves": lambda: played(32, 32, 10).clone,
    "Move(3, 0)": lambda: lambda: Move(3, 0),
    "OpenSpiel new state 7x6": lambda: openspiel_game(7, 6).new_initial_state,
    "OpenSpiel clone of 7x6 after 10 moves": lambda: openspiel_state(7, 6, 10).clone,
    "OpenSpiel new state 32x32": lambda: openspiel_game(32, 32).new_initial_state,
    "OpenSpiel clone of 32x32 after 10 moves": lambda: openspiel_state(32, 32, 10).clone,
}

# The suite's rows: ours, OpenSpiel's counterpart, and what the table calls it.
PAIRS = [
    ("Game(7, 6)", "OpenSpiel new state 7x6", "OpenSpiel new state"),
    ("clone of 7x6 after 10 moves", "OpenSpiel clone of 7x6 after 10 moves", "OpenSpiel clone"),
    ("Game(32, 32)", "OpenSpiel new state 32x32", "OpenSpiel new state"),
    ("clone of 32x32 after 10 moves", "OpenSpiel clone of 32x32 after 10 moves", "OpenSpiel clone"),
]


def run_case(name, count, traced):
    """(bytes per object, sys.getsizeof of one) of a case, in a fresh process."""
    flag = ["--traced"] if traced else []
    child = subprocess.run([sys.executable, __file__, "--count", str(count), "--case", name] + flag,
                           check=True, capture_output=True, text=True)
    per_object, size = child.stdout.split()
    return float(per_object), int(size)


def suite_rows(count=20_000):
    """Rows of the suite's table: resident bytes per object, ours and OpenSpiel's."""
    from common import Row
    have_openspiel = openspiel_installed()
    rows = []
    for ours, theirs, label in PAIRS:
        mine = run_case(ours, count, traced=False)[0]
        base = run_case(theirs, count, traced=False)[0] if have_openspiel else None
        rows.append(Row(f"memory, {ours}", mine, label, base, unit="B",
                        note="" if have_openspiel else "not installed"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--traced", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        per_object, size = measure(CASES[args.case](), args.count, args.traced)
        print(f"{per_object:.1f} {size}")
        return
    print(f"{args.count} objects each, bytes per object")
    print(f"{'case':40} {'getsizeof':>10} {'traced':>10} {'rss':>10}")
    have_openspiel = openspiel_installed()
    for name in CASES:
        if name.startswith("OpenSpiel") and not have_openspiel:
            continue
        (traced, size), (rss, _) = (run_case(name, args.count, flag) for flag in (True, False))
        print(f"{name:40} {size:>10} {traced:>10.1f} {rss:>10.1f}")


if __name__ == "__main__":
    main()
