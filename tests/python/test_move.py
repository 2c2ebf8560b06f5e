"""The value classes Move and GameOutcome, and decoding an action into a Move."""
import pytest

import drevik_gravline as dg
from drevik_gravline import Move


@pytest.mark.parametrize("col, row, text, rep", [
    (3, 0, "col 3", "Move(col=3, row=0)"),
    (0, 5, "col 0", "Move(col=0, row=5)"),
    (40, 255, "col 40", "Move(col=40, row=255)"),
    (259, 257, "col 3", "Move(col=3, row=1)"),
    (2**64 - 1, 2**63, "col 255", "Move(col=255, row=0)"),
])
def test_move_keeps_low_bytes_and_prints(col, row, text, rep):
    m = Move(col, row)
    assert (str(m), repr(m)) == (text, rep)
    assert (m.col(), m.row(), m.encode()) == (col % 256, row % 256, col % 256)


class AlwaysEqual:
    def __eq__(self, other):
        return True


class Raising:
    def __eq__(self, other):
        raise ValueError("no comparison")


def test_move_equality():
    assert Move(3, 0) == Move(3, 0) and Move(256, 1) == Move(0, 1)
    assert Move(3, 0) != Move(3, 1) and Move(3, 0) != Move(4, 0)
    assert not (Move(3, 0) != Move(3, 0))
    assert Move(3, 0) != (3, 0) and not (Move(3, 0) == 3)
    assert Move(3, 0).__eq__((3, 0)) is NotImplemented
    # "!=" asks the interpreter's "==", so the other operand has its say.
    assert Move(1, 0) == AlwaysEqual() and not (Move(1, 0) != AlwaysEqual())
    with pytest.raises(ValueError):
        Move(1, 0) != Raising()  # noqa: B015


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_moves_are_not_ordered(op):
    with pytest.raises(TypeError) as exc:
        eval(f"a {op} b", {"a": Move(3, 0), "b": Move(4, 0)})
    assert str(exc.value) == (f"'{op}' not supported between instances of "
                              "'builtins.Move' and 'builtins.Move'")
    assert getattr(Move(3, 0), {"<": "__lt__", "<=": "__le__", ">": "__gt__",
                                ">=": "__ge__"}[op])(Move(4, 0)) is NotImplemented


def test_equal_moves_hash_equally(play):
    assert hash(Move(3, 1)) == hash(Move(259, 257))
    assert len({Move(c, r) for c in range(32) for r in range(32)}) == 1024
    a, b = dg.Game(7, 6), dg.Game(7, 6)
    play(a, [0, 1, 2])
    play(b, [2, 1, 0])
    assert set(a.legal_moves()) == set(b.legal_moves())
    assert {m: m.row() for m in a.legal_moves()}[Move(1, 1)] == 1


def finished(cols, size=(7, 6)):
    g = dg.Game(*size)
    for c in cols:
        assert g.make_move(Move(c, g.board().column_height(c)))
    assert g.is_over()
    return g.outcome()


RED_WIN = [0, 0, 1, 1, 2, 2, 3]
YELLOW_WIN = [0, 6, 1, 6, 0, 6, 1, 6]
DRAW = [3, 2, 1, 0, 2, 0, 0, 0, 3, 3, 1, 2, 3, 1, 2, 1]


@pytest.mark.parametrize("cols, size, winner, text, debug", [
    (RED_WIN, (7, 6), 1, "Red wins", "RedWin"),
    (YELLOW_WIN, (7, 6), -1, "Yellow wins", "YellowWin"),
    (DRAW, (4, 4), None, "Draw", "Draw"),
])
def test_outcome_values_and_texts(cols, size, winner, text, debug):
    o = finished(cols, size)
    assert (o.winner(), o.is_draw()) == (winner, winner is None)
    assert (str(o), repr(o)) == (text, f"GameOutcome({text})")
    assert type(o) is dg.GameOutcome


def test_outcomes_compare_by_kind():
    red, yellow, draw = finished(RED_WIN), finished(YELLOW_WIN), finished(DRAW, (4, 4))
    assert red == finished([6, 6, 5, 5, 4, 4, 3]) and red is not finished(RED_WIN)
    assert red != yellow and yellow != draw and not (red == draw)
    assert red != 0 and draw != 2 and yellow != -1
    assert red.__eq__(0) is NotImplemented
    with pytest.raises(TypeError) as exc:
        red < yellow  # noqa: B015
    assert str(exc.value) == ("'<' not supported between instances of "
                              "'builtins.GameOutcome' and 'builtins.GameOutcome'")


def test_outcomes_are_unhashable():
    with pytest.raises(TypeError) as exc:
        hash(finished(RED_WIN))
    assert str(exc.value) == "unhashable type: 'builtins.GameOutcome'"


# ---- decoding ----

def test_decode_gives_the_landing_move(play):
    g = dg.Game(7, 6)
    assert Move.decode(3, g) == Move(3, 0)
    play(g, [3, 3, 3])
    assert Move.decode(3, g) == Move(3, 3) and Move.decode(6, g) == Move(6, 0)
    assert Move.decode(data=3, game=dg.Game(32, 32)) == Move(3, 0)
    assert Move.decode(31, dg.Game(32, 32)) == Move(31, 0)


@pytest.mark.parametrize("data", [7, 8, 255, 256 + 3, 2**64 - 1])
def test_decode_off_the_board_is_an_invalid_move(data):
    with pytest.raises(ValueError) as exc:
        Move.decode(data, dg.Game(7, 6))
    assert str(exc.value) == "invalid move"


def test_decode_full_column_is_an_invalid_move(play):
    g = play(dg.Game(7, 6), [2] * 6)
    with pytest.raises(ValueError) as exc:
        Move.decode(2, g)
    assert str(exc.value) == "invalid move"


def test_decode_ignores_turn_and_state(play):
    g = play(dg.Game(7, 6), RED_WIN)
    assert g.is_over()
    assert Move.decode(0, g) == Move(0, 2)
    # A floating piece: the row is the column's piece count, not the first gap.
    g = dg.Game(7, 6)
    g.set_piece(4, 3, 1)
    assert Move.decode(4, g) == Move(4, 1)
    g.set_piece(4, 5, -1)
    assert Move.decode(4, g) == Move(4, 2)  # top cell filled, count still below height


@pytest.mark.parametrize("game, message", [
    (dg.Board(7, 6), "argument 'game': 'Board' object is not an instance of 'Game'"),
    (None, "argument 'game': 'None' is not an instance of 'Game'"),
    (Move(0, 0), "argument 'game': 'Move' object is not an instance of 'Game'"),
    (dg.Game, "argument 'game': 'type' object is not an instance of 'Game'"),
])
def test_decode_needs_a_game(game, message):
    with pytest.raises(TypeError) as exc:
        Move.decode(3, game)
    assert str(exc.value) == message


def test_decode_converts_data_before_reading_the_game(reenter):
    with pytest.raises(TypeError) as exc:
        Move.decode(3.0, dg.Board(7, 6))
    assert str(exc.value) == "argument 'data': 'float' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError):
        Move.decode(-1, None)
    # data's conversion runs before the game is borrowed, so it may still play.
    g = dg.Game(7, 6)
    arg = reenter(lambda: g.make_move(Move(2, 0)), value=2)
    assert Move.decode(arg, g) == Move(2, 1)
    assert arg.caught == ("ok", True)


def test_decode_in_an_exclusively_borrowed_game_is_refused(reenter):
    g = dg.Game(7, 6)
    arg = reenter(lambda: Move.decode(0, g))
    g.set_piece(arg, 0, 1)
    assert arg.caught == (RuntimeError, "Already mutably borrowed")
    assert Move.decode(0, g) == Move(0, 1)
