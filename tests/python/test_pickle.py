"""Pickle and copy: round trips of every class on every word count, the exact
bytes of a few pickles, and damaged or hostile states refused with ValueError or
TypeError, never a crash or an object that breaks the engine's rules."""
import copy
import pickle
import pickletools
import random
import subprocess
import sys

import pytest

import drevik_gravline as dg
from drevik_gravline import Board, Game, GameOutcome, Move

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
# One size per word count class: 1, 1, 2, 4 and 16 words.
SIZES = [(4, 4), (7, 6), (9, 8), (16, 16), (32, 32)]
REASON = "invalid pickled state: "


def random_game(width, height, rng, steps=None):
    """Moves, take-backs and set_piece edits at random, as a user can mix them."""
    game = Game(width, height)
    for _ in range(rng.randrange(2 * width * height) if steps is None else steps):
        what = rng.random()
        if what < 0.6:
            legal = game.legal_action_indices()
            if legal:
                game.apply_action(rng.choice(legal))
        elif what < 0.8:
            game.set_piece(rng.randrange(width), rng.randrange(height), rng.choice([1, -1, None]))
        else:
            game.unmake_move()
    return game


def cells(x):
    return [x.get_piece(c, r) for r in range(x.height()) for c in range(x.width())]


def observed(game):
    """Everything a caller can read off a game without changing it."""
    outcome = game.outcome()
    return (game.board_shape(), cells(game), game.turn(), game.is_over(),
            None if outcome is None else str(outcome), game.state_hash(), game.transposition_hash(),
            hash(game), game.encode_spatial_planes(), game.legal_action_indices(), repr(game),
            str(game))


def expect_same_games(a, b):
    """Equal now, and equal after each take-back all the way to the start."""
    assert observed(a) == observed(b)
    while a.unmake_move():
        assert b.unmake_move()
        assert (cells(a), a.turn(), a.state_hash()) == (cells(b), b.turn(), b.state_hash())
    assert not b.unmake_move()
    assert observed(a) == observed(b)


def copies(x):
    """Every way to copy: each protocol's pickle, copy, deepcopy."""
    for protocol in PROTOCOLS:
        yield f"pickle {protocol}", pickle.loads(pickle.dumps(x, protocol))
    yield "copy", copy.copy(x)
    yield "deepcopy", copy.deepcopy(x)


def finished(columns, width=7, height=6):
    game = Game(width, height)
    for c in columns:
        assert game.apply_action(c)
    return game


RED_WIN = finished([0, 1, 0, 1, 0, 1, 0])
YELLOW_WIN = finished([6, 0, 1, 0, 1, 0, 1, 0])


def a_draw():
    rng = random.Random(7)
    while True:
        game = Game(4, 4)
        while not game.is_over():
            game.apply_action(rng.choice(game.legal_action_indices()))
        if game.outcome().is_draw():
            return game


DRAW = a_draw()


# ---- round trips ----

@pytest.mark.parametrize("width, height", SIZES)
def test_games_round_trip_on_every_word_count(width, height):
    rng = random.Random(width * 100 + height)
    games = [Game(width, height), random_game(width, height, rng, steps=3 * width * height)]
    games += [random_game(width, height, rng) for _ in range(4)]
    for game in games:
        for how, back in copies(game):
            assert type(back) is Game and back is not game, how
            expect_same_games(game.clone(), back)


@pytest.mark.parametrize("game", [RED_WIN, YELLOW_WIN, DRAW], ids=["red", "yellow", "draw"])
def test_finished_games_round_trip_with_their_outcome(game):
    for how, back in copies(game):
        assert back.is_over() and back.outcome() == game.outcome(), how
        assert back.reward_absolute() == game.reward_absolute()
        expect_same_games(game.clone(), back)


def test_edited_game_keeps_a_history_that_disagrees_with_its_board():
    # Pieces under the history removed, one added off the history, and a move
    # played, taken off by set_piece and played again past the board's size.
    game = finished([3, 3, 2])
    game.set_piece(3, 0, None)
    game.set_piece(6, 5, -1)
    for _ in range(50):
        game.apply_action(0)
        game.set_piece(0, 0, None)
    for how, back in copies(game):
        expect_same_games(game.clone(), back)


@pytest.mark.parametrize("width, height", SIZES)
def test_boards_round_trip_with_floating_pieces(width, height):
    rng = random.Random(width + height)
    board = Board(width, height)
    for _ in range(width * height):
        board.set_piece(rng.randrange(width), rng.randrange(height), rng.choice([1, -1]))
    board.set_piece(width - 1, height - 1, -1)
    for how, back in copies(board):
        assert type(back) is Board and back is not board, how
        assert cells(back) == cells(board) and repr(back) == repr(board) and str(back) == str(board)
        assert [back.column_height(c) for c in range(width)] == \
            [board.column_height(c) for c in range(width)]


@pytest.mark.parametrize("move", [Move(0, 0), Move(3, 5), Move(255, 255), Move(31, 200)], ids=repr)
def test_moves_round_trip(move):
    for how, back in copies(move):
        assert back == move and hash(back) == hash(move) and repr(back) == repr(move), how


@pytest.mark.parametrize("game", [RED_WIN, YELLOW_WIN, DRAW], ids=["red", "yellow", "draw"])
def test_outcomes_round_trip(game):
    outcome = game.outcome()
    for how, back in copies(outcome):
        assert type(back) is GameOutcome and back == outcome and str(back) == str(outcome), how


def test_copies_of_games_and_boards_are_independent():
    game = finished([3, 3])
    board = game.board()
    for how, c in [("copy", copy.copy(game)), ("deepcopy", copy.deepcopy(game)),
                   ("pickle", pickle.loads(pickle.dumps(game)))]:
        c.apply_action(0)
        c.set_piece(6, 0, 1)
        assert game.get_piece(0, 0) is None and game.get_piece(6, 0) is None, how
        assert len(game.legal_moves()) == 7 and game.turn() == dg.RED
    b = copy.copy(board)
    b.set_piece(0, 0, 1)
    assert board.get_piece(0, 0) is None


def test_immutable_values_copy_to_themselves():
    move, outcome = Move(1, 2), RED_WIN.outcome()
    assert copy.copy(move) is move and copy.deepcopy(move) is move
    assert copy.copy(outcome) is outcome and copy.deepcopy(outcome) is outcome


def test_deepcopy_keeps_shared_references_shared():
    game, move = Game(7, 6), Move(1, 0)
    a, b, m = copy.deepcopy([game, game, move])
    assert a is b and a is not game and m is move
    a, b = pickle.loads(pickle.dumps([game, game]))
    assert a is b


def test_pickles_load_in_another_process():
    game = random_game(9, 8, random.Random(3), steps=60)
    child = subprocess.run(
        [sys.executable, "-c", "import pickle, sys; g = pickle.load(sys.stdin.buffer); "
                               "print(g.state_hash(), g.turn(), g.unmake_move())"],
        input=pickle.dumps(game), capture_output=True, timeout=120)
    assert child.stderr == b""
    assert child.stdout.decode().split() == [str(game.state_hash()), str(game.turn()),
                                             str(bool(game.clone().unmake_move()))]


# ---- the pickled form ----

def saved(x):
    fn, args = x.__reduce__()
    assert fn is dg._reconstruct and len(args) == 1 and type(args[0]) is bytes
    return args[0]


def test_reduce_names_the_private_reconstructor():
    assert dg._reconstruct.__module__ == "drevik_gravline"
    assert dg._reconstruct.__name__ == dg._reconstruct.__qualname__ == "_reconstruct"
    assert "_reconstruct" not in dg.__all__
    assert [k for k in vars(dg) if k.startswith("_") and not k.startswith("__")] == ["_reconstruct", "_C_API"]


PINNED = [
    (Game(7, 6), "01470706010000000000" "000000000000" "000000000000"),
    (finished([3, 3]), "01470706010002000000" "080000000000" "000400000000" "0300" "0301"),
    # Red on cells 0, 7, 14, 21 and Yellow on 1, 8, 15; Yellow to move, Red won.
    (RED_WIN, "01470706ff0107000000" "814020000000" "028100000000"
              "0000" "0100" "0001" "0101" "0002" "0102" "0003"),
    (Game(9, 8), "01470908010000000000" + "00" * 18),
    (Board(4, 4), "0142040400000000"),
    (Move(3, 250), "014d03fa"),
    (RED_WIN.outcome(), "014f00"),
    (YELLOW_WIN.outcome(), "014f01"),
]


@pytest.mark.parametrize("x, hexed", PINNED, ids=lambda v: repr(v)[:40])
def test_saved_bytes_are_pinned(x, hexed):
    assert saved(x).hex() == hexed


def test_pickle_bytes_are_pinned():
    game = finished([3, 3])
    state = (b"\x01G\x07\x06\x01\x00\x02\x00\x00\x00\x08\x00\x00\x00\x00\x00\x00\x04\x00\x00"
             b"\x00\x00\x03\x00\x03\x01")
    assert pickle.dumps(game, 2) == (
        b"\x80\x02cdrevik_gravline\n_reconstruct\nq\x00c_codecs\nencode\nq\x01X\x1a\x00\x00\x00"
        + state + b"q\x02X\x06\x00\x00\x00latin1q\x03\x86q\x04Rq\x05\x85q\x06Rq\x07.")
    assert pickle.dumps(game, 5) == (
        b"\x80\x05\x95E\x00\x00\x00\x00\x00\x00\x00\x8c\x0fdrevik_gravline\x94\x8c\x0c_reconstruct"
        b"\x94\x93\x94C\x1a" + state + b"\x94\x85\x94R\x94.")
    assert pickle.dumps(Move(3, 0), 4) == (
        b"\x80\x04\x95/\x00\x00\x00\x00\x00\x00\x00\x8c\x0fdrevik_gravline\x94\x8c\x0c_reconstruct"
        b"\x94\x93\x94C\x04\x01M\x03\x00\x94\x85\x94R\x94.")


# ---- damaged and hostile states ----

def game_bytes():
    return bytearray(saved(finished([3, 3])))


def edited(**at):
    b = game_bytes()
    for k, v in at.items():
        b[int(k[1:])] = v
    return bytes(b)


R, Y, M = 10, 16, 22  # offsets of the red set, the yellow set and the moves in a 7x6 game
HOSTILE = [
    ("empty", b"", "too short"),
    ("version only", b"\x01", "too short"),
    ("version 0", edited(b0=0), "unknown version"),
    ("version 2", edited(b0=2), "unknown version"),
    ("kind", edited(b1=ord("X")), "unknown kind"),
    ("width 3", edited(b2=3), "size outside 4..32"),
    ("width 33", edited(b2=33), "size outside 4..32"),
    ("height 0", edited(b3=0), "size outside 4..32"),
    ("width 11 in a 7x6 length", edited(b2=11), "wrong length"),
    ("game as board", edited(b1=ord("B")), "wrong length"),
    ("cut header", bytes(game_bytes()[:7]), "too short"),
    ("one byte short", bytes(game_bytes()[:-1]), "wrong length"),
    ("one byte more", bytes(game_bytes() + b"\x00"), "wrong length"),
    ("a move more than counted", bytes(game_bytes() + b"\x00\x00"), "wrong length"),
    ("count 3", edited(b6=3), "wrong length"),
    ("count 2^32 - 1", edited(b6=255, b7=255, b8=255, b9=255), "wrong length"),
    ("turn 0", edited(b4=0), "turn is neither Red nor Yellow"),
    ("turn 2", edited(b4=2), "turn is neither Red nor Yellow"),
    ("Yellow to move after two moves", edited(b4=255), "the turn does not follow from the history"),
    ("status 4", edited(b5=4), "unknown status"),
    ("Red won, Red to move", edited(b5=1), "the winner is not the player who moved last"),
    ("bit 42", edited(b15=0x04), "a piece off the board"),
    ("bit 47 yellow", edited(b21=0x80), "a piece off the board"),
    ("cell in both colours", edited(b11=0x04), "a cell holds both colours"),
    ("history column 7", edited(b22=7), "a history move off the board"),
    ("history row 6", edited(b25=6), "a history move off the board"),
    ("history row 255", edited(b23=255), "a history move off the board"),
    ("finished without moves", bytes.fromhex("01470404010300000000" "0000" "0000"),
     "a finished game without moves"),
    ("board bit 81 of 81", bytes.fromhex("01420909" + "00" * 10 + "02" + "00" * 11),
     "a piece off the board"),
    ("board both colours", bytes.fromhex("01420404" "0100" "0100"), "a cell holds both colours"),
    ("board one byte more", bytes.fromhex("01420404" "0000" "000000"), "wrong length"),
    ("move too short", b"\x01M\x03", "not a saved move"),
    ("move too long", b"\x01M\x03\x00\x00", "not a saved move"),
    ("outcome 3", b"\x01O\x03", "unknown outcome"),
    ("outcome too long", b"\x01O\x00\x00", "not a saved outcome"),
]


@pytest.mark.parametrize("data, reason", [(d, r) for _, d, r in HOSTILE], ids=[n for n, _, _ in HOSTILE])
def test_damaged_states_are_refused(data, reason):
    with pytest.raises(ValueError) as exc:
        dg._reconstruct(data)
    assert str(exc.value) == REASON + reason


@pytest.mark.parametrize("data", [edited(b5=2), edited(b5=3), edited(b22=6, b24=6),
                                  edited(b15=0x03, b16=0xF0)],
                         ids=["yellow won", "draw", "history on empty cells", "pieces anywhere"])
def test_states_that_set_piece_can_reach_are_accepted(data):
    game = dg._reconstruct(data)
    assert saved(game) == data
    while game.unmake_move():
        pass
    assert game.turn() == dg.RED and not game.is_over()


def test_damaged_pickle_bytes_are_refused():
    good = pickle.dumps(finished([3, 3]), 5)
    inside = good.index(b"\x01G\x07\x06")
    bad = bytearray(good)
    bad[inside + R + 1] |= 0x04  # Red on Yellow's cell
    with pytest.raises(ValueError) as exc:
        pickle.loads(bytes(bad))
    assert str(exc.value) == REASON + "a cell holds both colours"


@pytest.mark.parametrize("args, kwargs, error", [
    (("x",), {}, "argument 'data': 'str' object is not an instance of 'bytes'"),
    ((bytearray(b"\x01M\x00\x00"),), {}, "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    ((memoryview(b"\x01M\x00\x00"),), {}, "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    ((None,), {}, "argument 'data': 'None' is not an instance of 'bytes'"),
    ((7,), {}, "argument 'data': 'int' object is not an instance of 'bytes'"),
    ((), {}, "_reconstruct() missing 1 required positional argument: 'data'"),
    ((b"", b""), {}, "_reconstruct() takes 1 positional arguments but 2 were given"),
    ((), {"state": b""}, "_reconstruct() got an unexpected keyword argument 'state'"),
])
def test_reconstructor_arguments_of_the_wrong_type_are_refused(args, kwargs, error):
    with pytest.raises(TypeError) as exc:
        dg._reconstruct(*args, **kwargs)
    assert str(exc.value) == error
    assert dg._reconstruct(data=b"\x01M\x03\x00") == Move(3, 0)


@pytest.mark.parametrize("cls, make", [(Game, lambda: Game(4, 4)), (Board, lambda: Board(4, 4)),
                                       (Move, lambda: Move(0, 0)),
                                       (GameOutcome, lambda: RED_WIN.outcome())],
                         ids=lambda v: getattr(v, "__name__", ""))
def test_copy_methods_check_receiver_and_memo(cls, make):
    for name in ("__reduce__", "__copy__", "__deepcopy__"):
        with pytest.raises(TypeError) as exc:
            getattr(cls, name)(Board(4, 4) if cls is not Board else Move(0, 0), {})
        assert str(exc.value).startswith(f"descriptor '{name}'")
    with pytest.raises(TypeError) as exc:
        make().__deepcopy__()
    assert str(exc.value) == f"{cls.__name__}.__deepcopy__() missing 1 required positional argument: 'memo'"


# ---- fuzzing ----

def check_usable(x):
    """A loaded object that breaks no rule: it saves to the same bytes, and a
    game plays on and takes back every move to an empty history."""
    data = saved(x)
    assert saved(dg._reconstruct(data)) == data
    if type(x) is Game:
        x.encode_spatial_planes()
        (x.state_hash(), x.transposition_hash(), hash(x), str(x))
        for m in x.legal_moves():
            assert x.is_legal_move(m)
        for a in range(x.width()):
            if x.apply_action(a):
                x.unmake_move()
        n = 0
        while x.unmake_move():
            n += 1
        assert x.turn() == dg.RED and not x.is_over() and n == int.from_bytes(data[6:10], "little")
    elif type(x) is Board:
        assert [x.column_height(c) for c in range(x.width())]


def mutate(data, rng):
    b = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        what = rng.random()
        if what < 0.5 and b:
            b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
        elif what < 0.65 and b:
            b[rng.randrange(len(b))] = rng.randrange(256)
        elif what < 0.8 and b:
            del b[rng.randrange(len(b)):][:rng.randrange(1, 4)]
        else:
            at = rng.randrange(len(b) + 1)
            b[at:at] = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4)))
    return bytes(b)


SAMPLES = [finished([3, 3]), RED_WIN, DRAW, Board(9, 9), Move(2, 3), YELLOW_WIN.outcome(),
           random_game(7, 6, random.Random(1), 40), random_game(9, 8, random.Random(2), 90),
           random_game(32, 32, random.Random(3), 200)]


def test_random_mutations_of_saved_states_load_or_are_refused():
    rng = random.Random(2024)
    loaded = 0
    for _ in range(3000):
        data = mutate(saved(rng.choice(SAMPLES)), rng)
        try:
            x = dg._reconstruct(data)
        except ValueError as exc:
            assert str(exc).startswith(REASON)
            continue
        loaded += 1
        assert saved(x) == data
        check_usable(x)
    assert loaded > 100


def well_formed(data):
    """False when pickletools finds the stream broken, such as a length that
    reaches past its end: the interpreter's unpickler allocates such a length
    before it finds the data missing (a MemoryError, an abort under
    AddressSanitizer), which is the interpreter's business, not the module's."""
    try:
        for _ in pickletools.genops(data):
            pass
    except Exception:  # noqa: BLE001 - any refusal
        return False
    return True


def test_random_mutations_of_pickles_load_or_fail_cleanly():
    rng = random.Random(15)
    for _ in range(3000):
        sample = rng.choice(SAMPLES)
        data = mutate(pickle.dumps(sample, rng.choice(PROTOCOLS)), rng)
        if not well_formed(data):
            continue
        try:
            x = pickle.loads(data)
        except Exception:  # noqa: BLE001 - the pickle machinery has many ways to refuse
            continue
        if type(x) in (Game, Board, Move, GameOutcome):
            check_usable(x)


def random_argument(rng):
    kind = rng.randrange(7)
    if kind == 0:  # a header of any version, kind and size, then anything
        head = bytes([rng.choice([0, 1, 1, 1, 2, 255]), ord(rng.choice("GBMOX")),
                      rng.randrange(0, 40), rng.randrange(0, 40)])
        return head + bytes(rng.randrange(256) for _ in range(rng.randrange(0, 300)))
    if kind == 1:  # a plausible game: right length, random fields
        w, h = rng.randrange(4, 33), rng.randrange(4, 33)
        n, m = (w * h + 7) // 8, rng.randrange(0, 5)
        return (bytes([1, ord("G"), w, h, rng.choice([1, 255]), rng.randrange(4)]) + m.to_bytes(4, "little")
                + bytes(rng.choice([0, 0, 0, rng.randrange(256)]) for _ in range(2 * n))
                + bytes(rng.randrange(max(w, h) + 1) for _ in range(2 * m)))
    if kind == 2:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(0, 12)))
    return rng.choice(["", "\x01G", 0, -1, 2**70, 1.5, None, [1], (b"\x01M\x00\x00",), bytearray(4),
                       Game(4, 4), object()])


def test_random_reconstruction_arguments_load_or_are_refused():
    rng = random.Random(77)
    for _ in range(5000):
        arg = random_argument(rng)
        try:
            x = dg._reconstruct(arg)
        except ValueError as exc:
            assert type(arg) is bytes and str(exc).startswith(REASON)
            continue
        except TypeError as exc:
            assert type(arg) is not bytes and str(exc).startswith("argument 'data': ")
            continue
        assert saved(x) == arg
        check_usable(x)
