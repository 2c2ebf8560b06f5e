// Pickling and copying. A pickle is a call of drevik_gravline._reconstruct with
// the object's saved bytes (serialize.h); the classes call themselves
// "builtins.X", so pickle could not find them by name, and one module-level
// function stands in for every class. _reconstruct checks the bytes and refuses
// anything play, take-back and set_piece could not have made.
#include <span>
#include <string>

#include "../serialize.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {
namespace {

/// Checks a receiver against a class (a method called through the class with
/// another object).
void check_self(PyObject *self, PyTypeObject *(*get)(), const char *name) {
    PyTypeObject *type = require_type(get, name);
    if (!self || !PyObject_TypeCheck(self, type)) throw_not_instance(self ? self : Py_None, name);
}

Ref reconstruct(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

PyMethodDef reconstruct_def = {"_reconstruct", as_cfunction(fastcall<reconstruct>),
                               METH_FASTCALL | METH_KEYWORDS, "_reconstruct(data)\n--\n\n"};

// One function object for the life of the process: pickle checks that the
// module's attribute is the very object a __reduce__ returned. Published by Lazy.
Lazy<PyObject> reconstruct_function;

PyObject *reconstruct_fn() {
    PyObject *f = reconstruct_function.get([] {
        Ref module_name = Ref::steal(PyUnicode_FromString("drevik_gravline"));
        return module_name ? PyCFunction_NewEx(&reconstruct_def, nullptr, module_name.get()) : nullptr;
    });
    if (!f) throw_error_already_set();
    return f;
}

/// (drevik_gravline._reconstruct, (bytes,)).
Ref reduce_to(const Bytes &saved) {
    Ref data = check(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(saved.data()),
                                               static_cast<Py_ssize_t>(saved.size())));
    return check(Py_BuildValue("(O(N))", reconstruct_fn(), data.release()));
}

[[noreturn]] void refuse(const char *why) {
    throw PyError(PyExc_ValueError, std::string("invalid pickled state: ") + why);
}

/// The engine value saved in `in` as a new object of `type`.
template <template <int> class T>
Ref load_var(PyTypeObject *type, std::span<const uint8_t> in, const StateHeader &h) {
    return with_word_count(words_for(h.width, h.height), [&](auto n) {
        T<n.value> value;
        if (const char *why = load_state(in, value)) refuse(why);
        return VarObject<T>::template create<n.value>(type, std::move(value));
    });
}

Ref reconstruct(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"data"};
    const auto [data] = bind("_reconstruct()", names, args, nargs, kwnames);
    if (!PyBytes_Check(data)) throw_argument_not_instance(data, "bytes", "data");
    // Bytes never change, so the span stays valid while the function runs.
    const std::span<const uint8_t> in(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data)),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    StateHeader h;
    if (const char *why = read_state_header(in, h)) refuse(why);
    switch (h.kind) {
    case StateKind::Game:
        return load_var<Game>(require_type(game_type, "Game"), in, h);
    case StateKind::Board:
        return load_var<Board>(require_type(board_type, "Board"), in, h);
    case StateKind::Move: {
        Move m;
        if (const char *why = load_state(in, m)) refuse(why);
        return new_move(m);
    }
    case StateKind::Outcome: {
        GameOutcome o;
        if (const char *why = load_state(in, o)) refuse(why);
        return new_game_outcome(o);
    }
    }
    refuse("unknown kind");
}

template <template <int> class T>
Ref reduce_var(PyObject *self, PyTypeObject *(*get)(), const char *name) {
    check_self(self, get, name);
    VarObject<T> *o = VarObject<T>::from(self);
    SharedBorrow borrow(o->borrow);
    return reduce_to(o->visit([](auto &value) { return save_state(value); }));
}

/// A new object of the receiver's class holding a copy of its value.
template <template <int> class T>
Ref copy_var(PyObject *self, PyTypeObject *(*get)(), const char *name) {
    check_self(self, get, name);
    VarObject<T> *o = VarObject<T>::from(self);
    SharedBorrow borrow(o->borrow);
    return o->visit([&](auto &value) {
        using V = std::remove_cvref_t<decltype(value)>;
        return VarObject<T>::template create<V::kWords>(Py_TYPE(self), V(value));
    });
}

/// Binds the memo argument of __deepcopy__; a copy here holds no Python
/// objects, so the memo is not consulted.
void bind_memo(const char *full_name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"memo"};
    bind(full_name, names, args, nargs, kwnames);
}

}  // namespace

Ref game_reduce(PyObject *self) { return reduce_var<Game>(self, game_type, "Game"); }
Ref board_reduce(PyObject *self) { return reduce_var<Board>(self, board_type, "Board"); }

Ref move_reduce(PyObject *self) {
    check_self(self, move_type, "Move");
    return reduce_to(save_state(reinterpret_cast<PyMove *>(self)->value));
}

Ref game_outcome_reduce(PyObject *self) {
    check_self(self, game_outcome_type, "GameOutcome");
    return reduce_to(save_state(reinterpret_cast<PyGameOutcome *>(self)->value));
}

Ref game_copy(PyObject *self) { return copy_var<Game>(self, game_type, "Game"); }

Ref game_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bind_memo("Game.__deepcopy__()", args, nargs, kwnames);
    return game_copy(self);
}

Ref board_copy(PyObject *self) { return copy_var<Board>(self, board_type, "Board"); }

Ref board_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bind_memo("Board.__deepcopy__()", args, nargs, kwnames);
    return board_copy(self);
}

Ref move_copy(PyObject *self) {
    check_self(self, move_type, "Move");
    return Ref::borrow(self);
}

Ref move_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    bind_memo("Move.__deepcopy__()", args, nargs, kwnames);
    return move_copy(self);
}

Ref game_outcome_copy(PyObject *self) {
    check_self(self, game_outcome_type, "GameOutcome");
    return Ref::borrow(self);
}

Ref game_outcome_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) {
    bind_memo("GameOutcome.__deepcopy__()", args, nargs, kwnames);
    return game_outcome_copy(self);
}

void add_pickle_support(PyObject *module) {
    if (PyObject_SetAttrString(module, "_reconstruct", reconstruct_fn()) < 0) throw_error_already_set();
}

}  // namespace gravline::py
