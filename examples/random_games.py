"""Plays random games and prints the last finished board with its result."""

import argparse
import random

import drevik_gravline as gl


def play(width: int, height: int, rng: random.Random) -> gl.Game:
    game = gl.Game(width, height)
    while not game.is_over():
        game.apply_action(rng.choice(game.legal_action_indices()))
    return game


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("games", nargs="?", type=count, default=100,
                        help="how many games to play on 7x6 (default 100)")
    games = parser.parse_args().games
    rng = random.Random(2026)
    tally = {"Red wins": 0, "Yellow wins": 0, "Draw": 0}
    for _ in range(games):
        game = play(7, 6, rng)
        tally[str(game.outcome())] += 1
    print(game, end="")
    print("Result:", game.outcome())
    print(f"{games} random games on 7x6:", ", ".join(f"{k} {v}" for k, v in tally.items()))


if __name__ == "__main__":
    main()
