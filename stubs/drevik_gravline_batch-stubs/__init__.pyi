# Type stubs for the drevik_gravline_batch extension module, installed as the
# stub-only package drevik_gravline_batch-stubs beside the module.
# Kept in step with the built module by `python -m mypy.stubtest drevik_gravline_batch`.
import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, NotRequired, Self, SupportsIndex, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

from drevik_gravline import Game

__all__ = ["GameBatch", "encode_games", "Records", "self_play", "SolverBudgetExceeded", "Solver", "FULL_COLUMN", "Search", "self_play_search"]

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

class _TrainingArrays(TypedDict):
    """The five float32 training arrays of Records.expand(), one row per sample."""

    states: _F32
    policies: _F32
    values: _F32
    opponent_policies: _F32
    opponent_policy_masks: _F32
    root_values: NotRequired[_F32]  # records of version 2

class _RecordArrays(TypedDict):
    """The compact fields of Records.arrays(), one row per record."""

    red: NDArray[np.uint64]
    yellow: NDArray[np.uint64]
    last_moves: NDArray[np.uint8]
    turn: NDArray[np.int8]
    policy: NDArray[np.uint32]
    opponent_policy: NDArray[np.uint32]
    opponent_mask: NDArray[np.bool_]
    value: NDArray[np.int8]
    game: NDArray[np.uint32]
    ply: NDArray[np.uint16]
    action: NDArray[np.uint8]
    visits: NotRequired[NDArray[np.uint16]]  # records of version 2
    root_value: NotRequired[_F32]

@final
class Records:
    """Positions of self-play games stored compactly, one record per position before a move."""

    def __len__(self) -> int: ...
    def __getitem__(self, key: SupportsIndex | slice | ArrayLike, /) -> Records:
        """The chosen records as a new Records: one for an integer, a slice, or
        a 1-D array of indices or of len(self) booleans."""
    def width(self) -> int:
        """The board's width."""
    def height(self) -> int:
        """The board's height."""
    def arrays(self) -> _RecordArrays:
        """The compact fields as a dict of new NumPy arrays, one row per record."""
    def views(self) -> _RecordArrays:
        """The compact fields as read-only NumPy arrays over the records' own memory."""
    def expand(
        self,
        indices: ArrayLike | None = None,
        *,
        mirror: bool = False,
        out: _TrainingArrays | None = None,
    ) -> _TrainingArrays:
        """The training arrays of the chosen records, the mirrors after the originals."""
    def save(self, path: str | os.PathLike[str], compressed: bool = False) -> str:
        """Writes the records to an .npz file and returns its name."""
    @staticmethod
    def load(path: str | os.PathLike[str]) -> Records:
        """Records read from a file written by save()."""
    @staticmethod
    def from_arrays(width: int, height: int, **arrays: NDArray[Any]) -> Records:
        """Records from the eleven fields that arrays() returns, checked for consistency."""
    @staticmethod
    def gather(
        width: int, height: int, sources: Sequence[dict[str, NDArray[Any]]], source: ArrayLike, rows: ArrayLike
    ) -> Records:
        """Records of the picked rows of many sources, checked as from_arrays checks."""
    @staticmethod
    def concat(records: Sequence[Records]) -> Records:
        """One Records holding the given ones' records in the order given."""
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]: ...

def self_play(
    games: int,
    width: int,
    height: int,
    *,
    policy: Literal["tactical", "random"] = "tactical",
    seed: int = 0,
    threads: int = 1,
    progress: Callable[[int], object] | None = None,
    first_game: int = 0,
) -> Records:
    """Plays games first_game .. first_game + games - 1 and returns their Records."""

def _records_from_pickle(version: int, width: int, height: int, arrays: dict[str, NDArray[Any]]) -> Records: ...
def _crc32(data: bytes | bytearray | memoryview | NDArray[Any], value: SupportsIndex = 0) -> int:
    """zlib.crc32(data, value): the CRC-32 of a C-contiguous buffer, continuing from value."""

FULL_COLUMN: int
"""The score Solver.move_scores gives a full column: -1000, below every score."""

class SolverBudgetExceeded(RuntimeError):
    """A solver search passed its max_nodes or time_limit; the solver stays usable."""

@final
class Solver:
    """An exact solver for positions of one board size, its table kept between calls."""
    def __new__(
        cls,
        width: int,
        height: int,
        *,
        table_mb: int = 64,
        threads: int = 1,
        max_nodes: int | None = None,
        time_limit: float | None = None,
    ) -> Self: ...
    def score(
        self, game: Game, *, weak: bool = False, max_nodes: int | None = ..., time_limit: float | None = ...
    ) -> int:
        """The exact score for the side to move (weak=True: its sign only)."""
    def move_scores(
        self, game: Game, *, max_nodes: int | None = ..., time_limit: float | None = ...
    ) -> NDArray[np.int32]:
        """Each column's score for the side to move; FULL_COLUMN for a full column."""
    def best_moves(self, game: Game, *, max_nodes: int | None = ..., time_limit: float | None = ...) -> list[int]:
        """The columns whose move keeps the exact score, left to right."""
    def scores(
        self,
        games: GameBatch | Sequence[Game],
        *,
        weak: bool = False,
        max_nodes: int | None = ...,
        time_limit: float | None = ...,
    ) -> NDArray[np.int32]:
        """score() of each game, over the solver's threads."""
    def clear(self) -> None:
        """Empties the transposition table."""
    def width(self) -> int: ...
    def height(self) -> int: ...
    def nodes(self) -> int:
        """Nodes searched by the last call that finished or ran out of budget."""
    def table_bytes(self) -> int:
        """The transposition table's size in bytes (a power of two)."""

@final
class Search:
    """A tree search per root position, its leaves evaluated in one array per step."""

    def __new__(cls, games: GameBatch | Sequence[Game], *, simulations: SupportsIndex,
                algorithm: Literal["puct", "gumbel"] = "puct", leaves_per_step: SupportsIndex = 1,
                c_puct_init: float = 1.25, c_puct_base: float = 19652, dirichlet_alpha: float = 0.3,
                dirichlet_fraction: float = 0.25, gumbel_samples: SupportsIndex = 16,
                gumbel_scale: float = 1.0, c_visit: float = 50.0, c_scale: float = 1.0,
                seed: SupportsIndex = 0, threads: SupportsIndex = 1) -> Self:
        """One tree per root; the roots are copied, none may be finished."""
    def select(self, out: _F32 | None = None) -> tuple[_F32, _Bool]:
        """This step's leaves: planes (L, 17, H, W) and legal mask (L, W)."""
    def expand(self, priors: ArrayLike, values: ArrayLike) -> None:
        """The leaves' logits (L, W) and values (L,) for the side to move, backed up."""
    def run(self, evaluate: Callable[[_F32, _Bool], tuple[ArrayLike, ArrayLike]] | Literal["rollout"]) -> None:
        """Runs the search to its end, one evaluate call per step, or with random playouts."""
    def done(self) -> bool:
        """Whether every tree has run its simulations."""
    def visit_counts(self) -> NDArray[np.uint32]:
        """The root children's visits, (games, width)."""
    def policy(self, temperature: float = 1.0) -> _F32:
        """The search's distribution over columns, (games, width)."""
    def root_values(self) -> _F32:
        """Each root's value for its side to move."""
    def best_actions(self) -> NDArray[np.int64]:
        """The column to play at each root; -1 for a stopped tree."""
    def sample_actions(self, temperature: float = 1.0, seed: SupportsIndex = 0) -> NDArray[np.int64]:
        """A column per root drawn from policy(temperature)."""
    def advance(self, actions: _Actions, *, finished: Literal["stop", "restart"] = "stop") -> None:
        """Each root plays its action, keeping that child's subtree."""
    def stopped(self) -> _Bool:
        """Whether each tree's game ended."""
    def count(self) -> int:
        """The number of trees."""

def self_play_search(
    games: SupportsIndex,
    width: SupportsIndex,
    height: SupportsIndex,
    *,
    evaluate: Callable[[_F32, _Bool], tuple[ArrayLike, ArrayLike]] | Literal["rollout"],
    simulations: SupportsIndex,
    algorithm: Literal["puct", "gumbel"] = "puct",
    leaves_per_step: SupportsIndex = 1,
    c_puct_init: float = 1.25,
    c_puct_base: float = 19652,
    dirichlet_alpha: float = 0.3,
    dirichlet_fraction: float = 0.25,
    gumbel_samples: SupportsIndex = 16,
    gumbel_scale: float = 1.0,
    c_visit: float = 50.0,
    c_scale: float = 1.0,
    seed: SupportsIndex = 0,
    threads: SupportsIndex = 1,
    temperature_moves: SupportsIndex = 8,
    progress: Callable[[int], object] | None = None,
) -> Records:
    """Games played with a search per move, as version 2 Records."""
