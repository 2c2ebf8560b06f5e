// The GameOutcome class: how a finished game ended, with its rewards and texts.
// Instances come only from Game.outcome(); Python cannot create them.
#include <string>

#include "../encode.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {

Lazy<PyTypeObject> outcome_class;

namespace {

GameOutcome value_of(PyObject *self) { return py::value_of<PyGameOutcome>(self); }

Ref outcome_winner(PyObject *self) {
    const std::optional<Player> w = winner(value_of(self));
    return w ? py_long(static_cast<int8_t>(*w)) : py_none();
}

Ref outcome_is_draw(PyObject *self) { return py_bool(value_of(self) == GameOutcome::Draw); }

Ref outcome_encode_absolute(PyObject *self) { return py_float(reward_absolute(value_of(self))); }

Ref outcome_encode_perspective(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"perspective"};
    const auto [arg] =
        bind("GameOutcome.encode_winner_from_perspective()", names, args, nargs, kwnames);
    const GameOutcome o = value_of(self);
    const int8_t p = to_i8(arg, "perspective");
    // Checked for every outcome, a draw included. A fixed public text that
    // callers match on: keep it as it is.
    if (p != 1 && p != -1) panic("Unrecognized perspective");
    return py_float(reward_for(o, static_cast<Player>(p)));
}

Ref outcome_str(PyObject *self) { return py_str(std::string(display_name(value_of(self)))); }

Ref outcome_repr(PyObject *self) {
    return py_str("GameOutcome(" + std::string(display_name(value_of(self))) + ")");
}

Ref outcome_compare(PyObject *self, PyObject *other, int op) {
    PyTypeObject *type = require_type(game_outcome_type, "GameOutcome");
    return compare_values(self, other, op, type,
                          [](PyObject *o) { return PyGameOutcome::of(o); });
}

PyMethodDef outcome_methods[] = {
    {"winner", noargs<outcome_winner>, METH_NOARGS, "winner($self)\n--\n\n"},
    {"encode_winner_absolute", noargs<outcome_encode_absolute>, METH_NOARGS,
     "encode_winner_absolute($self)\n--\n\n"},
    {"encode_winner_from_perspective", as_cfunction(fastcall<outcome_encode_perspective>),
     METH_FASTCALL | METH_KEYWORDS, "encode_winner_from_perspective($self, perspective)\n--\n\n"},
    {"is_draw", noargs<outcome_is_draw>, METH_NOARGS, "is_draw($self)\n--\n\n"},
    {"__reduce__", noargs<game_outcome_reduce>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", noargs<game_outcome_copy>, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", as_cfunction(fastcall<game_outcome_deepcopy>), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Equality without a hash: the interpreter makes instances unhashable.
PyType_Slot outcome_slots[] = {
    {Py_tp_doc, const_cast<char *>("")},
    {Py_tp_str, reinterpret_cast<void *>(unary<outcome_str>)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<outcome_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void *>(compare_slot<outcome_compare>)},
    {Py_tp_methods, outcome_methods},
    {0, nullptr},
};

// "builtins.GameOutcome": a fixed public text (the class's __module__ and repr)
// that callers match on.
PyType_Spec outcome_spec =
    PyGameOutcome::spec("builtins.GameOutcome", outcome_slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);

}  // namespace

PyTypeObject *game_outcome_type() {
    return outcome_class.get([] { return make_type(outcome_spec); });
}

Ref new_game_outcome(GameOutcome o) {
    return PyGameOutcome::create(require_type(game_outcome_type, "GameOutcome"), o);
}

}  // namespace gravline::py
