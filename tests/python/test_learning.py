"""The learning interface of Game: input planes, the action codec, rewards and
position hashes, checked against published values and a slow Python reference."""

import math
import os
import random
import subprocess
import sys

import pytest

import drevik_gravline
from drevik_gravline import Game, Move

RED, YELLOW = 1, -1
# Red four in column 0: red bits 0, 7, 14, 21; yellow bits 1, 8, 15.
RED_WINS = [0, 1, 0, 1, 0, 1, 0]
# Yellow four in column 0, Red scattered.
YELLOW_WINS = [6, 0, 1, 0, 1, 0, 1, 0]
# Fills a 4 x 4 board without a four.
DRAW_4X4 = [0, 0, 0, 2, 1, 2, 2, 1, 0, 3, 3, 1, 2, 3, 3, 1]


# ---- helpers ----

def play(cols, width=7, height=6):
    g = Game(width, height)
    for c in cols:
        assert g.apply_action(c) is True, (cols, c)
    return g


def grid_of(g):
    """Every occupied cell of the game as {(col, row): player}."""
    cells = {}
    for c in range(g.width()):
        for r in range(g.height()):
            p = g.get_piece(c, r)
            if p is not None:
                cells[(c, r)] = p
    return cells


def reference_planes(width, height, positions, mover):
    """The 17 planes from `positions`, the current position first and then up to
    seven earlier ones, each a {(col, row): player} map, seen by `mover`."""
    area = width * height
    out = [0.0] * (17 * area)
    for t, cells in enumerate(positions[:8]):
        for (c, r), p in cells.items():
            out[(2 * t + (0 if p == mover else 1)) * area + r * width + c] = 1.0
    if mover == RED:
        out[16 * area:] = [1.0] * area
    return out


def takeback_positions(cells, history):
    """The current cells, then those left by clearing the last seven recorded
    cells one at a time, newest first."""
    positions, cur = [dict(cells)], dict(cells)
    for cell in reversed(history[-7:]):
        cur.pop(cell, None)
        positions.append(dict(cur))
    return positions


class Replay:
    """A gravity game kept in plain Python: every position after every move."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.heights = [0] * width
        self.turn = RED
        self.positions = [{}]
        self.history = []

    def drop(self, col):
        cells = dict(self.positions[-1])
        cells[(col, self.heights[col])] = self.turn
        self.history.append((col, self.heights[col]))
        self.heights[col] += 1
        self.turn = -self.turn
        self.positions.append(cells)

    def planes(self):
        return reference_planes(self.width, self.height, self.positions[::-1], self.turn)


def snapshot(g):
    """Everything observable about a game, history included: the history is read
    by taking every move back on a clone."""
    def state(x):
        return (x.state_hash(), x.transposition_hash(), hash(x), x.turn(), x.is_over(),
                repr(x.outcome()), [repr(m) for m in x.legal_moves()], grid_of(x))

    steps, c = [state(g)], g.clone()
    while c.unmake_move():
        steps.append(state(c))
    return steps


def panic_of(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    return exc.args


# ---- spatial planes ----

def test_planes_of_new_standard_game():
    planes, n, h, w = Game(7, 6).encode_spatial_planes()
    assert (n, h, w) == (17, 6, 7)
    assert type(planes) is list and len(planes) == 714
    assert planes == [0.0] * 672 + [1.0] * 42
    assert all(type(v) is float for v in planes)


def test_planes_after_red_drops_in_column_3():
    planes, *_ = play([3]).encode_spatial_planes()
    assert [i for i, v in enumerate(planes) if v] == [45]


def test_planes_after_two_drops_in_column_3():
    planes, *_ = play([3, 3]).encode_spatial_planes()
    assert [i for i, v in enumerate(planes[:672]) if v] == [3, 52, 87]
    assert planes[672:] == [1.0] * 42


@pytest.mark.parametrize("width,height,seed,moves", [
    (7, 6, 1, 30), (7, 6, 2, 42), (4, 9, 3, 36), (9, 4, 4, 36), (9, 8, 5, 25), (32, 32, 6, 40),
])
def test_planes_match_replayed_positions(width, height, seed, moves):
    rng, g, ref = random.Random(seed), Game(width, height), Replay(width, height)
    for _ in range(moves):
        planes, n, h, w = g.encode_spatial_planes()
        assert (n, h, w) == (17, height, width)
        assert planes == ref.planes()
        actions = g.legal_action_indices()
        if not actions:
            break
        col = rng.choice(actions)
        assert g.apply_action(col) is True
        ref.drop(col)
    assert len(ref.positions) > 9


def test_encoding_restores_every_observable_of_a_played_game():
    rng = random.Random(7)
    g = Game(7, 6)
    while not g.is_over():
        before = snapshot(g)
        g.encode_spatial_planes()
        assert snapshot(g) == before
        g.apply_action(rng.choice(g.legal_action_indices()))
    before = snapshot(g)
    g.encode_spatial_planes()
    assert snapshot(g) == before
    assert g.unmake_move() is True and not g.is_over()


@pytest.mark.parametrize("cols", [RED_WINS, YELLOW_WINS])
def test_finished_game_encodes_and_takes_back(cols):
    g = play(cols)
    outcome = g.outcome()
    ref = Replay(7, 6)
    for c in cols:
        ref.drop(c)
    assert g.encode_spatial_planes()[0] == ref.planes()
    assert g.is_over() and g.outcome() == outcome
    assert g.unmake_move() is True
    assert g.outcome() is None and g.legal_action_indices() == list(range(7))


def edit_overwrite_recorded_cell(g):
    g.set_piece(3, 0, YELLOW)


def edit_gap_under_recorded_move(g):
    g.set_piece(4, 0, None)


def edit_piece_above_recorded_move(g):
    g.set_piece(2, 2, YELLOW)


def edit_unnoticed_four(g):
    for c in range(4):
        g.set_piece(c, 3, RED)


@pytest.mark.parametrize("edit", [
    edit_overwrite_recorded_cell, edit_gap_under_recorded_move,
    edit_piece_above_recorded_move, edit_unnoticed_four,
])
def test_edited_board_encodes_by_literal_take_backs(edit):
    # History: red (3,0), yellow (4,0), red (4,1), yellow (2,0), red (2,1),
    # yellow (5,0), red (6,0), yellow (3,1), red (0,0).
    cols = [3, 4, 4, 2, 2, 5, 6, 3, 0]
    ref = Replay(7, 6)
    for c in cols:
        ref.drop(c)
    g = play(cols)
    edit(g)
    assert not g.is_over()
    before = snapshot(g)
    expected = reference_planes(7, 6, takeback_positions(grid_of(g), ref.history), g.turn())
    assert g.encode_spatial_planes()[0] == expected
    assert snapshot(g) == before


@pytest.mark.parametrize("width,height", [(4, 4), (7, 6), (4, 9), (9, 4), (32, 32)])
def test_counts_and_empty_global_features(width, height):
    g = Game(width, height)
    assert g.spatial_input_plane_count() == drevik_gravline.SPATIAL_INPUT_PLANES == 17
    assert g.global_input_feature_count() == drevik_gravline.GLOBAL_INPUT_FEATURES == 0
    assert g.encode_global_state_features() == []
    planes, n, h, w = g.encode_spatial_planes()
    assert (len(planes), n, h, w) == (17 * width * height, 17, height, width)


def test_planes_hold_no_stray_references():
    g = play([3, 3, 4])
    planes = g.encode_spatial_planes()[0]
    zero, one = planes[0], planes[3]
    counts = sys.getrefcount(zero), sys.getrefcount(one)
    for _ in range(5):
        g.encode_spatial_planes()
    assert (sys.getrefcount(zero), sys.getrefcount(one)) == counts


def test_plane_lists_are_new_objects():
    g = play([3])
    first, second = g.encode_spatial_planes()[0], g.encode_spatial_planes()[0]
    assert first is not second
    first[45] = 0.0
    assert g.encode_spatial_planes()[0][45] == 1.0


# ---- action codec ----

def test_actions_of_new_standard_game():
    g = Game(7, 6)
    assert g.total_actions() == 7
    assert g.legal_action_indices() == list(range(7))
    assert g.decode_action(3) == Move(3, 0)
    assert g.decode_action(action=6) == Move(6, 0)
    before = snapshot(g)
    assert g.decode_action(7) is None
    assert g.apply_action(7) is False
    assert snapshot(g) == before


def test_full_column_decodes_to_none_and_is_not_applied():
    g = play([3, 3, 3, 3, 3, 3, 2, 2])
    assert g.legal_action_indices() == [0, 1, 2, 4, 5, 6]
    assert g.decode_action(3) is None
    before = snapshot(g)
    assert g.apply_action(3) is False
    assert snapshot(g) == before
    assert g.decode_action(2) == Move(2, 2)


def test_apply_action_plays_the_decoded_move():
    g = Game(7, 6)
    m = g.decode_action(3)
    assert g.apply_action(action=3) is True
    assert g.turn() == YELLOW and g.decode_action(3) == Move(3, 1)
    assert m == Move(3, 0)  # a decoded move does not follow the game


@pytest.mark.parametrize("cols", [RED_WINS, YELLOW_WINS])
def test_finished_game_decodes_but_does_not_apply(cols):
    g = play(cols)
    assert g.legal_action_indices() == []
    assert g.decode_action(4) == Move(4, 0)
    assert g.decode_action(0) == Move(0, 4)
    before = snapshot(g)
    assert g.apply_action(4) is False
    assert snapshot(g) == before


@pytest.mark.parametrize("action", [7, 8, 255, 256 + 3, 2**32 + 3, 2**63, 2**64 - 1])
def test_action_beyond_the_board_is_never_a_move(action):
    g = Game(7, 6)
    assert g.decode_action(action) is None
    assert g.apply_action(action) is False
    assert g.state_hash() == Game(7, 6).state_hash()


@pytest.mark.parametrize("action,exc,message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (1.0, TypeError, "argument 'action': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'action': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'action': 'NoneType' object cannot be interpreted as an integer"),
])
@pytest.mark.parametrize("method", ["decode_action", "apply_action"])
def test_action_conversion_errors(method, action, exc, message):
    g = play([2])
    before = snapshot(g)
    with pytest.raises(exc) as info:
        getattr(g, method)(action)
    assert str(info.value) == message
    assert snapshot(g) == before


@pytest.mark.parametrize("call,message", [
    (lambda g: g.decode_action(), "Game.decode_action() missing 1 required positional argument: 'action'"),
    (lambda g: g.apply_action(1, 2), "Game.apply_action() takes 1 positional arguments but 2 were given"),
    (lambda g: g.apply_action(1, action=2), "Game.apply_action() got multiple values for argument 'action'"),
    (lambda g: g.reward_from_perspective(player=1),
     "Game.reward_from_perspective() got an unexpected keyword argument 'player'"),
    (lambda g: g.outcome().encode_winner_from_perspective(),
     "GameOutcome.encode_winner_from_perspective() missing 1 required positional argument: 'perspective'"),
])
def test_argument_binding_messages(call, message):
    g = play(RED_WINS)
    with pytest.raises(TypeError) as info:
        call(g)
    assert str(info.value) == message


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def test_index_objects_and_bools_are_actions():
    g = Game(7, 6)
    assert g.decode_action(Index(5)) == Move(5, 0)
    assert g.decode_action(True) == Move(1, 0)
    assert g.apply_action(Index(5)) is True and g.get_piece(5, 0) == RED


def test_column_topped_above_a_gap_decodes_at_its_count_but_is_full():
    g = Game(7, 6)
    g.set_piece(3, 5, YELLOW)
    assert g.decode_action(3) == Move(3, 1)
    assert 3 not in g.legal_action_indices()
    assert g.apply_action(3) is False
    assert g.get_piece(3, 0) is None


@pytest.mark.parametrize("seed", range(4))
def test_apply_action_behaves_like_make_move_of_decode_action(seed):
    rng = random.Random(seed)
    g = Game(5, 4)
    for _ in range(25):
        for action in range(7):
            a, b = g.clone(), g.clone()
            m = a.decode_action(action)
            expected = False if m is None else b.make_move(m)
            assert a.apply_action(action) is expected
            assert snapshot(a) == snapshot(b)
        if g.is_over():
            break
        g.apply_action(rng.choice(g.legal_action_indices()))


# ---- rewards ----

OUTCOMES = [  # moves, width, height, absolute, red, yellow
    (RED_WINS, 7, 6, 1.0, 1.0, -1.0),
    (YELLOW_WINS, 7, 6, -1.0, -1.0, 1.0),
    (DRAW_4X4, 4, 4, 0.0, 0.0, 0.0),
]


def same_floats(got, want):
    """Equal values, all Python floats, and zeros with the same (positive) sign."""
    return got == want and all(
        type(x) is float and math.copysign(1.0, x) == math.copysign(1.0, y) for x, y in zip(got, want))


@pytest.mark.parametrize("cols,width,height,absolute,red,yellow", OUTCOMES)
def test_rewards_of_finished_games(cols, width, height, absolute, red, yellow):
    g = play(cols, width, height)
    o = g.outcome()
    got = [g.reward_absolute(), g.reward_from_perspective(1), g.reward_from_perspective(-1),
           g.reward_from_perspective(perspective=True),
           o.encode_winner_absolute(), o.encode_winner_from_perspective(RED),
           o.encode_winner_from_perspective(perspective=YELLOW)]
    assert same_floats(got, [absolute, red, yellow, red, absolute, red, yellow])


@pytest.mark.parametrize("perspective", [0, 2, -2, 127, -128, False])
@pytest.mark.parametrize("cols,width,height", [o[:3] for o in OUTCOMES])
def test_other_perspectives_panic(cols, width, height, perspective):
    g = play(cols, width, height)
    assert panic_of(g.reward_from_perspective, perspective) == ("Invalid perspective",)
    assert panic_of(g.outcome().encode_winner_from_perspective, perspective) == (
        "Unrecognized perspective",)
    assert g.reward_from_perspective(1) == g.reward_absolute()  # the borrow was released


@pytest.mark.parametrize("perspective", [1, -1, 0, 2, 127, -128, True, False, Index(5)])
def test_game_in_progress_is_worth_zero_to_any_perspective(perspective):
    for g in (Game(7, 6), play([3, 4, 3])):
        got = [g.reward_from_perspective(perspective), g.reward_absolute()]
        assert same_floats(got, [0.0, 0.0])


@pytest.mark.parametrize("perspective,exc,message", [
    (128, OverflowError, "out of range integral type conversion attempted"),
    (-129, OverflowError, "out of range integral type conversion attempted"),
    (2**40, OverflowError, "out of range integral type conversion attempted"),
    (2**63, OverflowError, "Python int too large to convert to C long"),
    (1.0, TypeError, "argument 'perspective': 'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "argument 'perspective': 'str' object cannot be interpreted as an integer"),
])
@pytest.mark.parametrize("cols", [[], [3], RED_WINS])
def test_perspective_conversion_errors(cols, perspective, exc, message):
    g = play(cols)
    with pytest.raises(exc) as info:
        g.reward_from_perspective(perspective)
    assert str(info.value) == message
    if g.outcome() is not None:
        with pytest.raises(exc) as info:
            g.outcome().encode_winner_from_perspective(perspective)
        assert str(info.value) == message


# ---- the borrow is taken before the argument is converted ----

def reentrant_cases():
    return [
        ("apply_action", lambda g: g.turn(), "Already mutably borrowed"),
        ("apply_action", lambda g: hash(g), "Already mutably borrowed"),
        ("apply_action", lambda g: g.state_hash(), "Already mutably borrowed"),
        ("apply_action", lambda g: g.decode_action(-1), "Already mutably borrowed"),
        ("apply_action", lambda g: g.apply_action(0), "Already borrowed"),
        ("decode_action", lambda g: g.make_move(Move(0, 1)), "Already borrowed"),
        ("decode_action", lambda g: g.encode_spatial_planes(), "Already borrowed"),
        ("decode_action", lambda g: g.apply_action(-1), "Already borrowed"),
        ("reward_from_perspective", lambda g: g.unmake_move(), "Already borrowed"),
        ("reward_from_perspective", lambda g: g.apply_action(0), "Already borrowed"),
        ("reward_from_perspective", lambda g: g.encode_global_state_features(), "Already borrowed"),
        ("apply_action", lambda g: g.spatial_input_plane_count(), "Already mutably borrowed"),
        ("apply_action", lambda g: g.reward_from_perspective(2**63), "Already mutably borrowed"),
    ]


@pytest.mark.parametrize("method,callback,message", reentrant_cases())
def test_reentrant_index_meets_the_borrow(method, callback, message):
    g = play([0])
    before = snapshot(g)
    arg = Index(1, lambda: callback(g))
    refs = sys.getrefcount(arg)
    with pytest.raises(RuntimeError) as info:
        getattr(g, method)(arg)
    assert str(info.value) == message
    del info
    assert sys.getrefcount(arg) == refs
    assert snapshot(g) == before
    assert g.apply_action(1) is True  # released on the error path


# ---- hashes ----

WORKED = [  # moves on 7 x 6, state_hash, transposition_hash, hash(game)
    ([], 12513035348757088845, 11662295138548180633, 1231240090846988874),
    ([3], 16522831597811446852, 5076636341670763276, 5747234783373043202),
    (RED_WINS, 757399061492564880, 4994100036866473222, -3995502691167116177),
]
MOVE_HASHES = [((3, 0), 7293462908534724562), ((0, 0), 6165216591721696495)]


def hashes(g):
    return g.state_hash(), g.transposition_hash(), hash(g)


@pytest.mark.parametrize("cols,state,transposition,position", WORKED)
def test_worked_hash_values(cols, state, transposition, position):
    assert hashes(play(cols)) == (state, transposition, position)
    if not cols:
        assert hashes(Game.standard()) == (state, transposition, position)


@pytest.mark.parametrize("move,value", MOVE_HASHES)
def test_worked_move_hashes(move, value):
    assert hash(Move(*move)) == value
    assert hash(Move(move[0] + 256, move[1] + 512)) == value


def test_worked_values_in_a_fresh_process():
    # Another interpreter with another string-hash seed gives the same numbers.
    script = (
        "from drevik_gravline import Game, Move\n"
        "out = []\n"
        f"for cols in {[w[0] for w in WORKED]!r}:\n"
        "    g = Game(7, 6)\n"
        "    for c in cols: g.apply_action(c)\n"
        "    out.append((g.state_hash(), g.transposition_hash(), hash(g)))\n"
        f"out += [hash(Move(*m)) for m, _ in {MOVE_HASHES!r}]\n"
        "print(repr(out))\n"
    )
    # The directory the module was loaded from, wherever that is.
    where = os.path.dirname(os.path.abspath(drevik_gravline.__file__))
    env = dict(os.environ, PYTHONHASHSEED="12345",
               PYTHONPATH=os.pathsep.join([where, os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    expected = [tuple(w[1:]) for w in WORKED] + [v for _, v in MOVE_HASHES]
    assert run.stdout.strip() == repr(expected)


def test_transpositions_share_position_hashes_but_not_state():
    a, b = play([0, 1, 2]), play([2, 1, 0])
    assert grid_of(a) == grid_of(b)
    assert hash(a) == hash(b) and a.transposition_hash() == b.transposition_hash()
    assert a.state_hash() != b.state_hash()
    assert {hash(m) for m in a.legal_moves()} == {hash(m) for m in b.legal_moves()}
    assert set(a.legal_moves()) == set(b.legal_moves())
    # Games compare by identity: even a clone with every hash equal is another key.
    c = a.clone()
    assert hashes(c) == hashes(a)
    assert c != a and not c == a and len({a, b, c}) == 3
    assert {a: 1, c: 2}[a] == 1


def test_only_the_last_seven_moves_enter_the_state_hash():
    tail = [4, 5, 6, 4, 5, 6, 3]
    a, b = play([0, 1, 2] + tail), play([2, 1, 0] + tail)
    assert a.state_hash() == b.state_hash()
    assert a.encode_spatial_planes() == b.encode_spatial_planes()
    # One move fewer in the tail brings the transposed moves into the window.
    c, d = play([0, 1, 2] + tail[:6]), play([2, 1, 0] + tail[:6])
    assert c.state_hash() != d.state_hash()
    assert c.transposition_hash() == d.transposition_hash()


@pytest.mark.parametrize("a,b", [((7, 6), (6, 7)), ((8, 8), (9, 8)), ((4, 16), (16, 4)),
                                 ((32, 32), (32, 31))])
def test_empty_boards_of_other_sizes_differ(a, b):
    ha, hb = hashes(Game(*a)), hashes(Game(*b))
    assert all(x != y for x, y in zip(ha, hb))


def test_same_pieces_other_player_to_move():
    a = play([3])  # Yellow to move
    b = play([3, 4])
    b.set_piece(4, 0, None)  # Red to move, same pieces
    assert grid_of(a) == grid_of(b)
    assert all(x != y for x, y in zip(hashes(a), hashes(b)))


def test_won_game_and_same_pieces_in_progress():
    won = play(RED_WINS)
    edited = play([0])
    for r in (1, 2, 3):
        edited.set_piece(0, r, RED)
    for r in (0, 1, 2):
        edited.set_piece(1, r, YELLOW)
    assert grid_of(won) == grid_of(edited) and won.turn() == edited.turn()
    assert not edited.is_over()
    assert hash(won) == hash(edited)
    assert won.transposition_hash() != edited.transposition_hash()
    assert won.state_hash() != edited.state_hash()


@pytest.mark.parametrize("width,height,seed", [(7, 6, 0), (7, 6, 1), (9, 8, 2), (32, 32, 3)])
def test_hashes_are_in_range_and_take_backs_restore_them(width, height, seed):
    rng = random.Random(seed)
    g, seen = Game(width, height), []
    while not g.is_over() and len(seen) < 60:
        seen.append(hashes(g))
        s, t, p = seen[-1]
        assert 0 <= s < 2**64 and 0 <= t < 2**64 and -2**63 <= p < 2**63 and p != -1
        g.encode_spatial_planes()
        assert hashes(g) == seen[-1]
        g.apply_action(rng.choice(g.legal_action_indices()))
    while seen:
        assert g.unmake_move() is True
        assert hashes(g) == seen.pop()
    assert g.unmake_move() is False
