"""The Game class: play, win, draw, take-back, editing, copies, texts and borrows."""
import random
import sys

import pytest

import drevik_gravline as dg
from drevik_gravline import Move

EMPTY_7X6 = "|.|.|.|.|.|.|.|\n" * 6 + " 0 1 2 3 4 5 6 \n"


def fresh_7x6_text():
    return "Game(turn: Red, is_over: false, outcome: None)\n" + EMPTY_7X6


def test_new_game_state():
    for g in (dg.Game(7, 6), dg.Game.standard()):
        assert (g.width(), g.height(), g.board_shape()) == (7, 6, (6, 7))
        assert (g.turn(), g.is_over(), g.outcome()) == (1, False, None)
        assert g.legal_moves() == [Move(c, 0) for c in range(7)]
        assert repr(g) == "Game(width=7, height=6, turn=Red, over=false)"
        assert str(g) == fresh_7x6_text()
        assert not g.unmake_move()


def test_every_size_is_accepted():
    for w in range(4, 33):
        for h in range(4, 33):
            g = dg.Game(w, h)
            assert g.board_shape() == (h, w)
            assert len(g.legal_moves()) == w
    for width, height, bad in [(3, 3, "width"), (263, 6, "width"), (7, 33, "height")]:
        with pytest.raises(ValueError) as exc:
            dg.Game(width, height)
        assert str(exc.value) == f"Board {bad} must be between 4 and 32"


def test_moves_need_the_exact_landing_row():
    g = dg.Game(7, 6)
    assert not g.make_move(Move(3, 1))
    assert str(g) == fresh_7x6_text()
    assert g.make_move(Move(3, 0)) and g.turn() == -1
    assert not g.is_legal_move(Move(3, 0)) and not g.make_move(Move(3, 0))
    assert g.is_legal_move(Move(3, 1)) and g.make_move(Move(3, 1))
    assert (g.get_piece(3, 0), g.get_piece(3, 1), g.turn()) == (1, -1, 1)
    assert not g.make_move(Move(7, 0)) and not g.is_legal_move(Move(263, 0))


def test_full_column_is_refused(play):
    g = play(dg.Game(7, 6), [3] * 6)
    assert Move(3, 6) not in g.legal_moves() and len(g.legal_moves()) == 6
    assert not g.make_move(Move(3, 6))
    assert g.turn() == 1


WINS = [
    ("red row", [0, 0, 1, 1, 2, 2, 3], 1),
    ("yellow column", [0, 6, 1, 6, 0, 6, 1, 6], -1),
    ("red rising right", [0, 1, 1, 2, 2, 3, 2, 3, 3, 6, 3], 1),
    ("yellow rising left", [6, 3, 2, 2, 1, 1, 0, 1, 0, 0, 6, 0], -1),
    ("red five", [0, 6, 1, 6, 3, 5, 4, 5, 2], 1),
]


@pytest.mark.parametrize("cols, winner", [w[1:] for w in WINS], ids=[w[0] for w in WINS])
def test_four_in_a_line_wins(play, cols, winner):
    g = play(dg.Game(7, 6), cols[:-1])
    assert not g.is_over()
    play(g, cols[-1:])
    name = "RedWin" if winner == 1 else "YellowWin"
    assert (g.is_over(), g.outcome().winner(), g.turn()) == (True, winner, -winner)
    assert g.legal_moves() == []
    assert not any(g.make_move(Move(c, g.board().column_height(c))) for c in range(7))
    assert str(g).startswith(f"Game(turn: {'Yellow' if winner == 1 else 'Red'}, is_over: true, "
                             f"outcome: Some({name}))\n")
    assert repr(g).endswith("over=true)")
    # Taking the winning move back reopens the game for the winner.
    last = cols[-1]
    assert g.unmake_move()
    assert (g.is_over(), g.outcome(), g.turn()) == (False, None, winner)
    assert g.get_piece(last, g.board().column_height(last)) is None
    assert Move(last, g.board().column_height(last)) in g.legal_moves()


# Cells given to one colour with set_piece, then that colour moves elsewhere:
# the line test covers all of the mover's pieces, so a four anywhere wins.
EDITED = [
    ("row", (7, 6), [(0, 0), (1, 0), (2, 0), (3, 0)], True),
    ("row wraps right edge", (7, 6), [(4, 0), (5, 0), (6, 0), (0, 1)], False),
    ("rising right wraps", (7, 6), [(5, 0), (6, 1), (0, 3), (1, 4)], False),
    ("rising left wraps", (7, 6), [(1, 0), (0, 1), (6, 1), (5, 2)], False),
    ("column over the top", (8, 8), [(2, 5), (2, 6), (2, 7), (2, 0)], False),
    ("row across words", (9, 8), [(0, 7), (1, 7), (2, 7), (3, 7)], True),
    ("wrap across words", (9, 8), [(7, 6), (8, 6), (0, 7), (1, 7)], False),
    ("column across words", (9, 8), [(1, 4), (1, 5), (1, 6), (1, 7)], True),
    ("rising right across words", (9, 8), [(4, 4), (5, 5), (6, 6), (7, 7)], True),
    ("rising left across words", (9, 8), [(8, 4), (7, 5), (6, 6), (5, 7)], True),
    ("rising left wraps left edge", (9, 8), [(2, 5), (1, 6), (0, 7), (8, 7)], False),
    ("far corner of 32x32", (32, 32), [(31, 28), (31, 29), (31, 30), (31, 31)], True),
    ("32x32 row wraps", (32, 32), [(30, 30), (31, 30), (0, 31), (1, 31)], False),
]


@pytest.mark.parametrize("size, cells, wins", [e[1:] for e in EDITED], ids=[e[0] for e in EDITED])
@pytest.mark.parametrize("colour", [1, -1])
def test_line_test_covers_every_piece_of_the_mover(play, size, cells, wins, colour):
    g = dg.Game(*size)
    if colour == -1:
        play(g, [size[0] - 3])
    for c, r in cells:
        g.set_piece(c, r, colour)
    assert not g.is_over()
    free = next(c for c in range(size[0]) if c not in {cell[0] for cell in cells}
                and g.board().column_height(c) == 0)
    play(g, [free])
    assert g.is_over() == wins
    if wins:
        assert g.outcome().winner() == colour


def test_four_given_by_set_piece_waits_for_its_owner(play):
    g = play(dg.Game(7, 6), [6])
    for c in range(4):
        g.set_piece(c, 5, 1)
    play(g, [5])  # Yellow
    assert not g.is_over()
    play(g, [4])  # Red, far from the four
    assert g.is_over() and g.outcome().winner() == 1


DRAW_4X4 = [3, 2, 1, 0, 2, 0, 0, 0, 3, 3, 1, 2, 3, 1, 2, 1]
DRAW_7X6 = [4, 3, 6, 0, 1, 4, 5, 5, 1, 1, 5, 0, 1, 6, 0, 1, 5, 5, 1, 0, 4, 6, 3, 2, 6, 6, 0, 4, 6,
            5, 2, 0, 4, 2, 4, 2, 2, 2, 3, 3, 3, 3]
FULL_BOARD_WIN_4X4 = [1, 0, 1, 1, 3, 2, 2, 3, 2, 0, 3, 1, 3, 0, 2, 0]


@pytest.mark.parametrize("size, cols", [((4, 4), DRAW_4X4), ((7, 6), DRAW_7X6)])
def test_full_board_without_four_is_a_draw(play, size, cols):
    g = play(dg.Game(*size), cols[:-1])
    assert not g.is_over()
    play(g, cols[-1:])
    assert g.is_over() and g.outcome().is_draw()
    assert str(g).split("\n")[0] == "Game(turn: Red, is_over: true, outcome: Some(Draw))"
    assert g.legal_moves() == [] and g.board().is_board_full()
    assert g.unmake_move() and not g.is_over() and g.outcome() is None
    assert g.legal_moves() == [Move(cols[-1], size[1] - 1)]


def test_filling_the_board_with_a_four_is_a_win(play):
    g = play(dg.Game(4, 4), FULL_BOARD_WIN_4X4)
    assert g.board().is_board_full()
    assert g.outcome().winner() == -1 and not g.outcome().is_draw()


def test_taking_everything_back_restores_a_new_game(play, state):
    g = play(dg.Game(7, 6), WINS[2][1])
    assert all(g.unmake_move() for _ in WINS[2][1])
    assert not g.unmake_move()
    assert state(g) == state(dg.Game(7, 6))


def reference_four(cells, width, height, p):
    for (c, r), v in cells.items():
        if v == p:
            for dc, dr in ((1, 0), (0, 1), (1, 1), (-1, 1)):
                if all(cells.get((c + k * dc, r + k * dr)) == p for k in range(1, 4)):
                    return True
    return False


@pytest.mark.parametrize("width, height", [(4, 4), (7, 6), (8, 8), (9, 8), (5, 13), (17, 9),
                                           (32, 32)])
def test_random_games_match_a_reference(width, height):
    rng = random.Random(width * 100 + height)
    for _ in range(20):
        g, cells, heights, turn, states = dg.Game(width, height), {}, [0] * width, 1, []
        while not g.is_over():
            states.append(str(g))
            c = rng.choice([m.col() for m in g.legal_moves()])
            assert g.legal_moves() == [Move(x, heights[x]) for x in range(width)
                                       if heights[x] < height]
            assert g.make_move(Move(c, heights[c]))
            cells[(c, heights[c])] = turn
            heights[c] += 1
            won = reference_four(cells, width, height, turn)
            drawn = not won and min(heights) == height
            assert g.is_over() == (won or drawn)
            turn = -turn
            assert g.turn() == turn
        assert (g.outcome().winner(), g.outcome().is_draw()) == ((-turn if won else None), drawn)
        assert all(g.get_piece(c, r) == cells.get((c, r))
                   for c in range(width) for r in range(height))
        while states:
            assert g.unmake_move()
            assert str(g) == states.pop()


# ---- editing cells ----

def test_set_piece_edits_only_the_board(play, state):
    g = play(dg.Game(7, 6), [3])
    g.set_piece(0, 0, 1)
    g.set_piece(3, 0, -1)
    g.set_piece(0, 0, None)
    g.set_piece(99, 0, 1)
    g.set_piece(0, 300, -1)
    assert (g.turn(), g.is_over(), g.outcome()) == (-1, False, None)
    assert g.get_piece(3, 0) == -1 and g.get_piece(0, 0) is None
    assert g.unmake_move() and not g.unmake_move()  # one history entry, whose cell it clears
    assert state(g) == state(dg.Game(7, 6))


def test_pieces_land_in_the_lowest_gap(play):
    g = dg.Game(7, 6)
    g.set_piece(0, 1, -1)  # floating: one piece in the column, row 0 empty
    assert Move(0, 1) in g.legal_moves()
    assert not g.make_move(Move(0, 0))
    assert g.make_move(Move(0, 1))
    assert (g.get_piece(0, 0), g.get_piece(0, 1)) == (1, -1)
    assert g.unmake_move()  # the history holds row 0, where the piece landed
    assert (g.get_piece(0, 0), g.get_piece(0, 1)) == (None, -1)


def test_floating_top_piece_closes_the_column():
    g = dg.Game(7, 6)
    g.set_piece(2, 5, 1)
    assert 2 not in [m.col() for m in g.legal_moves()]
    assert not g.is_legal_move(Move(2, 1)) and not g.make_move(Move(2, 1))


@pytest.mark.parametrize("piece, error, message", [
    (0, BaseException, "Invalid player value"), (2, BaseException, "Invalid player value"),
    (200, OverflowError, "out of range integral type conversion attempted"),
    ("R", TypeError, "argument 'piece': 'str' object cannot be interpreted as an integer")])
def test_bad_piece_leaves_the_game(play, state, piece, error, message):
    g = play(dg.Game(7, 6), [1, 2])
    before = state(g)
    with pytest.raises(error) as exc:
        g.set_piece(1, 0, piece)
    assert str(exc.value) == message
    assert state(g) == before


def test_get_piece_reduces_coordinates(play):
    g = play(dg.Game(7, 6), [3, 3])
    assert (g.get_piece(259, 0), g.get_piece(3, 257), g.get_piece(7, 0), g.get_piece(3, 2)) == \
        (1, -1, None, None)
    with pytest.raises(OverflowError):
        g.get_piece(-1, 0)


# ---- copies ----

def test_clone_is_independent(play, state):
    g = play(dg.Game(9, 8), [0, 1, 2])
    c = g.clone()
    assert state(c) == state(g) and c is not g
    play(c, [4])
    assert g.get_piece(4, 0) is None and g.turn() == -1
    assert all(c.unmake_move() for _ in range(4)) and not c.unmake_move()
    assert g.get_piece(2, 0) == 1
    g.set_piece(8, 7, 1)
    assert c.get_piece(8, 7) is None


def test_clone_of_finished_game_keeps_outcome(play):
    g = play(dg.Game(32, 32), [0, 0, 1, 1, 2, 2, 3])
    c = g.clone()
    assert c.is_over() and c.outcome() == g.outcome() and c.legal_moves() == []
    assert c.unmake_move() and g.is_over()


def test_board_is_a_copy(play):
    g = play(dg.Game(32, 32), [31, 31])
    b = g.board()
    assert repr(b) == "Board(width=32, height=32)"
    assert (b.get_piece(31, 0), b.get_piece(31, 1), b.column_height(31)) == (1, -1, 2)
    assert str(b) == str(g).split("\n", 1)[1]
    b.set_piece(0, 0, -1)
    play(g, [5])
    assert g.get_piece(0, 0) is None and b.get_piece(5, 0) is None


# ---- texts ----

def test_text_after_moves(play):
    g = play(dg.Game(4, 4), [3, 3, 0])
    assert str(g) == ("Game(turn: Yellow, is_over: false, outcome: None)\n"
                      "|.|.|.|.|\n|.|.|.|.|\n|.|.|.|Y|\n|R|.|.|R|\n 0 1 2 3 \n")
    assert repr(g) == "Game(width=4, height=4, turn=Yellow, over=false)"


def test_text_of_wide_and_largest_games(play):
    g = play(dg.Game(12, 5), [11])
    lines = str(g).split("\n")
    assert lines[5] == "|.|.|.|.|.|.|.|.|.|.|.|R|"
    assert lines[6] == " 0 1 2 3 4 5 6 7 8 9 10 11 " and lines[7] == ""
    g = play(dg.Game(32, 32), [0, 31])
    lines = str(g).split("\n")
    assert len(lines) == 35 and lines[0] == "Game(turn: Red, is_over: false, outcome: None)"
    assert lines[32] == "|R|" + ".|" * 30 + "Y|"
    assert lines[33].endswith(" 29 30 31 ")
    assert repr(g) == "Game(width=32, height=32, turn=Red, over=false)"


def test_games_compare_by_identity():
    a, b = dg.Game(7, 6), dg.Game(7, 6)
    assert a == a and a != b


# ---- borrows ----

READERS = {
    "get_piece col": lambda g, x: g.get_piece(x, 0),
    "get_piece row": lambda g, x: g.get_piece(0, x),
}
INNER_WRITES = [lambda g: g.make_move(Move(5, 0)), lambda g: g.unmake_move(),
                lambda g: g.set_piece(0, 0, -1), lambda g: g.apply_action(5)]
INNER_READS = [lambda g: g.get_piece(0, 0), lambda g: g.turn(), lambda g: g.legal_moves(),
               lambda g: g.is_legal_move(Move(0, 0)), lambda g: g.outcome(), lambda g: str(g),
               lambda g: repr(g), lambda g: hash(g), lambda g: g.clone(), lambda g: g.board(),
               lambda g: Move.decode(0, g)]


@pytest.mark.parametrize("outer", READERS.values(), ids=READERS.keys())
@pytest.mark.parametrize("inner", INNER_WRITES)
def test_writer_inside_a_reader_is_refused(reenter, state, outer, inner):
    g = dg.Game(7, 6)
    g.make_move(Move(6, 0))
    before = state(g)
    arg = reenter(lambda: inner(g))
    outer(g, arg)
    assert arg.caught == (RuntimeError, "Already borrowed")
    assert state(g) == before


@pytest.mark.parametrize("inner, message", [(r, "Already mutably borrowed") for r in INNER_READS]
                         + [(w, "Already borrowed") for w in INNER_WRITES])
def test_access_inside_a_writer_is_refused(reenter, play, inner, message):
    g = play(dg.Game(7, 6), [6])
    for position in range(3):
        arg = reenter(lambda: inner(g), value=(0, 1, -1)[position])
        g.set_piece(*[arg if i == position else v for i, v in enumerate((0, 1, -1))])
        assert arg.caught == (RuntimeError, message)
    assert (g.get_piece(0, 1), g.get_piece(6, 0), g.turn()) == (-1, 1, -1)
    play(g, [4])
    assert (g.get_piece(4, 0), g.turn()) == (-1, 1)


def test_readers_may_nest(reenter, play):
    g = play(dg.Game(7, 6), [2])

    def inner():
        reads = (g.get_piece(2, 0), g.turn(), g.clone().turn(), hash(g) == hash(g))
        # The finished inner readers must not have released the outer one's borrow.
        with pytest.raises(RuntimeError) as exc:
            g.unmake_move()
        return reads, str(exc.value)

    arg = reenter(inner, value=2)
    assert g.get_piece(arg, 0) == 1
    assert arg.caught == ("ok", ((1, -1, -1, True), "Already borrowed"))
    assert g.unmake_move() and not g.unmake_move()


def test_hash_of_an_exclusively_borrowed_game_raises(reenter):
    g = dg.Game(7, 6)
    arg = reenter(lambda: hash(g))
    g.set_piece(arg, 0, 1)
    assert arg.caught == (RuntimeError, "Already mutably borrowed")
    assert hash(g) == hash(g)


def test_borrow_is_taken_before_conversion(reenter):
    g = dg.Game(7, 6)
    write = lambda x: g.set_piece(x, 0, 1)  # noqa: E731
    read = lambda x: g.get_piece(x, 0)  # noqa: E731
    cases = [
        (lambda: g.get_piece("bad", 0), write, (RuntimeError, "Already mutably borrowed")),
        (lambda: g.is_legal_move(None), write, (RuntimeError, "Already mutably borrowed")),
        (lambda: Move.decode(99, g), write, (RuntimeError, "Already mutably borrowed")),
        (lambda: g.set_piece(0, 0, 0), read, (RuntimeError, "Already borrowed")),
        (lambda: g.set_piece(-1, 0, 1), read, (RuntimeError, "Already borrowed")),
        (lambda: g.make_move(3), read, (RuntimeError, "Already borrowed")),
        # Binding comes first of all.
        (lambda: g.get_piece(1, 2, 3), write,
         (TypeError, "Game.get_piece() takes 2 positional arguments but 3 were given")),
    ]
    for inner, outer, caught in cases:
        arg = reenter(inner)
        outer(arg)
        assert arg.caught == caught
        g.set_piece(0, 0, None)


def test_borrow_is_released_after_every_failure(reenter, state):
    g = dg.Game(7, 6)
    before = state(g)
    failures = [
        lambda: g.set_piece(reenter(g.turn, propagate=True), 0, 1),
        lambda: g.get_piece(reenter(g.unmake_move, propagate=True), 0),
        lambda: g.set_piece(reenter(lambda: 1 / 0, propagate=True), 0, 1),
        lambda: g.set_piece(0, 0, 0),
        lambda: g.set_piece(0, 0, 1000),
        lambda: g.make_move("3"),
        lambda: g.is_legal_move(None),
        lambda: g.get_piece(2**64, 0),
        lambda: Move.decode(9, g),
        lambda: Move.decode(-1, g),
    ]
    for fail in failures:
        with pytest.raises(BaseException):
            fail()
        assert state(g) == before
        assert g.make_move(Move(0, 0)) and g.unmake_move()


def test_reference_counts_are_unchanged(reenter):
    g = dg.Game(7, 6)
    move, bad_move, col, huge = Move(3, 0), Move(3, 5), 2**63 + 3, 2**70
    index = reenter(lambda: None, value=2)
    objects = (g, move, bad_move, col, huge, index)
    counts = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        assert g.make_move(move) and not g.make_move(bad_move) and g.is_legal_move(Move(3, 1))
        g.set_piece(col, 1, -1)
        g.get_piece(index, col)
        Move.decode(index, g)
        for call in (lambda: g.set_piece(0, 0, huge), lambda: g.get_piece(huge, 0),
                     lambda: g.make_move(huge), lambda: Move.decode(huge, g)):
            with pytest.raises((OverflowError, TypeError)):
                call()
        inner = reenter(lambda: g.make_move(move), value=2)
        g.get_piece(inner, 0)
        g.set_piece(col, 1, None)
        assert g.unmake_move()
    assert [sys.getrefcount(o) for o in objects] == counts


def test_size_follows_the_word_count():
    assert sys.getsizeof(dg.Game(7, 6)) < sys.getsizeof(dg.Game(32, 32))
