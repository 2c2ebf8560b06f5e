// The Move class: a (column, row) value with its texts, equality, hash, and the
// decoding of an action index in a given game.
#include <string>

#include "../encode.h"
#include "../hash.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {

Lazy<PyTypeObject> move_class;

namespace {

Move value_of(PyObject *self) { return py::value_of<PyMove>(self); }

Ref move_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 2> names{"col", "row"};
    const auto [col, row] = bind("Move.__new__()", names, args, kwargs);
    const unsigned c = to_u8_low(col, "col");
    const unsigned r = to_u8_low(row, "row");
    return new_move(Move{static_cast<uint8_t>(c), static_cast<uint8_t>(r)});
}

Ref move_col(PyObject *self) { return py_long(value_of(self).col); }
Ref move_row(PyObject *self) { return py_long(value_of(self).row); }
// The action of a move is its column.
Ref move_encode(PyObject *self) { return py_long(value_of(self).col); }

Ref move_decode(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"data", "game"};
    const auto [data_arg, game_arg] = bind("Move.decode()", names, args, nargs, kwnames);
    const uint64_t data = to_u64(data_arg, "data");
    PyTypeObject *gt = require_type(game_type, "Game");
    if (!PyObject_TypeCheck(game_arg, gt)) throw_argument_not_instance(game_arg, "Game", "game");
    const std::optional<Move> m = Borrowed<PyGame>(game_arg).visit(
        [&](auto &g) { return decode_move(data, g.board, *g.geometry); });
    if (!m) throw PyError(PyExc_ValueError, "invalid move");
    return new_move(*m);
}

Ref move_str(PyObject *self) { return py_str("col " + std::to_string(value_of(self).col)); }

Ref move_repr(PyObject *self) {
    const Move m = value_of(self);
    return py_str("Move(col=" + std::to_string(m.col) + ", row=" + std::to_string(m.row) + ")");
}

Py_hash_t move_hash_slot(PyObject *self) { return python_hash(move_hash(value_of(self))); }

Ref move_compare(PyObject *self, PyObject *other, int op) {
    PyTypeObject *type = require_type(move_type, "Move");
    return compare_values(self, other, op, type, [](PyObject *o) {
        const Move m = PyMove::of(o);
        return (m.col << 8) | m.row;
    });
}

PyMethodDef move_methods[] = {
    {"col", noargs<move_col>, METH_NOARGS, "col($self)\n--\n\n"},
    {"row", noargs<move_row>, METH_NOARGS, "row($self)\n--\n\n"},
    {"encode", noargs<move_encode>, METH_NOARGS, "encode($self)\n--\n\n"},
    {"decode", as_cfunction(fastcall<move_decode>),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "decode(data, game)\n--\n\n"},
    {"__reduce__", noargs<move_reduce>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", noargs<move_copy>, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", as_cfunction(fastcall<move_deepcopy>), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot move_slots[] = {
    {Py_tp_doc, const_cast<char *>("Move(col, row)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<move_new>)},
    {Py_tp_str, reinterpret_cast<void *>(unary<move_str>)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<move_repr>)},
    {Py_tp_hash, reinterpret_cast<void *>(hash_slot<move_hash_slot>)},
    {Py_tp_richcompare, reinterpret_cast<void *>(compare_slot<move_compare>)},
    {Py_tp_methods, move_methods},
    {0, nullptr},
};

// "builtins.Move": a fixed public text (the class's __module__ and repr) that callers match on.
PyType_Spec move_spec = PyMove::spec("builtins.Move", move_slots);

}  // namespace

PyTypeObject *move_type() { return move_class.get([] { return make_type(move_spec); }); }

Ref new_move(Move m) { return PyMove::create(require_type(move_type, "Move"), m); }

}  // namespace gravline::py
