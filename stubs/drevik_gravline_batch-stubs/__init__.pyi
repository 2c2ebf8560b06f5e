# Type stubs for the drevik_gravline_batch extension module, installed as the
# stub-only package drevik_gravline_batch-stubs beside the module.
# Kept in step with the built module by `python -m mypy.stubtest drevik_gravline_batch`.
from collections.abc import Sequence
from typing import Any, Self, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

from drevik_gravline import Game

__all__ = ["GameBatch", "encode_games"]

_F32: TypeAlias = NDArray[np.float32]
_Bool: TypeAlias = NDArray[np.bool_]
_Actions: TypeAlias = NDArray[np.integer[Any]] | Sequence[SupportsIndex]

@final
class GameBatch:
    """Many games of one size, stepped and observed together."""

    def __new__(cls, count: SupportsIndex, width: SupportsIndex, height: SupportsIndex, *,
                threads: SupportsIndex = 1) -> Self:
        """`count` new games, Red to move in each, worked on by up to `threads` threads."""
    @classmethod
    def from_games(cls, games: Sequence[Game], *, threads: SupportsIndex = 1) -> GameBatch:
        """A batch holding copies of the given games, all of one size, with their histories."""
    def count(self) -> int:
        """The number of games."""
    def width(self) -> int:
        """The board width."""
    def height(self) -> int:
        """The board height."""
    def legal_mask(self, out: _Bool | None = None) -> _Bool:
        """Legal columns as a bool array (count, width); all False in a finished game."""
    def observe(self, out: _F32 | None = None) -> _F32:
        """Every game's planes as a float32 array (count, 17, height, width)."""
    def step(self, actions: _Actions) -> tuple[_F32, _Bool]:
        """Plays one column per game (-1 skips); returns float32 rewards and bool done."""
    def reset(self, mask: _Bool | Sequence[bool] | None = None) -> None:
        """Starts the selected games (all when None) again as new games."""
    def turns(self) -> NDArray[np.int8]:
        """The player to move in each game: 1 or -1."""
    def is_over(self) -> _Bool:
        """Whether each game is over."""
    def winners(self) -> NDArray[np.int8]:
        """Each game's winner, 1 or -1, and 0 for a draw or a game still running."""
    def move_counts(self) -> NDArray[np.int32]:
        """The number of moves in each game's history."""
    def state_hashes(self) -> NDArray[np.uint64]:
        """Each game's state_hash()."""
    def transposition_hashes(self) -> NDArray[np.uint64]:
        """Each game's transposition_hash()."""
    def game(self, i: SupportsIndex) -> Game:
        """A new Game equal to game i, its whole history included."""

def encode_games(games: Sequence[Game], out: _F32 | None = None) -> _F32:
    """The planes of Game objects of one size as a float32 array (len(games), 17, height, width)."""
