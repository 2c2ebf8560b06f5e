"""Plays random games and prints the last finished board with its result."""

import random
import sys

import drevik_gravline as gl


def play(width: int, height: int, rng: random.Random) -> gl.Game:
    game = gl.Game(width, height)
    while not game.is_over():
        game.apply_action(rng.choice(game.legal_action_indices()))
    return game


def main() -> None:
    games = int(sys.argv[1]) if len(sys.argv) > 1 else 100
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
