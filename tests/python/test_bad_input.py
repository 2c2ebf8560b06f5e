"""Bad input, tried and listed: every argument of every method against the same
list of kinds (negative, huge, float, text, None, bool, NumPy scalars, objects
whose __index__ raises or re-enters the object). Each call gives the error the
conversion rules call for, or is accepted exactly as the plain value it stands
for; none crashes, and no failed call changes anything.

The expected outcome of a case comes from the conversion rules below, not from
a table of answers; bench/bad_input_table.py prints what the calls returned.
"""
import re
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import pytest

import drevik_gravline as dg
from drevik_gravline import Board, Game, GameOutcome, Move

# The interpreter's own texts, which the module passes through.
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"
BEYOND_LONG = "Python int too large to convert to C long"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def outcome_of(call):
    try:
        return ("ok", call())
    except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
        return (type(exc), str(exc), exc)


PANIC = outcome_of(lambda: Game(7, 6).set_piece(0, 0, 0))[0]


# ---- kinds of argument ----

class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        if self.error is TypeError:
            raise TypeError("bad index") from KeyError("cause")
        raise self.error("bad index")


class Reenter:
    """__index__ calls `action` on the object being converted for, keeps what
    happened, and returns 3."""

    value = 3

    def __init__(self, action):
        self.action, self.caught = action, None

    def __index__(self):
        self.caught = outcome_of(self.action)[:2]
        return self.value


def read_of(obj):
    if obj is None:  # a constructor: there is no object yet; use another one
        return lambda: Game.standard().turn()
    return {Game: lambda: obj.turn(), Board: lambda: obj.width(),
            GameOutcome: lambda: obj.winner()}[type(obj)]


def write_of(obj):
    if obj is None:
        return lambda: Game.standard().unmake_move()
    return lambda: obj.set_piece(99, 0, 1)  # off the board: changes nothing


@dataclass
class Kind:
    label: str
    make: Callable      # (object re-entered or None, the good value) -> the argument
    integer: Any = None  # the integer an index conversion gives, None if none
    raises: Any = None   # the exception __index__ raises


KINDS = [
    Kind("3", lambda o, g: 3, 3),
    Kind("-1", lambda o, g: -1, -1),
    Kind("300", lambda o, g: 300, 300),
    Kind("-2**63", lambda o, g: -2**63, -2**63),
    Kind("2**64", lambda o, g: 2**64, 2**64),
    Kind("True", lambda o, g: True, 1),
    Kind("False", lambda o, g: False, 0),
    Kind("np.int64(3)", lambda o, g: np.int64(3), 3),
    Kind("np.uint8(3)", lambda o, g: np.uint8(3), 3),
    Kind("np.float32(3)", lambda o, g: np.float32(3)),
    Kind("3.0", lambda o, g: 3.0),
    Kind("1e300", lambda o, g: 1e300),
    Kind("'3'", lambda o, g: "3"),
    Kind("b'3'", lambda o, g: b"3"),
    Kind("None", lambda o, g: None),
    Kind("[]", lambda o, g: []),
    Kind("object()", lambda o, g: object()),
    Kind("__index__ raises TypeError", lambda o, g: RaisingIndex(TypeError), raises=TypeError),
    Kind("__index__ raises ValueError", lambda o, g: RaisingIndex(ValueError), raises=ValueError),
    Kind("__index__ re-enters to read", lambda o, g: Reenter(read_of(o)), 3),
    Kind("__index__ re-enters to write", lambda o, g: Reenter(write_of(o)), 3),
]
EXTRA_KINDS = {
    "move": [Kind("Move(5, 0)", lambda o, g: Move(5, 0)), Kind("Board(7, 6)", lambda o, g: Board(7, 6)),
             Kind("Game(7, 6)", lambda o, g: Game(7, 6))],
    "game": [Kind("Game(7, 6)", lambda o, g: Game(7, 6)), Kind("Board(7, 6)", lambda o, g: Board(7, 6))],
    "array": [Kind("float32 array", lambda o, g: g.copy()),
              Kind("float64 array", lambda o, g: g.astype(np.float64)),
              Kind("'>f4' array", lambda o, g: g.astype(">f4")),
              Kind("one axis more", lambda o, g: g[..., None]),
              Kind("nested list", lambda o, g: g.tolist())],
}


# ---- methods and their arguments ----

def played(cols, size=(7, 6)):
    g = Game(*size)
    for c in cols:
        g.apply_action(c)
    return g


def running():
    return played([3, 3, 4, 2])


def red_won():
    return played([0, 1, 0, 1, 0, 1, 0])


def board():
    b = Board(7, 6)
    b.set_piece(3, 0, 1)
    b.set_piece(3, 1, -1)
    return b


def batch():
    rng = np.random.default_rng(1)
    s = rng.standard_normal((2, 3, 6, 7), dtype=np.float32)
    p = rng.standard_normal((2, 7), dtype=np.float32)
    v = rng.standard_normal(2, dtype=np.float32)
    return [s, p, v, p.copy(), (v > 0).astype(np.float32)]


def game_state(g):
    return (str(g), repr(g), g.state_hash(), g.transposition_hash(), hash(g), g.turn(), g.is_over(),
            repr(g.outcome()), g.legal_moves())


def state_of(obj):
    """Everything observable about the object a call may change."""
    if obj is None:
        return None
    if isinstance(obj, Game):
        return game_state(obj)
    if isinstance(obj, list):  # an augment_symmetries batch
        return [a.tobytes() for a in obj]
    return str(obj), repr(obj)


@dataclass
class Method:
    name: str
    params: tuple
    rules: tuple          # how each argument is converted and checked
    make: Callable        # () -> the object the call works on (None for a constructor)
    good: Callable        # that object -> good arguments
    call: Callable        # (object, *arguments) -> result
    holds: str = "read"   # the borrow held while arguments convert: read, write or none
    writable: bool = True  # whether anything can write the object

    def reentered(self, obj):
        return obj if self.holds != "none" or isinstance(obj, Game) else None


def const(*args):
    return lambda obj: args


METHODS = [
    Method("Game()", ("width", "height"), ("size", "size"), lambda: None, const(7, 6),
           lambda o, w, h: Game(w, h), "none"),
    Method("Game.get_piece", ("col", "row"), ("coord", "coord"), running, const(3, 0),
           lambda g, c, r: g.get_piece(c, r)),
    Method("Game.set_piece", ("col", "row", "piece"), ("coord", "coord", "piece"), running,
           const(3, 0, -1), lambda g, c, r, p: g.set_piece(c, r, p), "write"),
    Method("Game.decode_action", ("action",), ("index",), running, const(3),
           lambda g, a: g.decode_action(a)),
    Method("Game.apply_action", ("action",), ("index",), running, const(3),
           lambda g, a: g.apply_action(a), "write"),
    Method("Game.reward_from_perspective (won)", ("perspective",), ("perspective",), red_won,
           const(-1), lambda g, p: g.reward_from_perspective(p)),
    Method("Game.reward_from_perspective (running)", ("perspective",), ("any perspective",), running,
           const(-1), lambda g, p: g.reward_from_perspective(p)),
    Method("Game.is_legal_move", ("move_",), ("move",), running, const(Move(5, 0)),
           lambda g, m: g.is_legal_move(m)),
    Method("Game.make_move", ("move_",), ("move",), running, const(Move(5, 0)),
           lambda g, m: g.make_move(m), "write"),
    Method("Board()", ("width", "height"), ("size", "size"), lambda: None, const(7, 6),
           lambda o, w, h: Board(w, h), "none"),
    Method("Board.get_piece", ("col", "row"), ("coord", "coord"), board, const(3, 0),
           lambda b, c, r: b.get_piece(c, r)),
    Method("Board.set_piece", ("col", "row", "piece"), ("coord", "coord", "piece"), board,
           const(3, 0, -1), lambda b, c, r, p: b.set_piece(c, r, p), "write"),
    Method("Board.is_column_full", ("col",), ("coord",), board, const(3),
           lambda b, c: b.is_column_full(c)),
    Method("Board.column_height", ("col",), ("coord",), board, const(3),
           lambda b, c: b.column_height(c)),
    Method("Move()", ("col", "row"), ("coord", "coord"), lambda: None, const(3, 0),
           lambda o, c, r: Move(c, r), "none"),
    # The data is converted before the game is borrowed.
    Method("Move.decode", ("data", "game"), ("index", "game"), running, lambda g: (3, g),
           lambda g, d, game: Move.decode(d, game), "none"),
    Method("GameOutcome.encode_winner_from_perspective", ("perspective",), ("outcome perspective",),
           lambda: red_won().outcome(), const(-1), lambda o, p: o.encode_winner_from_perspective(p),
           writable=False),
    Method("augment_symmetries", ("states", "policies", "values", "opponent_policies",
                                  "opponent_policy_masks"), ("array",) * 5,
           batch, lambda b: tuple(b), lambda b, *arrays: dg.augment_symmetries(*arrays), "none"),
]

ARRAY_DIMS = {"states": 4, "policies": 2, "values": 1, "opponent_policies": 2,
              "opponent_policy_masks": 1}
PERSPECTIVE_PANIC = {"perspective": "Invalid perspective", "outcome perspective": "Unrecognized perspective"}


def kinds_for(rule):
    category = rule if rule in EXTRA_KINDS else "integer"
    return KINDS + EXTRA_KINDS.get(category, [])


CASES = [(m, i, k) for m in METHODS for i, rule in enumerate(m.rules) for k in kinds_for(rule)
         if m.writable or not k.label.endswith("write")]


# ---- what the rules call for ----

def interpreter_type_name(value):
    t = type(value)
    return t.__qualname__ if t.__module__ == "builtins" else f"{t.__module__}.{t.__qualname__}"


def not_an_instance(name, value, class_name):
    reason = (f"'None' is not an instance of '{class_name}'" if value is None
              else f"'{type(value).__qualname__}' object is not an instance of '{class_name}'")
    return (TypeError, f"argument '{name}': {reason}")


def expected(method, i, kind, value):
    """("ok", plain value the call must act as) or (exception type, message)."""
    rule, name = method.rules[i], method.params[i]
    if rule == "move":
        return ("ok", value) if isinstance(value, Move) else not_an_instance(name, value, "Move")
    if rule == "game":
        return ("ok", value) if isinstance(value, Game) else not_an_instance(name, value, "Game")
    if rule == "array":
        good = (isinstance(value, np.ndarray) and value.ndim == ARRAY_DIMS[name]
                and value.dtype == np.float32 and value.dtype.isnative)
        if good:
            return ("ok", value)
        if isinstance(value, np.ndarray):
            def dims(n):
                return f"{n} dimension" + ("s" if n != 1 else "")
            return (TypeError, f"argument '{name}': expected a float32 array of {dims(ARRAY_DIMS[name])}, "
                               f"got a {value.dtype} array of {dims(value.ndim)}")
        return not_an_instance(name, value, "ndarray")
    if rule == "piece" and value is None:
        return ("ok", None)
    if kind.raises is TypeError:
        return (TypeError, f"argument '{name}': bad index")
    if kind.raises is ValueError:
        return (ValueError, "bad index")
    n = kind.integer
    if n is None:
        return (TypeError, f"argument '{name}': '{interpreter_type_name(value)}' object cannot be "
                           "interpreted as an integer")
    if rule in ("size", "coord", "index"):
        if n < 0:
            return (OverflowError, NEGATIVE)
        if n >= 2**64:
            return (OverflowError, TOO_BIG)
        if rule == "size" and not 4 <= n <= 32:
            return (ValueError, f"Board {name} must be between 4 and 32")
        return ("ok", n)
    if not -2**63 <= n < 2**63:
        return (OverflowError, BEYOND_LONG)
    if not -128 <= n <= 127:
        return (OverflowError, OUT_OF_RANGE)
    if rule == "piece" and n not in (1, -1):
        return (PANIC, "Invalid player value")
    if rule in PERSPECTIVE_PANIC and n not in (1, -1):
        return (PANIC, PERSPECTIVE_PANIC[rule])
    return ("ok", n)


def expected_inner(method, i, kind):
    """What the re-entering call inside __index__ meets; None when __index__
    is never called."""
    write = kind.label.endswith("write")
    if method.rules[i] in EXTRA_KINDS:
        return None
    if method.holds == "none":
        return "ok"
    if method.holds == "write":
        return (RuntimeError, "Already borrowed" if write else "Already mutably borrowed")
    return (RuntimeError, "Already borrowed") if write else "ok"


# ---- running a case ----

@dataclass
class Ran:
    value: Any
    outcome: tuple
    inner: Any
    before: Any
    after: Any


def run(method, i, kind):
    obj = method.make()
    args = list(method.good(obj))
    value = kind.make(method.reentered(obj), args[i])
    args[i] = value
    before = state_of(obj)
    out = outcome_of(lambda: method.call(obj, *args))
    inner = value.caught if isinstance(value, Reenter) else None
    if inner is not None and inner[0] == "ok":
        inner = "ok"
    return Ran(value, out, inner, before, state_of(obj))


def describe(result):
    if isinstance(result, tuple) and result and all(isinstance(a, np.ndarray) for a in result):
        return f"returns {len(result)} new float32 arrays"
    return f"returns {result!r}"


def comparable(outcome):
    return describe(outcome[1]) if outcome[0] == "ok" else outcome[:2]


def twin(method, i, plain):
    """The same call with the plain value, on a new copy of the object."""
    obj = method.make()
    args = list(method.good(obj))
    args[i] = plain
    return comparable(outcome_of(lambda: method.call(obj, *args))), state_of(obj)


IDS = [f"{m.name}-{m.params[i]}-{k.label}" for m, i, k in CASES]


@pytest.mark.parametrize("method, i, kind", CASES, ids=IDS)
def test_bad_argument_gives_the_rule_and_changes_nothing(method, i, kind):
    ran = run(method, i, kind)
    want = expected(method, i, kind, ran.value)
    got = ran.outcome
    if want[0] == "ok":
        # Acts exactly as the plain value: same result or error, same change.
        assert (comparable(got), ran.after) == twin(method, i, want[1])
    else:
        assert got[:2] == want
        assert ran.after == ran.before
        if kind.raises is TypeError and method.rules[i] not in EXTRA_KINDS:
            assert type(got[2].__cause__) is KeyError  # the wrapped error keeps its cause
    if isinstance(ran.value, Reenter):
        assert ran.inner == expected_inner(method, i, kind)


RECEIVER_KINDS = [("None", None), ("3", 3), ("another class", None)]
OTHER = {Game: lambda: Board(7, 6), Board: lambda: Game(7, 6), Move: lambda: Game(7, 6),
         GameOutcome: lambda: Move(0, 0)}
RECEIVER_CASES = [(cls, name) for cls in (Game, Board, Move, GameOutcome) for name in vars(cls)
                  if vars(cls)[name] is not None
                  and (name in ("__str__", "__repr__", "__hash__", "__eq__")
                       or not name.startswith("_") and name not in ("standard", "decode"))]


def receiver_outcomes(cls, name):
    method = getattr(cls, name)
    for label, bad in RECEIVER_KINDS:
        bad = OTHER[cls]() if label == "another class" else bad
        yield label, outcome_of(lambda: method(bad))


@pytest.mark.parametrize("cls, name", RECEIVER_CASES, ids=[f"{c.__name__}.{n}" for c, n in RECEIVER_CASES])
def test_foreign_receiver_is_refused_before_the_method_runs(cls, name):
    for label, out in receiver_outcomes(cls, name):
        # The interpreter's method descriptor refuses it before any argument
        # is looked at, so no argument is needed to get there.
        assert out[0] is TypeError and out[1].startswith(f"descriptor '{name}'"), (label, out[:2])


# ---- the table ----

GENERAL = [  # what the table leaves out of a message so that alike rows merge
    (r"argument '[a-z_]+'", "argument '…'"),
    (r"'[^']+' object (cannot be interpreted|is not an instance)", r"'‹type›' object \1"),
    (r"Board (width|height) must", "Board ‹name› must"),
    (r"descriptor '[^']+'", "descriptor '‹method›'"),
    (r"for '[^']+' objects", "for '‹class›' objects"),
    (r"a '[^']+' object\b", "a '‹class›' object"),
    (r"received a '[^']+'", "received a '‹type›'"),
    (r"to a '‹class›' object", "to a '‹type›' object"),
]


def general(text):
    for pattern, replacement in GENERAL:
        text = re.sub(pattern, replacement, text)
    return text


def outcome_text(method, i, kind, ran):
    out = ran.outcome
    if out[0] != "ok":
        text = f"{out[0].__name__}: {out[1]}"
    elif kind.integer is None and ran.value is not None:
        text = "accepted"
    else:
        # Said only when a second call with the plain value did the same.
        plain = kind.integer
        same = (comparable(out), ran.after) == twin(method, i, plain)
        text = ("accepted as None" if plain is None else "accepted as the int it stands for") \
            if same else describe(out[1])
    if ran.inner is not None:
        inner = "ok" if ran.inner == "ok" else f"{ran.inner[0].__name__} {ran.inner[1]}"
        text += f"; the re-entering call: {inner}"
    return general(text)


def table_rows():
    """(methods with their arguments, argument names, kinds, result) rows, with
    arguments that fared alike in every kind merged, and then kinds alike."""
    profiles = {}
    for m, i, k in CASES:
        text = outcome_text(m, i, k, run(m, i, k))
        profiles.setdefault((m.name, m.params[i]), []).append((k.label, text))
    groups = {}
    for pair, profile in profiles.items():
        groups.setdefault(tuple(profile), []).append(pair)
    rows = []
    for profile, pairs in groups.items():
        by_method = {}
        for name, param in pairs:
            by_method.setdefault(name, []).append(param)
        methods = ", ".join(f"{n} {'/'.join(p)}" for n, p in by_method.items())
        params = ", ".join(dict.fromkeys(p for _, p in pairs))
        by_outcome = {}
        for label, text in profile:
            by_outcome.setdefault(text, []).append(label)
        for n, (text, labels) in enumerate(by_outcome.items()):
            rows.append((methods if n == 0 else "", params if n == 0 else "", ", ".join(labels), text))
    receiver = {}
    for cls, name in RECEIVER_CASES:
        for label, out in receiver_outcomes(cls, name):
            receiver.setdefault(general(f"{out[0].__name__}: {out[1]}"), {})[label] = None
    for n, (text, labels) in enumerate(receiver.items()):
        rows.append(("every method and slot of every class" if n == 0 else "", "self" if n == 0 else "",
                     ", ".join(labels), text + " (the interpreter's own check)"))
    return rows


def markdown_table():
    def cell(s):
        return s.replace("|", "\\|").replace("\n", " ")
    lines = ["| method | argument | kind | result |", "|---|---|---|---|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in table_rows()]
    return "\n".join(lines)
