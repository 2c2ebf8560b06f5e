"""GameBatch and encode_games: random play against a Game replayed beside every
batch game, round trips through Game, and the exact refusals of bad arguments."""
import random

import numpy as np
import pytest

import drevik_gravline as dg
import drevik_gravline_batch as db
from drevik_gravline import Game
from drevik_gravline_batch import GameBatch, encode_games

SIZES = [(4, 4), (7, 6), (9, 8), (16, 16), (32, 32)]


def planes(game):
    flat, n, h, w = game.encode_spatial_planes()
    return np.asarray(flat, np.float32).reshape(n, h, w)


def legal_mask(game):
    mask = np.zeros(game.width(), bool)
    mask[game.legal_action_indices()] = True
    return mask


def winner(game):
    outcome = game.outcome()
    w = outcome.winner() if outcome is not None else None
    return 0 if w is None else w


def expect_same(batch, games, full=True):
    """Every per-game result of the batch equals the one of its Game."""
    assert batch.turns().tolist() == [g.turn() for g in games]
    assert batch.is_over().tolist() == [g.is_over() for g in games]
    assert batch.winners().tolist() == [winner(g) for g in games]
    assert batch.move_counts().tolist() == [len_history(g) for g in games]
    assert batch.state_hashes().tolist() == [g.state_hash() for g in games]
    assert batch.transposition_hashes().tolist() == [g.transposition_hash() for g in games]
    np.testing.assert_array_equal(batch.legal_mask(), np.array([legal_mask(g) for g in games]))
    if full:
        np.testing.assert_array_equal(batch.observe(), np.array([planes(g) for g in games]))


def len_history(game):
    """Moves in a game's history, counted by taking them back on a clone."""
    g, n = game.clone(), 0
    while g.unmake_move():
        n += 1
    return n


def random_actions(rng, games):
    actions = []
    for g in games:
        legal = g.legal_action_indices()
        actions.append(rng.choice(legal) if legal and rng.random() > 0.1 else -1)
    return actions


def play_along(batch, games, steps, rng, full_every=1):
    for step in range(steps):
        actions = random_actions(rng, games)
        dtype = rng.choice([np.int8, np.int16, np.int32, np.int64, np.intp])
        rewards, done = batch.step(np.array(actions, dtype) if step % 2 else actions)
        assert rewards.dtype == np.float32 and done.dtype == np.bool_
        for i, (g, a) in enumerate(zip(games, actions)):
            mover = g.turn()
            if a >= 0:
                assert g.apply_action(a)
            assert rewards[i] == (1.0 if winner(g) == mover and a >= 0 else 0.0)
            assert done[i] == g.is_over()
        expect_same(batch, games, full=step % full_every == 0)
        over = batch.is_over()
        if over.any() and rng.random() < 0.5:
            batch.reset(over)
            for i in np.flatnonzero(over):
                games[i] = Game(batch.width(), batch.height())


@pytest.mark.parametrize("width, height", SIZES)
def test_random_play_matches_games(width, height):
    rng = random.Random(width * 100 + height)
    count = 3 if width * height > 300 else 12
    batch = GameBatch(count, width, height)
    games = [Game(width, height) for _ in range(count)]
    expect_same(batch, games)
    steps = min(2 * width * height + 10, 150)
    play_along(batch, games, steps, rng, full_every=1 if width * height <= 100 else 10)
    expect_same(batch, games)


@pytest.mark.parametrize("width, height", SIZES)
def test_edited_games_join_through_from_games(width, height):
    rng = random.Random(width + height)
    floating = Game(width, height)
    floating.set_piece(2, 3, dg.YELLOW)
    four = Game(width, height)
    for c in range(4):
        four.set_piece(c, 0, dg.RED)
    looped = Game(width, height)
    # Longer than the board has cells: the history outgrows one move per cell.
    for _ in range(width * height + 3):
        assert looped.apply_action(0)
        looped.set_piece(0, 0, None)
    capped = Game(width, height)
    capped.apply_action(1)
    capped.set_piece(1, height - 1, dg.YELLOW)
    finished = Game(width, height)
    while not finished.is_over():
        finished.apply_action(rng.choice(finished.legal_action_indices()))
    games = [floating, four, looped, capped, finished]
    batch = GameBatch.from_games(games)
    games = [g.clone() for g in games]
    assert batch.count() == len(games)
    assert not batch.legal_mask()[3, 1]
    expect_same(batch, games)
    play_along(batch, games, min(width * height + 10, 80), rng, full_every=1 if width * height <= 100 else 10)


def test_from_games_copies_and_leaves_the_games_alone():
    g = Game(7, 6)
    g.apply_action(3)
    before = g.state_hash()
    batch = GameBatch.from_games((g,), threads=2)
    batch.step([3])
    assert g.state_hash() == before
    g.apply_action(0)
    assert batch.move_counts().tolist() == [2]
    assert repr(batch) == "GameBatch(count=1, width=7, height=6, threads=2)"


@pytest.mark.parametrize("width, height", SIZES)
def test_game_round_trip_takes_back_to_the_start(width, height):
    rng = random.Random(3)
    batch = GameBatch(2, width, height)
    reference = Game(width, height)
    for _ in range(min(width * height, 60)):
        a = rng.choice(reference.legal_action_indices())
        reference.apply_action(a)
        batch.step([a, -1])
        if reference.is_over():
            break
    g = batch.game(0)
    assert type(g) is Game
    assert str(g) == str(reference) and repr(g) == repr(reference)
    assert g.state_hash() == reference.state_hash()
    assert g.encode_spatial_planes() == reference.encode_spatial_planes()
    assert batch.game(-2).state_hash() == g.state_hash()
    assert batch.game(1).state_hash() == Game(width, height).state_hash()
    while reference.unmake_move():
        assert g.unmake_move()
        assert g.state_hash() == reference.state_hash()
    assert not g.unmake_move()
    assert str(g) == str(Game(width, height))
    # The copy is the caller's: the batch is unchanged.
    assert batch.game(0).state_hash() != g.state_hash() or batch.move_counts()[0] == 0


def test_encode_games_equals_each_games_planes():
    rng = random.Random(8)
    for width, height in SIZES:
        games = []
        for k in range(5):
            g = Game(width, height)
            for _ in range(rng.randrange(0, 20)):
                if not g.is_over():
                    g.apply_action(rng.choice(g.legal_action_indices()))
            if k == 2:
                g.set_piece(0, height - 1, dg.RED)
            games.append(g)
        out = encode_games(games)
        assert out.shape == (5, 17, height, width) and out.dtype == np.float32
        np.testing.assert_array_equal(out, np.array([planes(g) for g in games]))
        buffer = np.full((5, 17, height, width), np.nan, np.float32)
        assert encode_games(games, out=buffer) is buffer
        np.testing.assert_array_equal(buffer, out)


def test_out_arrays_are_filled_and_returned():
    batch = GameBatch(3, 5, 4)
    batch.step([0, 1, -1])
    planes_out = np.full((3, 17, 4, 5), np.nan, np.float32)
    mask_out = np.zeros((3, 5), bool)
    assert batch.observe(out=planes_out) is planes_out
    assert batch.legal_mask(mask_out) is mask_out
    np.testing.assert_array_equal(planes_out, batch.observe())
    assert mask_out.all()


def test_finished_games_refuse_moves_and_report_done():
    batch = GameBatch(2, 4, 4)
    for a in [0, 1, 0, 1, 0, 1]:
        rewards, done = batch.step([a, -1])
        assert not done.any() and not rewards.any()
    rewards, done = batch.step([0, -1])
    assert rewards.tolist() == [1.0, 0.0] and done.tolist() == [True, False]
    assert batch.winners().tolist() == [1, 0]
    assert not batch.legal_mask()[0].any()
    with pytest.raises(ValueError) as e:
        batch.step([2, 0])
    assert str(e.value) == "illegal action 2 in game 0"
    rewards, done = batch.step([-1, 0])
    assert done.tolist() == [True, False] and rewards.tolist() == [0.0, 0.0]
    batch.reset(np.array([True, False]))
    assert batch.move_counts().tolist() == [0, 1]
    batch.reset()
    assert batch.move_counts().tolist() == [0, 0] and batch.turns().tolist() == [1, 1]


def test_draw_is_no_winner():
    # A 4 x 4 draw: columns filled in pairs so that no four ever forms.
    g = Game(4, 4)
    moves = [0, 1, 0, 1, 1, 0, 1, 0, 2, 3, 2, 3, 3, 2, 3, 2]
    batch = GameBatch(1, 4, 4)
    for a in moves:
        assert g.apply_action(a)
        batch.step([a])
    assert g.is_over() and winner(g) == 0
    assert batch.is_over().tolist() == [True] and batch.winners().tolist() == [0]
    assert batch.state_hashes()[0] == g.state_hash()


def test_module_and_class():
    assert db.__all__ == ["GameBatch", "encode_games", "Records", "self_play", "SolverBudgetExceeded", "Solver", "FULL_COLUMN", "Search", "self_play_search"]
    assert GameBatch.__module__ == "drevik_gravline_batch"
    with pytest.raises(TypeError):
        type("Sub", (GameBatch,), {})
    with pytest.raises(TypeError):
        GameBatch.count = None


def test_methods_refuse_another_receiver():
    with pytest.raises(TypeError):
        GameBatch.count(Game(7, 6))


# ---- bad input: every argument, each refusal leaving the batch as it was ----

def snapshot(batch):
    return (batch.observe().tobytes(), batch.legal_mask().tobytes(), batch.state_hashes().tolist(),
            batch.move_counts().tolist())


@pytest.fixture
def batch():
    b = GameBatch(3, 7, 6)
    b.step([0, 1, 2])
    for _ in range(6):
        b.step([6, -1, -1])
    assert b.legal_mask()[0, 6] == False  # noqa: E712 - column 6 of game 0 is full
    return b


F32 = np.float32
GOOD_PLANES = (3, 17, 6, 7)

BAD = [
    # (method, args, kwargs, exception, message)
    ("step", ([0, 0],), {}, ValueError, "argument 'actions': expected shape (3,), got (2,)"),
    ("step", ([[0, 0, 0]],), {}, ValueError, "argument 'actions': expected shape (3,), got (1, 3)"),
    ("step", (np.int64(3),), {}, ValueError, "argument 'actions': expected shape (3,), got ()"),
    ("step", ([0.0, 1.0, 2.0],), {}, TypeError, "argument 'actions': expected an integer dtype, got float64"),
    ("step", ([True, False, True],), {}, TypeError, "argument 'actions': expected an integer dtype, got bool"),
    ("step", (["a", "b", "c"],), {}, TypeError, "argument 'actions': expected an integer dtype, got <U1"),
    ("step", (None,), {}, ValueError, "argument 'actions': expected shape (3,), got ()"),
    ("step", (np.array([0, 1, 2], ">i8"),), {}, TypeError,
     "argument 'actions': expected an integer dtype, got >i8"),
    ("step", ([6, 0, 0],), {}, ValueError, "illegal action 6 in game 0"),
    ("step", ([0, 7, 0],), {}, ValueError, "illegal action 7 in game 1"),
    ("step", ([0, 0, -2],), {}, ValueError, "illegal action -2 in game 2"),
    ("step", (np.array([0, 0, 2**64 - 1], np.uint64),), {}, ValueError,
     "illegal action 18446744073709551615 in game 2"),
    ("step", (np.array([0, 255, 0], np.uint8),), {}, ValueError, "illegal action 255 in game 1"),
    ("step", ([0, 0, 2**70],), {}, TypeError, "argument 'actions': expected an integer dtype, got object"),
    ("step", (), {}, TypeError, "GameBatch.step() missing 1 required positional argument: 'actions'"),
    ("step", ([0, 0, 0], 1), {}, TypeError, "GameBatch.step() takes 1 positional arguments but 2 were given"),
    ("step", (), {"action": [0, 0, 0]}, TypeError, "GameBatch.step() got an unexpected keyword argument 'action'"),
    ("reset", ([1, 0, 1],), {}, TypeError, "argument 'mask': expected dtype bool, got int64"),
    ("reset", ([True],), {}, ValueError, "argument 'mask': expected shape (3,), got (1,)"),
    ("reset", (None, None), {}, TypeError, "GameBatch.reset() takes from 0 to 1 positional arguments but 2 were given"),
    ("observe", ([0.0],), {}, TypeError, "argument 'out': 'list' object is not an instance of 'ndarray'"),
    ("observe", (np.zeros(GOOD_PLANES, np.float64),), {}, TypeError,
     "argument 'out': expected dtype float32, got float64"),
    ("observe", (np.zeros(GOOD_PLANES, ">f4"),), {}, TypeError, "argument 'out': expected dtype float32, got >f4"),
    ("observe", (np.zeros((3, 17, 7, 6), F32),), {}, ValueError,
     "argument 'out': expected shape (3, 17, 6, 7), got (3, 17, 7, 6)"),
    ("observe", (np.zeros((4, 17, 6, 7), F32),), {}, ValueError,
     "argument 'out': expected shape (3, 17, 6, 7), got (4, 17, 6, 7)"),
    ("observe", (np.zeros(3 * 17 * 42, F32),), {}, ValueError,
     "argument 'out': expected shape (3, 17, 6, 7), got (2142,)"),
    ("observe", (np.zeros((3, 17, 6, 14), F32)[..., ::2],), {}, ValueError,
     "argument 'out': expected a C-contiguous array"),
    ("observe", (np.asfortranarray(np.zeros(GOOD_PLANES, F32)),), {}, ValueError,
     "argument 'out': expected a C-contiguous array"),
    ("observe", (np.zeros(GOOD_PLANES, F32).copy().setflags(write=False) or None,), {}, None, None),
    ("legal_mask", (np.zeros((3, 7), np.uint8),), {}, TypeError, "argument 'out': expected dtype bool, got uint8"),
    ("legal_mask", (np.zeros((3, 6), bool),), {}, ValueError, "argument 'out': expected shape (3, 7), got (3, 6)"),
    ("legal_mask", (), {"out": 5}, TypeError, "argument 'out': 'int' object is not an instance of 'ndarray'"),
    ("game", (3,), {}, IndexError, "game index out of range"),
    ("game", (-4,), {}, IndexError, "game index out of range"),
    ("game", (2**80,), {}, IndexError, "game index out of range"),
    ("game", (1.0,), {}, TypeError, "argument 'i': 'float' object cannot be interpreted as an integer"),
    ("game", ("0",), {}, TypeError, "argument 'i': 'str' object cannot be interpreted as an integer"),
    ("count", (1,), {}, TypeError, None),
]


def read_only():
    a = np.zeros(GOOD_PLANES, F32)
    a.setflags(write=False)
    return a


BAD = [b for b in BAD if b[3] is not None] + [
    ("observe", (read_only(),), {}, ValueError, "argument 'out': expected a writeable array"),
    ("legal_mask", (np.frombuffer(bytes(22), bool)[1:].reshape(3, 7),), {}, ValueError,
     "argument 'out': expected a writeable array"),
]


@pytest.mark.parametrize("method, args, kwargs, error, message", BAD,
                         ids=[f"{b[0]}-{i}" for i, b in enumerate(BAD)])
def test_bad_arguments_are_refused_and_change_nothing(batch, method, args, kwargs, error, message):
    before = snapshot(batch)
    with pytest.raises(error) as e:
        getattr(batch, method)(*args, **kwargs)
    if message is not None:
        assert str(e.value) == message
    assert snapshot(batch) == before


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((0, 7, 6), {}, ValueError, "count must be at least 1"),
    ((-1, 7, 6), {}, OverflowError, None),
    ((2**64, 7, 6), {}, OverflowError, None),
    ((2**62, 7, 6), {}, MemoryError, None),
    ((2**40, 7, 6), {}, MemoryError, None),
    ((1, 3, 6), {}, ValueError, "Board width must be between 4 and 32"),
    ((1, 300, 6), {}, ValueError, "Board width must be between 4 and 32"),
    ((1, 7, 33), {}, ValueError, "Board height must be between 4 and 32"),
    ((1, 3, 3), {}, ValueError, "Board width must be between 4 and 32"),
    ((1, -1, 6), {}, OverflowError, None),
    ((1, 7.0, 6), {}, TypeError, None),
    ((1.5, 7, 6), {}, TypeError, None),
    ((1, 7, 6, 2), {}, TypeError, "GameBatch.__new__() takes 3 positional arguments but 4 were given"),
    ((1, 7), {}, TypeError, "GameBatch.__new__() missing 1 required positional argument: 'height'"),
    ((1, 7, 6), {"threads": 0}, ValueError, "threads must be between 1 and 1024"),
    ((1, 7, 6), {"threads": 1025}, ValueError, "threads must be between 1 and 1024"),
    ((1, 7, 6), {"threads": -1}, OverflowError, None),
    ((1, 7, 6), {"threads": "2"}, TypeError, None),
    ((1, 7, 6), {"thread": 2}, TypeError, "GameBatch.__new__() got an unexpected keyword argument 'thread'"),
])
def test_constructor_refusals(args, kwargs, error, message):
    with pytest.raises(error) as e:
        GameBatch(*args, **kwargs)
    if message is not None:
        assert str(e.value) == message
    if error is TypeError and message is None:
        assert str(e.value).startswith("argument '")


def test_sizes_refused_as_game_refuses_them():
    for w, h in [(3, 6), (33, 6), (7, 3), (7, 40), (2**10, 6)]:
        with pytest.raises(ValueError) as game_error:
            Game(w, h)
        with pytest.raises(ValueError) as batch_error:
            GameBatch(1, w, h)
        assert str(batch_error.value) == str(game_error.value)


@pytest.mark.parametrize("call, error, message", [
    (lambda: GameBatch.from_games([]), ValueError, "from_games needs at least one game"),
    (lambda: GameBatch.from_games([Game(7, 6), Game(6, 7)]), ValueError, "all games must have the same size"),
    (lambda: GameBatch.from_games([Game(7, 6), 3]), TypeError,
     "argument 'games': 'int' object is not an instance of 'Game'"),
    (lambda: GameBatch.from_games([dg.Board(7, 6)]), TypeError,
     "argument 'games': 'Board' object is not an instance of 'Game'"),
    (lambda: GameBatch.from_games(5), TypeError, "argument 'games': expected a sequence of Game objects"),
    (lambda: GameBatch.from_games([Game(7, 6)], threads=0), ValueError, "threads must be between 1 and 1024"),
    (lambda: GameBatch.from_games([Game(7, 6)], 2), TypeError,
     "GameBatch.from_games() takes 1 positional arguments but 2 were given"),
    (lambda: encode_games([]), ValueError, "encode_games needs at least one game"),
    (lambda: encode_games([Game(7, 6), Game(7, 7)]), ValueError, "all games must have the same size"),
    (lambda: encode_games(None), TypeError, "argument 'games': expected a sequence of Game objects"),
    (lambda: encode_games([Game(7, 6)], np.zeros((1, 17, 6, 7), np.float16)), TypeError,
     "argument 'out': expected dtype float32, got float16"),
    (lambda: encode_games([Game(7, 6)], out=np.zeros((2, 17, 6, 7), np.float32)), ValueError,
     "argument 'out': expected shape (1, 17, 6, 7), got (2, 17, 6, 7)"),
    (lambda: encode_games(), TypeError, "encode_games() missing 1 required positional argument: 'games'"),
    (lambda: encode_games([Game(7, 6)], None, None), TypeError,
     "encode_games() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_game_sequence_refusals(call, error, message):
    with pytest.raises(error) as e:
        call()
    assert str(e.value) == message


def test_refused_encode_leaves_the_games_free():
    g = Game(7, 6)
    with pytest.raises(ValueError):
        encode_games([g, Game(8, 6)])
    assert g.apply_action(0)  # no borrow was left behind
