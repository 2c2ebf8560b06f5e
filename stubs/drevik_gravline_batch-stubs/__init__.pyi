# Type stubs for the drevik_gravline_batch extension module, installed as the
# stub-only package drevik_gravline_batch-stubs beside the module.
# Kept in step with the built module by `python -m mypy.stubtest drevik_gravline_batch`.
import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Records", "self_play"]

_F32: TypeAlias = NDArray[np.float32]

class _TrainingArrays(TypedDict):
    """The five float32 training arrays of Records.expand(), one row per sample."""

    states: _F32
    policies: _F32
    values: _F32
    opponent_policies: _F32
    opponent_policy_masks: _F32

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

@final
class Records:
    """Positions of self-play games stored compactly, one record per position before a move."""

    def __len__(self) -> int: ...
    def width(self) -> int:
        """The board's width."""
    def height(self) -> int:
        """The board's height."""
    def arrays(self) -> _RecordArrays:
        """The compact fields as a dict of new NumPy arrays, one row per record."""
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
