"""The module as a whole: registration, class objects, argument binding and conversion."""
import importlib.util
import inspect
import operator
import os
import subprocess
import sys

import numpy as np
import pytest

import drevik_gravline as dg

CLASSES = [dg.Board, dg.Game, dg.Move, dg.GameOutcome]
NAMES = ["Board", "Game", "Move", "GameOutcome", "augment_symmetries",
         "RED", "YELLOW", "SPATIAL_INPUT_PLANES", "GLOBAL_INPUT_FEATURES"]


def test_all_lists_the_nine_names_in_registration_order():
    assert dg.__all__ == NAMES
    assert [k for k in vars(dg) if not k.startswith("_")] == NAMES
    # The private names: the function that pickles name (test_pickle.py) and
    # the table drevik_gravline_batch borrows.
    assert [k for k in vars(dg) if k.startswith("_") and not k.startswith("__")] == [
        "_reconstruct", "_C_API"]
    assert dg.__doc__ == ""


@pytest.mark.parametrize("name, value", [
    ("RED", 1), ("YELLOW", -1), ("SPATIAL_INPUT_PLANES", 17), ("GLOBAL_INPUT_FEATURES", 0)])
def test_constants_are_plain_ints(name, value):
    assert type(getattr(dg, name)) is int
    assert getattr(dg, name) == value


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(dg, "PanicException")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_named_as_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"


@pytest.mark.parametrize("cls, signature", [
    (dg.Game, "(width, height)"), (dg.Board, "(width, height)"), (dg.Move, "(col, row)")])
def test_constructor_doc_is_only_its_signature(cls, signature):
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature


def test_game_outcome_has_empty_doc_and_no_signature():
    assert dg.GameOutcome.__doc__ == ""
    assert dg.GameOutcome.__text_signature__ is None


def sig(*params):
    return "(" + ", ".join(("self", "/") + params) + ")"


METHODS = {
    dg.Game: [
        ("standard", "()"), ("width", sig()), ("height", sig()),
        ("get_piece", sig("col", "row")), ("set_piece", sig("col", "row", "piece")),
        ("turn", sig()), ("is_over", sig()), ("legal_action_indices", sig()),
        ("apply_action", sig("action")), ("encode_spatial_planes", sig()),
        ("encode_global_state_features", sig()), ("decode_action", sig("action")),
        ("total_actions", sig()), ("board_shape", sig()), ("spatial_input_plane_count", sig()),
        ("global_input_feature_count", sig()), ("reward_absolute", sig()),
        ("reward_from_perspective", sig("perspective")), ("outcome", sig()),
        ("legal_moves", sig()), ("is_legal_move", sig("move_")), ("make_move", sig("move_")),
        ("unmake_move", sig()), ("board", sig()), ("clone", sig()), ("state_hash", sig()),
        ("transposition_hash", sig())],
    dg.Board: [
        ("standard", "()"), ("width", sig()), ("height", sig()),
        ("get_piece", sig("col", "row")), ("set_piece", sig("col", "row", "piece")),
        ("clear", sig()), ("is_board_full", sig()), ("is_column_full", sig("col")),
        ("column_height", sig("col"))],
    dg.Move: [("col", sig()), ("row", sig()), ("encode", sig()), ("decode", "(data, game)")],
    dg.GameOutcome: [
        ("winner", sig()), ("encode_winner_absolute", sig()),
        ("encode_winner_from_perspective", sig("perspective")), ("is_draw", sig())],
}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_method_table_order_and_signatures(cls):
    public = [k for k in vars(cls) if not k.startswith("_")]
    assert public == [name for name, _ in METHODS[cls]]
    assert [str(inspect.signature(getattr(cls, n))) for n in public] == [s for _, s in METHODS[cls]]


def test_static_methods_work_on_class_and_instance():
    g = dg.Game(4, 4)
    assert repr(g.standard()) == repr(dg.Game.standard()) == repr(dg.Game(7, 6))
    assert repr(dg.Board(4, 4).standard()) == "Board(width=7, height=6)"
    assert dg.Move(0, 0).decode(1, g) == dg.Move.decode(1, g) == dg.Move(1, 0)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError) as exc:
        type("Sub", (cls,), {})
    assert str(exc.value) == f"type 'builtins.{cls.__name__}' is not an acceptable base type"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_immutable(cls):
    with pytest.raises(TypeError) as exc:
        cls.extra = 1
    assert str(exc.value) == f"cannot set 'extra' attribute of immutable type 'builtins.{cls.__name__}'"
    with pytest.raises(TypeError):
        del cls.__repr__


@pytest.mark.parametrize("make", [lambda: dg.Game(7, 6), lambda: dg.Board(7, 6), lambda: dg.Move(1, 2)])
def test_instances_take_no_attributes(make):
    with pytest.raises(AttributeError):
        make().extra = 1


def test_game_outcome_cannot_be_instantiated():
    with pytest.raises(TypeError) as exc:
        dg.GameOutcome()
    assert str(exc.value) == "cannot create 'builtins.GameOutcome' instances"


def panic_from(call):
    try:
        call()
    except Exception:  # noqa: BLE001 - must not catch it
        pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as exc:
        return exc
    pytest.fail("no exception")


def test_panic_exception_derives_directly_from_base_exception():
    exc = panic_from(lambda: dg.Game(7, 6).set_piece(0, 0, 0))
    assert type(exc).__bases__ == (BaseException,)
    assert exc.args == ("Invalid player value",)
    # One process-wide class, whichever class raised it.
    assert type(panic_from(lambda: dg.Board(7, 6).set_piece(0, 0, 2))) is type(exc)


G, B = dg.Game(7, 6), dg.Board(7, 6)
ARGUMENT_ERRORS = [
    (lambda: dg.Game(7), "Game.__new__() missing 1 required positional argument: 'height'"),
    (lambda: dg.Game(), "Game.__new__() missing 2 required positional arguments: 'width' and 'height'"),
    (lambda: G.set_piece(), "Game.set_piece() missing 3 required positional arguments: "
                            "'col', 'row', and 'piece'"),
    (lambda: G.set_piece(row=1), "Game.set_piece() missing 2 required positional arguments: "
                                 "'col' and 'piece'"),
    (lambda: B.set_piece(0, 0), "Board.set_piece() missing 1 required positional argument: 'piece'"),
    (lambda: dg.Move.decode(game=G), "Move.decode() missing 1 required positional argument: 'data'"),
    (lambda: dg.Game(7, 6, 5), "Game.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: G.make_move(1, 2), "Game.make_move() takes 1 positional arguments but 2 were given"),
    (lambda: B.column_height(1, 2, 3), "Board.column_height() takes 1 positional arguments but 3 were given"),
    (lambda: dg.Move(1, 2, 3), "Move.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: dg.Game(7, 6, 5, depth=1), "Game.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: dg.Game("x", 6, 5), "Game.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: dg.Game("x", depth=1), "Game.__new__() got an unexpected keyword argument 'depth'"),
    (lambda: dg.Board(7, 6, depth=1), "Board.__new__() got an unexpected keyword argument 'depth'"),
    (lambda: G.get_piece(col=1, rows=2), "Game.get_piece() got an unexpected keyword argument 'rows'"),
    (lambda: G.get_piece(depth=0), "Game.get_piece() got an unexpected keyword argument 'depth'"),
    (lambda: dg.Game(7, width=7), "Game.__new__() got multiple values for argument 'width'"),
    (lambda: G.set_piece(0, col=1), "Game.set_piece() got multiple values for argument 'col'"),
    (lambda: dg.Move.decode(1, G, data=2), "Move.decode() got multiple values for argument 'data'"),
    (lambda: dg.Game.decode_action(G), "Game.decode_action() missing 1 required positional argument: "
                                       "'action'"),
    # The cast rule for class-instance arguments.
    (lambda: G.make_move(B), "argument 'move_': 'Board' object is not an instance of 'Move'"),
    (lambda: G.make_move(3), "argument 'move_': 'int' object is not an instance of 'Move'"),
    (lambda: G.is_legal_move(None), "argument 'move_': 'None' is not an instance of 'Move'"),
    (lambda: G.is_legal_move(move_=(3, 0)), "argument 'move_': 'tuple' object is not an instance "
                                            "of 'Move'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_arguments_may_be_given_by_keyword():
    g = dg.Game(height=6, width=7)
    assert g.board_shape() == (6, 7)
    assert dg.Game(7, height=6).board_shape() == (6, 7)
    assert g.make_move(move_=dg.Move(row=0, col=3))
    g.set_piece(piece=-1, row=0, col=0)
    assert g.get_piece(row=0, col=0) == -1
    b = dg.Board(width=4, height=5)
    assert b.column_height(col=0) == 0 and b.is_column_full(col=9)
    assert dg.Move.decode(game=g, data=3) == dg.Move(3, 1)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted as an int, without __index__")


@pytest.mark.parametrize("value", [
    7, True + 6, IntSub(7), Index(7), np.int64(7), np.uint8(7), np.int8(7), np.uint64(7)],
    ids=lambda v: type(v).__name__)
def test_unsigned_arguments_accept_integers_and_index_objects(value):
    assert dg.Game(value, 6).width() == 7
    assert dg.Move(value, value).col() == 7


@pytest.mark.parametrize("value, message", [
    (-1, "can't convert negative int to unsigned"),
    (IntSub(-1), "can't convert negative int to unsigned"),
    (np.int64(-7), "can't convert negative int to unsigned"),
    (Index(-7), "can't convert negative int to unsigned"),
    (2**64, "int too big to convert"),
    (Index(2**70), "int too big to convert"),
])
def test_negative_or_huge_unsigned_arguments_overflow(value, message):
    with pytest.raises(OverflowError) as exc:
        dg.Game(value, 6)
    assert str(exc.value) == message
    with pytest.raises(OverflowError):
        G.get_piece(0, value)


def index_error_text(value):
    """The interpreter's own message for an object that is no integer (it changes between versions)."""
    with pytest.raises(TypeError) as exc:
        operator.index(value)
    return str(exc.value)


@pytest.mark.parametrize("value", [7.0, np.float32(7), "7", None, Index("7")],
                         ids=lambda v: type(v).__name__)
def test_non_integer_arguments_name_the_parameter(value):
    reason = index_error_text(value)
    for call, name in [(lambda: dg.Game(value, 6), "width"), (lambda: dg.Board(7, value), "height"),
                       (lambda: G.get_piece(0, value), "row"), (lambda: dg.Move(value, 0), "col"),
                       (lambda: dg.Move.decode(value, G), "data")]:
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == f"argument '{name}': {reason}"


def test_wrapped_type_error_keeps_its_cause():
    cause = KeyError("inner")

    class Bad:
        def __index__(self):
            raise TypeError("no index here") from cause

    with pytest.raises(TypeError) as exc:
        G.get_piece(Bad(), 0)
    assert str(exc.value) == "argument 'col': no index here"
    assert exc.value.__cause__ is cause


@pytest.mark.parametrize("error", [ValueError("v"), RuntimeError("r"), OverflowError("o"),
                                   type("MyTypeError", (TypeError,), {})("t")],
                         ids=lambda e: type(e).__name__)
def test_other_conversion_errors_pass_unchanged(error):
    class Bad:
        def __index__(self):
            raise error

    with pytest.raises(type(error)) as exc:
        G.get_piece(0, Bad())
    assert exc.value is error


@pytest.mark.parametrize("piece, message", [
    (128, "out of range integral type conversion attempted"),
    (-129, "out of range integral type conversion attempted"),
    (1000, "out of range integral type conversion attempted"),
    (np.int64(2**40), "out of range integral type conversion attempted"),
    (2**63, "Python int too large to convert to C long"),
    (-(2**63) - 1, "Python int too large to convert to C long"),
])
def test_signed_byte_arguments_overflow(piece, message):
    for target in (dg.Game(7, 6), dg.Board(7, 6)):
        with pytest.raises(OverflowError) as exc:
            target.set_piece(0, 0, piece)
        assert str(exc.value) == message
        assert target.get_piece(0, 0) is None


@pytest.mark.parametrize("piece", [np.int8(-1), Index(-1), IntSub(-1)], ids=lambda v: type(v).__name__)
def test_signed_byte_arguments_accept_index_objects(piece):
    b = dg.Board(7, 6)
    b.set_piece(0, 0, piece)
    assert b.get_piece(0, 0) == -1


# Runs in a child process so that a fault cannot take the test run down. The
# second interpreter reports what its import did on the shared stdout, through
# a sys.stdout of its own: it flushes at once, or its line would come out after
# the main interpreter's whenever the output is buffered (PYTHONUNBUFFERED unset).
SUBINTERPRETER_SCRIPT = '''
import sys
sys.path.insert(0, {path!r})
code = """
try:
    import {module}
    print("imported", flush=True)
except BaseException as exc:
    print(type(exc).__name__ + ": " + str(exc), flush=True)
"""
if sys.version_info >= (3, 14):
    from concurrent import interpreters
    interpreters.create().exec(code)
elif sys.version_info >= (3, 13):
    import _interpreters
    _interpreters.exec(_interpreters.create(), code)
else:
    try:
        import _xxsubinterpreters
    except ImportError:
        sys.exit(3)
    _xxsubinterpreters.run_string(_xxsubinterpreters.create(), code)
import {module}
print("main", {main})
'''


# The main interpreter still imports the module afterwards; the batch module
# brings drevik_gravline with it.
@pytest.mark.parametrize("module, main, works", [
    ("drevik_gravline", "drevik_gravline.Game(7, 6).width()", "7"),
    ("drevik_gravline_batch",
     'drevik_gravline_batch.GameBatch(2, 7, 6).count(), "drevik_gravline" in sys.modules', "2 True"),
], ids=["drevik_gravline", "drevik_gravline_batch"])
def test_import_in_a_second_interpreter_fails_cleanly(module, main, works):
    path = os.path.dirname(importlib.util.find_spec(module).origin)
    script = SUBINTERPRETER_SCRIPT.format(path=path, module=module, main=main)
    # Buffered output, as in a clean environment, whatever this run was given.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                           env=env)
    if child.returncode == 3:
        pytest.skip("no subinterpreter API in this interpreter")
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout == (f"ImportError: module {module} does not support loading "
                            f"in subinterpreters\nmain {works}\n")
