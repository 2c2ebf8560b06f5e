"""Random play against the plain-Python model: every observable of the module is
compared with reference_model after every step.

GRAVLINE_DIFF_STEPS sets the number of steps (default below, a few seconds) and
GRAVLINE_DIFF_SEED the seed (default 0). A failure names the seed, the step and
the operations that led to it, so it replays exactly.
"""

import collections
import math
import os
import random

import pytest

import drevik_gravline as dg
from drevik_gravline import Board, Game, Move

import reference_model as rm

try:
    import numpy as np
except ImportError:
    np = None

DEFAULT_STEPS = 30_000
STEPS = int(os.environ.get("GRAVLINE_DIFF_STEPS", DEFAULT_STEPS))
SEED = int(os.environ.get("GRAVLINE_DIFF_SEED", "0"))

# Sizes that sit on word boundaries or are the usual ones come up often.
FAVOURITE_SIZES = [(4, 4), (7, 6), (8, 8), (9, 8), (32, 32)]
POOL_SIZE = 3
# Full comparisons (text, every cell, planes, the board copy) on about one step in this many.
FULL_CHECK_EVERY = 12

PanicException = None


def _panic_type():
    """The module's internal-error class, caught from a call known to raise it."""
    global PanicException
    if PanicException is None:
        try:
            Game(4, 4).set_piece(0, 0, 0)
        except BaseException as exc:  # noqa: B036 - it derives from BaseException only
            PanicException = type(exc)
    return PanicException


def mirror_available():
    """augment_symmetries may still be a stub that refuses to run."""
    if np is None:
        return False
    z = np.zeros
    try:
        dg.augment_symmetries(z((1, 1, 4, 4), np.float32), z((1, 4), np.float32),
                              z(1, np.float32), z((1, 4), np.float32), z(1, np.float32))
    except RuntimeError as exc:
        if "not built yet" in str(exc):
            return False
        raise
    return True


def fbits(x):
    """A float with its sign, so 0.0 and -0.0 differ."""
    return None if x is None else (x, math.copysign(1.0, x))


def outcome_view(o):
    """Everything a GameOutcome shows, or None."""
    if o is None:
        return None
    return (str(o), repr(o), o.winner(), o.is_draw(), fbits(o.encode_winner_absolute()),
            fbits(o.encode_winner_from_perspective(1)), fbits(o.encode_winner_from_perspective(-1)))


def model_outcome_view(outcome):
    if outcome is None:
        return None
    return (rm.OUTCOME_TEXT[outcome], rm.outcome_repr(outcome), rm.OUTCOME_WINNER[outcome],
            outcome == rm.DRAW, fbits(rm.OUTCOME_ABSOLUTE[outcome]),
            fbits(rm.outcome_reward(outcome, 1)), fbits(rm.outcome_reward(outcome, -1)))


def move_view(m):
    return None if m is None else (m.col(), m.row())


def move_texts(m):
    return (str(m), repr(m), hash(m), m.encode(), m.col(), m.row())


def model_move_texts(col, row):
    return (rm.move_text(col, row), rm.move_repr(col, row), rm.move_hash(col, row), col, col, row)


class Pair:
    """A module game and its model, kept in step."""

    def __init__(self, game, model, name):
        self.game, self.model, self.name = game, model, name


class Differential:
    def __init__(self, seed):
        self.seed = seed
        self.rng = random.Random(seed)
        self.step = 0
        self.log = collections.deque(maxlen=40)
        self.stats = collections.Counter()
        self.mirror = mirror_available()
        self.names = 0
        self.pool = []
        self.active = None
        self.np_rng = np.random.default_rng(seed) if np is not None else None
        self.ops = [
            (self.op_play, 30),
            (self.op_apply_any, 6),
            (self.op_make_bad, 6),
            (self.op_unmake, 9),
            (self.op_rewind, 0.2),
            (self.op_set_piece, 4),
            (self.op_overwrite_history, 2),
            (self.op_bad_piece, 0.3),
            (self.op_crowd, 0.3),
            (self.op_planes, 2),
            (self.op_clone, 2),
            (self.op_switch, 2),
            (self.op_board, 2),
            (self.op_decode_action, 3),
            (self.op_move_decode, 3),
            (self.op_rewards, 2),
            (self.op_mirror, 0.5 if self.mirror else 0),
        ]
        self.op_funcs = [f for f, _ in self.ops]
        self.op_weights = [w for _, w in self.ops]

    # ---- reporting ----

    def fail(self, what, got, want):
        p = self.active
        lines = [
            f"{what}: module gave {got!r}, model expects {want!r}",
            f"GRAVLINE_DIFF_SEED={self.seed}, step {self.step}, "
            f"game {p.name} {p.model.width}x{p.model.height}, history {p.model.history}",
            "recent operations, oldest first:",
            *("  " + s for s in self.log),
            "model position:",
            p.model.text(),
        ]
        raise AssertionError("\n".join(lines))

    def expect(self, what, got, want):
        if got != want:
            self.fail(what, got, want)

    def note(self, text):
        self.log.append(f"{self.step}: {self.active.name}.{text}")

    # ---- episodes ----

    def pick_size(self):
        if self.rng.random() < 0.4:
            return self.rng.choice(FAVOURITE_SIZES)
        return self.rng.randint(4, 32), self.rng.randint(4, 32)

    def new_name(self):
        self.names += 1
        return f"g{self.names}"

    def new_episode(self):
        w, h = self.pick_size()
        game = Game.standard() if (w, h) == (7, 6) and self.rng.random() < 0.5 else Game(w, h)
        self.pool = [Pair(game, rm.Game(w, h), self.new_name())]
        self.active = self.pool[0]
        # Quiet play avoids completing fours when it can, so small boards fill up and draw.
        self.quiet = w * h <= 100 and self.rng.random() < 0.3
        self.episode_left = 6 * w * h
        self.log.append(f"{self.step}: {self.active.name} = Game({w}, {h})"
                        + (" quiet" if self.quiet else ""))
        self.stats["episodes"] += 1

    def episode_done(self):
        m = self.active.model
        self.episode_left -= 1
        return self.episode_left <= 0 or (m.over and self.rng.random() < 0.15)

    def run(self, steps):
        _panic_type()
        self.new_episode()
        while self.step < steps:
            self.step += 1
            op = self.rng.choices(self.op_funcs, self.op_weights)[0]
            op(self.active)
            self.check_cheap(self.active)
            if self.rng.random() < 1 / FULL_CHECK_EVERY:
                for p in self.pool:
                    self.check_cheap(p)
                self.check_full(self.active)
            m = self.active.model
            if m.over:
                self.stats["over steps"] += 1
            if self.episode_done():
                self.check_full(self.active)
                self.stats["wins" if m.outcome in (rm.RED_WIN, rm.YELLOW_WIN) else
                           "draws" if m.outcome == rm.DRAW else "unfinished"] += 1
                self.new_episode()
        return self.stats

    # ---- comparisons ----

    def random_coord(self, limit):
        """A column or row argument: mostly on or near the board, sometimes wrapping at 256."""
        x = self.rng.random()
        if x < 0.85:
            return self.rng.randrange(limit + 2)
        if x < 0.95:
            return self.rng.randrange(limit) + 256 * self.rng.randint(1, 5)
        return self.rng.getrandbits(64)

    def check_cheap(self, p):
        g, m = p.game, p.model
        legal = m.legal_moves()
        got = (g.turn(), g.is_over(), outcome_view(g.outcome()), g.legal_action_indices(),
               [move_view(x) for x in g.legal_moves()], g.state_hash(),
               g.transposition_hash(), hash(g), repr(g), fbits(g.reward_absolute()),
               fbits(g.reward_from_perspective(1)), fbits(g.reward_from_perspective(-1)))
        want = (m.turn, m.over, model_outcome_view(m.outcome), [c for c, _ in legal], legal,
                m.state_hash(), m.transposition_hash(), m.py_hash(), m.repr(),
                fbits(m.reward_absolute()), fbits(m.reward_from_perspective(1)),
                fbits(m.reward_from_perspective(-1)))
        if got != want:
            names = ("turn", "is_over", "outcome", "legal_action_indices", "legal_moves",
                     "state_hash", "transposition_hash", "hash", "repr", "reward_absolute",
                     "reward_from_perspective(1)", "reward_from_perspective(-1)")
            for name, a, b in zip(names, got, want):
                self.expect(f"{p.name}.{name}()", a, b)
        for _ in range(3):
            c, r = self.random_coord(m.width), self.random_coord(m.height)
            self.expect(f"{p.name}.get_piece({c}, {r})", g.get_piece(c, r), m.get_piece(c, r))

    def check_full(self, p):
        g, m = p.game, p.model
        w, h = m.width, m.height
        self.expect(f"str({p.name})", str(g), m.text())
        cells = [[g.get_piece(c, r) for c in range(w)] for r in range(h)]
        self.expect(f"{p.name} cells", cells, m.board.grid)
        self.expect(f"{p.name} sizes",
                    (g.width(), g.height(), g.board_shape(), g.total_actions(),
                     g.spatial_input_plane_count(), g.global_input_feature_count(),
                     g.encode_global_state_features()),
                    (w, h, (h, w), w, rm.PLANES, 0, []))
        self.check_board(g.board(), m.board, f"{p.name}.board()")
        self.check_planes(p)
        legal = g.legal_moves()
        if legal:
            mv = self.rng.choice(legal)
            self.expect("legal move texts", move_texts(mv), model_move_texts(mv.col(), mv.row()))
        self.stats["full checks"] += 1

    def check_board(self, b, mb, name):
        w, h = mb.width, mb.height
        self.expect(f"{name} text", (str(b), repr(b), b.width(), b.height()),
                    (mb.text(), mb.repr(), w, h))
        cols = list(range(w + 2)) + [self.random_coord(w) for _ in range(2)]
        self.expect(f"{name} columns",
                    [(b.column_height(c), b.is_column_full(c)) for c in cols],
                    [(mb.column_height(c), mb.is_column_full(c)) for c in cols])
        self.expect(f"{name}.is_board_full()", b.is_board_full(), mb.is_board_full())
        cells = [[b.get_piece(c, r) for c in range(w)] for r in range(h)]
        self.expect(f"{name} cells", cells, mb.grid)

    def check_planes(self, p):
        got = p.game.encode_spatial_planes()
        m = p.model
        want_planes = m.planes()
        self.expect(f"{p.name} plane shape", got[1:], (rm.PLANES, m.height, m.width))
        if got[0] != want_planes:
            area = m.width * m.height
            bad = next(i for i, (a, b) in enumerate(zip(got[0], want_planes)) if a != b) \
                if len(got[0]) == len(want_planes) else None
            where = "length" if bad is None else \
                f"plane {bad // area}, row {bad % area // m.width}, col {bad % m.width}"
            self.fail(f"{p.name}.encode_spatial_planes() at {where}",
                      got[0] if bad is None else got[0][bad],
                      want_planes if bad is None else want_planes[bad])
        self.stats["plane checks"] += 1

    # ---- operations ----

    def op_play(self, p):
        """A legal move, as an action or as a Move (whose column may wrap at 256)."""
        g, m = p.game, p.model
        legal = m.legal_moves()
        if not legal:
            return self.op_unmake(p)
        if self.quiet:
            calm = [mv for mv in legal if not self.wins(m, mv)]
            legal = calm or legal
        col, row = self.rng.choice(legal)
        if self.rng.random() < 0.5:
            self.note(f"apply_action({col})")
            self.expect("apply_action", g.apply_action(col), m.apply_action(col))
        else:
            alias = col + 256 * (self.rng.random() < 0.1)
            self.note(f"make_move(Move({alias}, {row}))")
            self.expect("make_move", g.make_move(Move(alias, row)), m.make_move(alias, row))
        self.stats["moves"] += 1
        if m.history[-1][1] != row:
            self.stats["landings below the named row"] += 1

    @staticmethod
    def wins(m, move):
        trial = m.clone()
        trial.make_move(*move)
        return trial.outcome in (rm.RED_WIN, rm.YELLOW_WIN)

    def random_action(self, w):
        x = self.rng.random()
        if x < 0.6:
            return self.rng.randrange(w)
        if x < 0.8:
            return w + self.rng.randrange(300)
        if x < 0.9:
            return self.rng.randrange(w) + 256
        return self.rng.choice([2**64 - 1, 2**63, self.rng.getrandbits(64)])

    def op_apply_any(self, p):
        m = p.model
        a = self.random_action(m.width)
        decoded = m.decode_action(a)
        over = m.over
        self.note(f"apply_action({a})")
        self.expect(f"apply_action({a})", p.game.apply_action(a), m.apply_action(a))
        if decoded is not None and not over and m.board.is_column_full(a):
            self.stats["decoded but refused"] += 1

    def op_make_bad(self, p):
        """Moves that are mostly refused: wrong rows, columns off the board, full columns."""
        g, m = p.game, p.model
        w, h = m.width, m.height
        kind = self.rng.randrange(4)
        if kind == 0:
            col = self.rng.randrange(w)
            row = self.rng.randrange(h + 3)
        elif kind == 1:
            col = self.rng.randrange(w, 256) + 256 * self.rng.randint(0, 2)
            row = self.rng.randrange(h)
        elif kind == 2:
            col = self.rng.randrange(w)
            row = m.board.column_height(col) + 256 * self.rng.randint(1, 3)
        else:
            col, row = self.rng.getrandbits(64), self.rng.getrandbits(64)
        mv = Move(col, row)
        self.expect(f"Move({col}, {row}) texts", move_texts(mv),
                    model_move_texts(col % 256, row % 256))
        self.expect(f"is_legal_move(Move({col}, {row}))", g.is_legal_move(mv),
                    m.is_legal_move(col, row))
        self.note(f"make_move(Move({col}, {row}))")
        self.expect(f"make_move(Move({col}, {row}))", g.make_move(mv), m.make_move(col, row))

    def op_unmake(self, p):
        self.note("unmake_move()")
        self.stats["unmakes" if p.model.history else "unmakes on empty history"] += 1
        self.expect("unmake_move", p.game.unmake_move(), p.model.unmake_move())

    def op_rewind(self, p):
        """Take back every move, comparing after each one, down to the empty history."""
        self.note(f"unmake_move() x {len(p.model.history)}")
        while p.model.history:
            self.expect("unmake_move", p.game.unmake_move(), p.model.unmake_move())
            self.check_cheap(p)
        self.expect("unmake_move on empty history", p.game.unmake_move(), p.model.unmake_move())
        self.stats["rewinds"] += 1

    def random_piece(self):
        return self.rng.choice((rm.RED, rm.YELLOW, None))

    def op_set_piece(self, p):
        c = self.random_coord(p.model.width)
        r = self.random_coord(p.model.height)
        piece = self.random_piece()
        self.note(f"set_piece({c}, {r}, {piece})")
        self.expect("set_piece", p.game.set_piece(c, r, piece), None)
        p.model.set_piece(c, r, piece)
        self.stats["edits"] += 1

    def op_overwrite_history(self, p):
        """Edit a cell the history recorded, so that history and board disagree."""
        m = p.model
        if not m.history:
            return self.op_set_piece(p)
        c, r = self.rng.choice(m.history[-8:])
        piece = self.random_piece()
        self.note(f"set_piece({c}, {r}, {piece}) over history")
        p.game.set_piece(c, r, piece)
        m.set_piece(c, r, piece)
        self.stats["history edits"] += 1

    def op_bad_piece(self, p):
        piece = self.rng.choice((0, 2, -2, 127, -128, 128, -129, 1000))
        c, r = self.random_coord(p.model.width), self.random_coord(p.model.height)
        self.note(f"set_piece({c}, {r}, {piece}) refused")
        try:
            p.game.set_piece(c, r, piece)
            got = None
        except OverflowError as exc:
            got = ("OverflowError", str(exc))
        except _panic_type() as exc:
            got = ("PanicException", str(exc))
        want = (("OverflowError", "out of range integral type conversion attempted")
                if not -128 <= piece <= 127 else ("PanicException", "Invalid player value"))
        self.expect(f"set_piece(..., {piece})", got, want)

    def op_crowd(self, p):
        """Fill the top row but one cell, and that column up to just below it, so the
        next move there fills the top row: a draw unless it makes four."""
        m = p.model
        w, h = m.width, m.height
        col = self.rng.randrange(w)
        self.note(f"crowd around column {col}")
        for c in range(w):
            if c != col:
                piece = self.rng.choice((rm.RED, rm.YELLOW))
                p.game.set_piece(c, h - 1, piece)
                m.set_piece(c, h - 1, piece)
        for r in range(h - 1):
            if m.get_piece(col, r) is None:
                piece = rm.RED if (r + col) % 2 else rm.YELLOW
                p.game.set_piece(col, r, piece)
                m.set_piece(col, r, piece)
        p.game.set_piece(col, h - 1, None)
        m.set_piece(col, h - 1, None)
        self.stats["crowds"] += 1

    def op_planes(self, p):
        self.note("encode_spatial_planes()")
        self.check_planes(p)

    def op_clone(self, p):
        q = Pair(p.game.clone(), p.model.clone(), self.new_name())
        self.note(f"clone() -> {q.name}")
        self.pool.append(q)
        if len(self.pool) > POOL_SIZE:
            self.pool.remove(self.rng.choice([x for x in self.pool if x not in (p, q)]))
        # Carry on with the copy or with the original; the other is checked later.
        self.active = q if self.rng.random() < 0.5 else p
        self.stats["clones"] += 1

    def op_switch(self, p):
        self.active = self.rng.choice(self.pool)
        self.log.append(f"{self.step}: switch to {self.active.name}")

    def op_board(self, p):
        """A copy of the board, edited; the game must not notice."""
        b, mb = p.game.board(), p.model.board.copy()
        self.note("board() edited")
        self.check_board(b, mb, f"{p.name}.board()")
        for _ in range(self.rng.randint(1, 6)):
            if self.rng.random() < 0.1:
                b.clear()
                mb.clear()
                continue
            c, r = self.random_coord(mb.width), self.random_coord(mb.height)
            piece = self.random_piece()
            b.set_piece(c, r, piece)
            mb.set_piece(c, r, piece)
        self.check_board(b, mb, f"{p.name}.board() after edits")
        self.stats["boards"] += 1

    def op_decode_action(self, p):
        a = self.random_action(p.model.width)
        got = p.game.decode_action(a)
        want = p.model.decode_action(a)
        self.expect(f"decode_action({a})", move_view(got), want)
        if got is not None:
            self.expect(f"decode_action({a}) texts", move_texts(got), model_move_texts(*want))

    def op_move_decode(self, p):
        data = self.random_action(p.model.width)
        try:
            got = move_view(Move.decode(data, p.game))
        except ValueError as exc:
            got = ("ValueError", str(exc))
        want = p.model.decode_action(data) or ("ValueError", "invalid move")
        self.expect(f"Move.decode({data}, game)", got, want)

    def op_rewards(self, p):
        g, m = p.game, p.model
        persp = self.rng.choice((1, -1, 0, 2, -128, 127, self.rng.randint(-128, 127), True))
        try:
            got = fbits(g.reward_from_perspective(persp))
        except _panic_type() as exc:
            got = ("PanicException", str(exc))
        want = m.reward_from_perspective(persp)
        want = ("PanicException", "Invalid perspective") if want is None else fbits(want)
        self.expect(f"reward_from_perspective({persp})", got, want)
        o = g.outcome()
        if o is not None:
            try:
                got = fbits(o.encode_winner_from_perspective(persp))
            except _panic_type() as exc:
                got = ("PanicException", str(exc))
            want = (fbits(rm.outcome_reward(m.outcome, persp)) if persp in (1, -1)
                    else ("PanicException", "Unrecognized perspective"))
            self.expect(f"encode_winner_from_perspective({persp})", got, want)
            self.expect("outcome equality", (o == g.outcome(), o != g.outcome()), (True, False))

    def op_mirror(self, p):
        """augment_symmetries on a batch built from this game's planes and noise."""
        m = p.model
        gen = self.np_rng
        batch = self.rng.randint(0, 3)
        w = m.width
        planes_count = self.rng.choice((rm.PLANES, rm.PLANES, 0, 1, 3))
        h = m.height if planes_count == rm.PLANES else self.rng.randint(0, 5)
        if planes_count == rm.PLANES:
            one = np.array(m.planes(), dtype=np.float32).reshape(rm.PLANES, h, w)
            states = np.stack([one] * batch) if batch else np.zeros((0, rm.PLANES, h, w), np.float32)
        else:
            states = gen.standard_normal((batch, planes_count, h, w)).astype(np.float32)
        policies = gen.standard_normal((batch, w)).astype(np.float32)
        values = gen.standard_normal(batch).astype(np.float32)
        opp = gen.standard_normal((batch, w)).astype(np.float32)
        masks = gen.integers(0, 2, batch).astype(np.float32)
        if batch and self.rng.random() < 0.3:
            policies[0, 0] = np.nan
            values[0] = -0.0
            opp[-1, -1] = -np.inf
        args = [states, policies, values, opp, masks]
        if self.rng.random() < 0.4:
            # Strided views: reversed columns, and every other entry of a wider array.
            args[0] = np.ascontiguousarray(states[..., ::-1])[..., ::-1]
            wide = np.repeat(policies, 2, axis=1)
            args[1] = wide[:, ::2]
        before = [a.tobytes() for a in args]
        self.note(f"augment_symmetries(batch {batch}, planes {planes_count}, {h}x{w})")
        got = dg.augment_symmetries(*args)
        want = rm.mirror_batch(*args)
        self.expect("augment_symmetries result count", len(got), 5)
        for i, (a, b) in enumerate(zip(got, want)):
            self.expect(f"augment_symmetries[{i}] layout",
                        (type(a), a.dtype, a.shape, a.flags.c_contiguous, a.flags.writeable),
                        (np.ndarray, np.dtype(np.float32), b.shape, True, True))
            self.expect(f"augment_symmetries[{i}] bytes", a.tobytes(), b.tobytes())
            self.expect(f"augment_symmetries[{i}] shares memory",
                        any(np.shares_memory(a, x) for x in args), False)
        self.expect("augment_symmetries arguments untouched",
                    [a.tobytes() for a in args], before)
        self.stats["mirrors"] += 1


def test_model_matches_published_values():
    """The model reproduces the worked hash values and texts before it judges anything."""
    assert rm.siphash13(b"") == 15130871412783076140
    g = rm.Game(7, 6)
    assert (g.state_hash(), g.transposition_hash(), g.py_hash()) == (
        12513035348757088845, 11662295138548180633, 1231240090846988874)
    g.apply_action(3)
    assert (g.state_hash(), g.transposition_hash(), g.py_hash()) == (
        16522831597811446852, 5076636341670763276, 5747234783373043202)
    g = rm.Game(7, 6)
    for c in (0, 1, 0, 1, 0, 1, 0):
        g.apply_action(c)
    assert (g.over, g.outcome, g.turn) == (True, rm.RED_WIN, rm.YELLOW)
    assert (g.state_hash(), g.transposition_hash(), g.py_hash()) == (
        757399061492564880, 4994100036866473222, -3995502691167116177)
    assert rm.move_hash(3, 0) == 7293462908534724562
    assert rm.move_hash(0, 0) == 6165216591721696495
    assert rm.Game(7, 6).text() == (
        "Game(turn: Red, is_over: false, outcome: None)\n"
        + "|.|.|.|.|.|.|.|\n" * 6 + " 0 1 2 3 4 5 6 \n")


def test_model_rules_on_edited_boards():
    """The model's reading of the gravity rules where history and board disagree."""
    g = rm.Game(7, 6)
    g.set_piece(2, 1, rm.YELLOW)           # floating piece, gap at row 0
    assert g.decode_action(2) == (2, 1)
    assert g.make_move(2, 1)               # legal by count, lands in the gap
    assert g.history == [(2, 0)]
    g.set_piece(4, 5, rm.RED)              # top cell filled above gaps
    assert g.decode_action(4) == (4, 1) and not g.apply_action(4)
    for c in (0, 1, 2, 3):
        g.set_piece(c, 3, rm.YELLOW)       # a floating yellow four the game never noticed
    assert not g.over and g.turn == rm.YELLOW
    assert g.apply_action(6) and g.outcome == rm.YELLOW_WIN
    assert g.unmake_move() and g.unmake_move() and g.history == []
    assert g.get_piece(2, 0) is None and g.get_piece(2, 1) == rm.YELLOW


def test_random_games_match_the_model():
    stats = Differential(SEED).run(STEPS)
    print(f"\ndifferential: {STEPS} steps, seed {SEED}: {dict(sorted(stats.items()))}")
    if STEPS >= DEFAULT_STEPS:
        # A run this long must have reached every kind of event, or it checks too little.
        for key in ("wins", "draws", "unmakes", "unmakes on empty history", "rewinds", "edits",
                    "history edits", "clones", "boards", "plane checks", "crowds",
                    "landings below the named row", "decoded but refused"):
            assert stats[key] > 0, key
        if mirror_available():
            assert stats["mirrors"] > 0
