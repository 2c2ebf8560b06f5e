"""The Board class: construction, cell access, gravity queries, text and borrows."""
import sys

import pytest

import drevik_gravline as dg

# Sizes that cross the 64-bit word boundaries: 1, 1, 2, 4, 5, 16 and 16 words.
SIZES = [(4, 4), (8, 8), (9, 8), (16, 16), (13, 23), (31, 31), (32, 32)]


def test_new_board_is_empty_and_standard_matches():
    for b in (dg.Board(7, 6), dg.Board.standard()):
        assert repr(b) == "Board(width=7, height=6)"
        assert (b.width(), b.height()) == (7, 6)
        assert all(b.get_piece(c, r) is None for c in range(7) for r in range(6))
        assert [b.column_height(c) for c in range(7)] == [0] * 7
        assert not b.is_board_full()
        assert not any(b.is_column_full(c) for c in range(7))


@pytest.mark.parametrize("width, height", [
    (3, 6), (33, 6), (0, 6), (300, 6), (263, 6), (3, 3), (3, 300), (2**64 - 1, 6),
    (7, 3), (7, 33), (4, 0), (32, 262)])
def test_bad_sizes_are_refused_width_first(width, height):
    with pytest.raises(ValueError) as exc:
        dg.Board(width, height)
    bad = "width" if not 4 <= width <= 32 else "height"
    assert str(exc.value) == f"Board {bad} must be between 4 and 32"


@pytest.mark.parametrize("width, height", SIZES)
def test_every_cell_is_addressable(width, height):
    b = dg.Board(width, height)
    assert repr(b) == f"Board(width={width}, height={height})"
    for r in range(height):
        for c in range(width):
            b.set_piece(c, r, 1 if (c + r) % 3 else -1)
    assert all(b.get_piece(c, r) == (1 if (c + r) % 3 else -1)
               for r in range(height) for c in range(width))
    assert [b.column_height(c) for c in range(width)] == [height] * width
    assert b.is_board_full() and all(b.is_column_full(c) for c in range(width))
    b.clear()
    assert (b.width(), b.height()) == (width, height)
    assert not b.is_board_full()
    assert all(b.get_piece(c, r) is None for r in range(height) for c in range(width))


@pytest.mark.parametrize("width, height", SIZES)
def test_last_cell_does_not_leak_into_neighbours(width, height):
    b = dg.Board(width, height)
    b.set_piece(width - 1, height - 1, -1)
    assert b.is_column_full(width - 1)
    assert [b.column_height(c) for c in range(width)] == [0] * (width - 1) + [1]
    assert sum(b.get_piece(c, r) is not None for r in range(height) for c in range(width)) == 1
    assert not b.is_board_full()


def test_set_piece_replaces_and_empties():
    b = dg.Board(7, 6)
    b.set_piece(2, 0, -1)
    b.set_piece(2, 0, 1)
    assert b.get_piece(2, 0) == 1
    b.set_piece(2, 0, -1)
    assert b.get_piece(2, 0) == -1
    b.set_piece(2, 0, None)
    assert b.get_piece(2, 0) is None
    assert b.column_height(2) == 0


def test_off_board_coordinates_are_not_errors():
    b = dg.Board(7, 6)
    before = str(b)
    assert b.set_piece(7, 0, 1) is None
    assert b.set_piece(0, 6, 1) is None
    assert b.set_piece(255, 255, -1) is None
    assert str(b) == before
    assert b.get_piece(7, 0) is None and b.get_piece(0, 6) is None
    assert b.is_column_full(7) and b.is_column_full(300)
    assert b.column_height(7) == 0 and b.column_height(200) == 0


def test_coordinates_use_their_low_eight_bits():
    b = dg.Board(7, 6)
    b.set_piece(256 + 3, 512 + 1, 1)
    assert b.get_piece(3, 1) == 1
    assert b.get_piece(3 + 2**40, 1 + 2**63) == 1
    b.set_piece(6, 0, -1)
    assert b.column_height(262) == 1
    assert b.column_height(2**64 - 250) == 1  # low byte 6
    assert b.is_column_full(300)  # 44 is off the board


def test_floating_pieces_follow_the_top_cell_and_the_count():
    b = dg.Board(7, 6)
    b.set_piece(0, 5, 1)
    assert b.is_column_full(0)
    assert b.column_height(0) == 1
    for c in range(7):
        b.set_piece(c, 5, -1 if c % 2 else 1)
    assert b.is_board_full()
    assert b.column_height(3) == 1


@pytest.mark.parametrize("piece, error, message", [
    *[(p, BaseException, "Invalid player value") for p in (0, 2, -2, 127, -128)],
    (1.0, TypeError, "argument 'piece': 'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "argument 'piece': 'str' object cannot be interpreted as an integer"),
    (200, OverflowError, "out of range integral type conversion attempted"),
])
def test_bad_piece_leaves_the_board(piece, error, message):
    b = dg.Board(7, 6)
    b.set_piece(0, 0, 1)
    # The piece is checked before the coordinates, so an off-board cell fails alike.
    for col in (0, 99):
        with pytest.raises(error) as exc:
            b.set_piece(col, 0, piece)
        if error is BaseException:
            assert type(exc.value).__bases__ == (BaseException,)
        assert str(exc.value) == message
    assert b.get_piece(0, 0) == 1


def test_text_draws_top_row_first_with_labels():
    b = dg.Board(7, 6)
    b.set_piece(0, 0, 1)
    b.set_piece(6, 5, -1)
    assert str(b) == ("|.|.|.|.|.|.|Y|\n" + "|.|.|.|.|.|.|.|\n" * 4 + "|R|.|.|.|.|.|.|\n"
                      " 0 1 2 3 4 5 6 \n")


def test_text_of_smallest_and_wide_boards():
    b = dg.Board(4, 4)
    b.set_piece(3, 0, -1)
    b.set_piece(3, 1, 1)
    assert str(b) == "|.|.|.|.|\n|.|.|.|.|\n|.|.|.|R|\n|.|.|.|Y|\n 0 1 2 3 \n"
    assert str(dg.Board(12, 4)).splitlines(True)[-1] == " 0 1 2 3 4 5 6 7 8 9 10 11 \n"
    lines = str(dg.Board(32, 32)).split("\n")
    assert len(lines) == 34 and lines[-1] == ""
    assert lines[:32] == ["|" + ".|" * 32] * 32
    assert lines[32] == " " + " ".join(str(c) for c in range(32)) + " "


def test_boards_compare_by_identity():
    a, b = dg.Board(7, 6), dg.Board(7, 6)
    assert a == a and a != b
    assert hash(a) == object.__hash__(a)


# ---- borrows ----

BORROWED = (RuntimeError, "Already borrowed")
MUTABLY = (RuntimeError, "Already mutably borrowed")
# (outer call converting the reentrant argument, inner call, what the inner call met)
REENTRY = {
    "write in get_piece": (lambda b, x: b.get_piece(x, 0), lambda b: b.set_piece(0, 0, 1), BORROWED),
    "clear in column_height": (lambda b, x: b.column_height(x), lambda b: b.clear(), BORROWED),
    "bad piece in is_column_full": (lambda b, x: b.is_column_full(x),
                                    lambda b: b.set_piece(0, 0, 0), BORROWED),
    "read in set_piece col": (lambda b, x: b.set_piece(x, 0, 1), lambda b: b.get_piece(0, 0), MUTABLY),
    "str in set_piece row": (lambda b, x: b.set_piece(0, x, 1), lambda b: str(b), MUTABLY),
    "repr in set_piece piece": (lambda b, x: b.set_piece(2, 0, x), lambda b: repr(b), MUTABLY),
    "full in set_piece": (lambda b, x: b.set_piece(x, 0, 1), lambda b: b.is_board_full(), MUTABLY),
    "clear in set_piece": (lambda b, x: b.set_piece(x, 0, 1), lambda b: b.clear(), BORROWED),
    "bad col in set_piece": (lambda b, x: b.set_piece(x, 0, 1), lambda b: b.get_piece("x", 0), MUTABLY),
    "binding in set_piece": (lambda b, x: b.set_piece(x, 0, 1), lambda b: b.get_piece(1, 2, 3),
                             (TypeError, "Board.get_piece() takes 2 positional arguments but 3 were given")),
    "readers nest": (lambda b, x: b.get_piece(x, 0), lambda b: (b.width(), b.column_height(0)),
                     ("ok", (7, 1))),
}


@pytest.mark.parametrize("outer, inner, caught", REENTRY.values(), ids=REENTRY.keys())
def test_reentrant_access_meets_the_borrow(reenter, outer, inner, caught):
    b = dg.Board(7, 6)
    b.set_piece(0, 0, -1)
    arg = reenter(lambda: inner(b), value=1)
    outer(b, arg)
    assert arg.caught == caught
    assert b.get_piece(0, 0) == -1
    b.set_piece(5, 5, 1)
    assert b.get_piece(5, 5) == 1


def test_borrow_is_released_after_every_failure(reenter):
    b = dg.Board(7, 6)
    failures = [
        lambda: b.set_piece(reenter(b.width, propagate=False), 0, 0),  # panic
        lambda: b.set_piece(reenter(b.width, propagate=True), 0, 1),  # inner RuntimeError raised
        lambda: b.get_piece(reenter(b.clear, propagate=True), 0),
        lambda: b.set_piece("x", 0, 1),
        lambda: b.column_height(-1),
        lambda: b.set_piece(0, 0, 1000),
    ]
    for fail in failures:
        with pytest.raises(BaseException):
            fail()
        b.set_piece(0, 0, 1)
        assert b.get_piece(0, 0) == 1
        b.clear()


def test_borrow_is_taken_before_conversion(reenter):
    b = dg.Board(7, 6)
    arg = reenter(lambda: b.get_piece("bad", 0))
    b.set_piece(arg, 0, 1)
    assert arg.caught == (RuntimeError, "Already mutably borrowed")
    arg = reenter(lambda: b.set_piece(0, 0, 0))
    b.get_piece(arg, 0)
    assert arg.caught == (RuntimeError, "Already borrowed")
    arg = reenter(lambda: b.get_piece(1, 2, 3))
    b.set_piece(arg, 0, 1)
    assert arg.caught == (TypeError, "Board.get_piece() takes 2 positional arguments but 3 were given")


def test_reference_counts_are_unchanged():
    b = dg.Board(7, 6)
    col, piece = 2**63 + 3, -1
    bad = 2**80
    counts = [sys.getrefcount(x) for x in (b, col, bad)]
    for _ in range(3):
        b.set_piece(col, 0, piece)
        b.get_piece(col, 0)
        b.column_height(col)
        with pytest.raises(OverflowError):
            b.set_piece(0, 0, bad)
        with pytest.raises(OverflowError):
            b.get_piece(0, bad)
        with pytest.raises(OverflowError):
            dg.Board(bad, 6)
    assert [sys.getrefcount(x) for x in (b, col, bad)] == counts
