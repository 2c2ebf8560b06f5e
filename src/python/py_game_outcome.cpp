// The GameOutcome class: how a finished game ended, with its rewards and texts.
// Instances come only from Game.outcome(); Python cannot create them.
#include <string>

#include "../encode.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {
namespace {

// Created once, at registration, and published by Lazy; immutable from then on,
// so threads read it without a lock.
Lazy<PyTypeObject> outcome_class;

GameOutcome value_of(PyObject *self) {
    check_receiver(self, outcome_class, game_outcome_type, "GameOutcome");
    return reinterpret_cast<PyGameOutcome *>(self)->value;
}

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
    // Checked for every outcome, a draw included.
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
                          [](PyObject *o) { return reinterpret_cast<PyGameOutcome *>(o)->value; });
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

PyType_Spec outcome_spec{
    "builtins.GameOutcome", sizeof(PyGameOutcome), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    outcome_slots};

}  // namespace

PyTypeObject *game_outcome_type() {
    return outcome_class.get([] { return make_type(outcome_spec); });
}

Ref new_game_outcome(GameOutcome o) {
    PyTypeObject *type = require_type(game_outcome_type, "GameOutcome");
    PyObject *obj = type->tp_alloc(type, 0);
    if (!obj) throw_error_already_set();
    auto *self = reinterpret_cast<PyGameOutcome *>(obj);
    self->value = o;
    new (&self->borrow) std::atomic<int64_t>(0);
    return Ref::steal(obj);
}

}  // namespace gravline::py
