# Type stubs for the drevik_gravline extension module, installed as the
# stub-only package drevik_gravline-stubs beside the module.
# Kept in step with the built module by `python -m mypy.stubtest drevik_gravline`.
from typing import ClassVar, Final, Literal, Self, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "Board",
    "Game",
    "Move",
    "GameOutcome",
    "augment_symmetries",
    "RED",
    "YELLOW",
    "SPATIAL_INPUT_PLANES",
    "GLOBAL_INPUT_FEATURES",
]

_Player: TypeAlias = Literal[1, -1]
_F32: TypeAlias = NDArray[np.float32]

RED: Final[int]
YELLOW: Final[int]
SPATIAL_INPUT_PLANES: Final[int]
GLOBAL_INPUT_FEATURES: Final[int]

@final
class Board:
    """A bare board: width, height and the pieces, with no turn or history."""

    def __new__(cls, width: SupportsIndex, height: SupportsIndex) -> Self:
        """An empty board of width x height cells, each 4 to 32."""
    def __copy__(self) -> Self:
        """A new board with the same pieces."""
    def __deepcopy__(self, memo: dict[int, object]) -> Self:
        """A new board with the same pieces."""
    @staticmethod
    def standard() -> Board:
        """An empty 7 x 6 board."""
    def width(self) -> int:
        """Number of columns."""
    def height(self) -> int:
        """Number of rows."""
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> _Player | None:
        """The piece on a cell: 1 Red, -1 Yellow, None empty or off the board."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: SupportsIndex | None) -> None:
        """Puts a piece (1, -1) on a cell or empties it (None), without gravity."""
    def clear(self) -> None:
        """Empties every cell."""
    def is_board_full(self) -> bool:
        """True when every top-row cell is occupied."""
    def is_column_full(self, col: SupportsIndex) -> bool:
        """True when the column's top cell is occupied (or it is off the board)."""
    def column_height(self, col: SupportsIndex) -> int:
        """Number of pieces in the column (0 off the board)."""
    def _repr_svg_(self) -> str:
        """The drawing as SVG, for notebooks."""

@final
class Game:
    """A game in progress or finished, on a board of 4 to 32 columns and rows."""

    def __new__(cls, width: SupportsIndex, height: SupportsIndex) -> Self:
        """A new game on a width x height board, each 4 to 32, Red to move."""
    def __copy__(self) -> Self:
        """A new, independent game, history included (as clone())."""
    def __deepcopy__(self, memo: dict[int, object]) -> Self:
        """A new, independent game, history included (as clone())."""
    def __hash__(self) -> int:
        """A stable hash of the pieces, size and turn (not the status or the history)."""
    @staticmethod
    def standard() -> Game:
        """A new 7 x 6 game."""
    def width(self) -> int:
        """Number of columns."""
    def height(self) -> int:
        """Number of rows."""
    def get_piece(self, col: SupportsIndex, row: SupportsIndex) -> _Player | None:
        """The piece on a cell: 1 Red, -1 Yellow, None empty or off the board."""
    def set_piece(self, col: SupportsIndex, row: SupportsIndex, piece: SupportsIndex | None) -> None:
        """Edits one cell (1, -1 or None); turn, status and history stay as they are."""
    def turn(self) -> _Player:
        """The player to move: 1 Red, -1 Yellow."""
    def is_over(self) -> bool:
        """True once a move made four in a row or filled the board."""
    def legal_action_indices(self) -> list[int]:
        """The columns that take a piece, left to right; none once over."""
    def apply_action(self, action: SupportsIndex) -> bool:
        """Drops a piece into column `action`; False (nothing changed) if refused."""
    def encode_spatial_planes(self) -> tuple[list[float], int, int, int]:
        """The 17 input planes as a flat list, with their count, height and width."""
    def encode_global_state_features(self) -> list[float]:
        """The global features: an empty list."""
    def decode_action(self, action: SupportsIndex) -> Move | None:
        """The move that lands in column `action`, or None for a full or missing column."""
    def total_actions(self) -> int:
        """Number of actions: one per column."""
    def board_shape(self) -> tuple[int, int]:
        """(height, width)."""
    def spatial_input_plane_count(self) -> int:
        """Number of input planes: 17."""
    def global_input_feature_count(self) -> int:
        """Number of global features: 0."""
    def reward_absolute(self) -> float:
        """1.0 if Red won, -1.0 if Yellow won, 0.0 for a draw or a game in progress."""
    def reward_from_perspective(self, perspective: SupportsIndex) -> float:
        """The reward for `perspective` (1 or -1); 0.0 while the game runs."""
    def outcome(self) -> GameOutcome | None:
        """How the game ended, or None while it runs."""
    def legal_moves(self) -> list[Move]:
        """One move per column that takes a piece, left to right; none once over."""
    def is_legal_move(self, move_: Move) -> bool:
        """True if the move may be played now, landing row included."""
    def make_move(self, move_: Move) -> bool:
        """Plays a legal move; False (nothing changed) if it is not legal."""
    def unmake_move(self) -> bool:
        """Takes back the last move; False if there is none."""
    def board(self) -> Board:
        """A copy of the board."""
    def clone(self) -> Game:
        """An independent copy of the game, history included."""
    def state_hash(self) -> int:
        """A stable 64-bit hash of the position, turn, status and last seven moves."""
    def transposition_hash(self) -> int:
        """A stable 64-bit hash of the position, turn and status."""
    def _repr_svg_(self) -> str:
        """The drawing as SVG, for notebooks."""

@final
class Move:
    """A drop: the column (0 = leftmost) and the row it lands in (0 = bottom)."""

    def __new__(cls, col: SupportsIndex, row: SupportsIndex) -> Self:
        """The move into column `col` landing on row `row` (each reduced modulo 256)."""
    def __eq__(self, other: object, /) -> bool:
        """Equal when column and row are."""
    def __ne__(self, other: object, /) -> bool:
        """Different when column or row is."""
    def __hash__(self) -> int:
        """A stable hash of column and row."""
    def __copy__(self) -> Self:
        """The move itself: moves never change."""
    def __deepcopy__(self, memo: dict[int, object]) -> Self:
        """The move itself: moves never change."""
    def col(self) -> int:
        """The column, 0 = leftmost."""
    def row(self) -> int:
        """The row the piece lands on, 0 = bottom."""
    def encode(self) -> int:
        """The action of the move: its column."""
    @staticmethod
    def decode(data: SupportsIndex, game: Game) -> Move:
        """The move that lands in column `data` of `game`; ValueError if there is none."""

@final
class GameOutcome:
    """The result of a finished game; made only by Game.outcome()."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool:
        """Equal when both are the same result."""
    def __ne__(self, other: object, /) -> bool:
        """Different when the results differ."""
    def __copy__(self) -> Self:
        """The outcome itself: outcomes never change."""
    def __deepcopy__(self, memo: dict[int, object]) -> Self:
        """The outcome itself: outcomes never change."""
    def winner(self) -> _Player | None:
        """1 Red, -1 Yellow, or None for a draw."""
    def encode_winner_absolute(self) -> float:
        """1.0 Red won, -1.0 Yellow won, 0.0 draw."""
    def encode_winner_from_perspective(self, perspective: SupportsIndex) -> float:
        """The result for `perspective` (1 or -1): 1.0 won, -1.0 lost, 0.0 draw."""
    def is_draw(self) -> bool:
        """True for a draw."""

def augment_symmetries(
    states: _F32,
    policies: _F32,
    values: _F32,
    opponent_policies: _F32,
    opponent_policy_masks: _F32,
) -> tuple[_F32, _F32, _F32, _F32, _F32]:
    """The batch doubled: the samples as given, then their left-right mirrors."""
