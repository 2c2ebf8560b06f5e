// The instance layouts of the four classes, the one way in to a Game's or
// Board's engine value (receiver check, borrow, word-count visit), the code the
// two share, and what one class's code needs of another's: creating moves,
// outcomes and boards, reading a Move argument.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "../board.h"
#include "../game.h"
#include "mod.h"

namespace gravline::py {

/// A Game or Board instance: the header, the borrow flag, the word count, then
/// the engine value of that word count. Each object is allocated at its own
/// variant's size (a variable-size object), so a 7 x 6 game does not pay for
/// a 32 x 32 one.
template <template <int> class T>
struct VarObject {
    PyObject_VAR_HEAD
    std::atomic<int64_t> borrow;  // the value's only guard without an interpreter lock (Borrow)
    int32_t nw;                   // fixed at creation, so read without the borrow

    template <int NW>
    using Value = T<NW>;

    static constexpr std::size_t value_offset() {
        constexpr std::size_t a = alignof(T<kMaxWords>);
        return (sizeof(VarObject) + a - 1) / a * a;
    }
    void *storage() { return reinterpret_cast<char *>(this) + value_offset(); }

    template <int NW>
    T<NW> &as() {
        return *std::launder(static_cast<T<NW> *>(storage()));
    }

    /// Calls f(engine value) with the value's own word count.
    template <class F>
    decltype(auto) visit(F &&f) {
        return with_word_count(nw, [&](auto n) -> decltype(auto) { return f(as<n.value>()); });
    }

    static VarObject *from(PyObject *o) { return reinterpret_cast<VarObject *>(o); }

    /// A new instance of `type` holding `value`.
    template <int NW>
    static Ref create(PyTypeObject *type, T<NW> &&value) {
        // Exactly value_offset() + sizeof(T<NW>) bytes (rounded up to a pointer):
        // the generic allocator would add an item, a pointer's worth on a
        // variable-size object of bytes.
        PyObject *o = reinterpret_cast<PyObject *>(
            PyObject_NewVar(VarObject, type, static_cast<Py_ssize_t>(sizeof(T<NW>))));
        if (!o) throw_error_already_set();
        VarObject *self = from(o);
        new (&self->borrow) std::atomic<int64_t>(0);
        self->nw = NW;
        new (self->storage()) T<NW>(std::move(value));
        return Ref::steal(o);
    }

    /// tp_dealloc: destroys the engine value (a game frees its history) and the object.
    static void dealloc(PyObject *o) noexcept {
        VarObject *self = from(o);
        self->visit([](auto &value) {
            using V = std::remove_reference_t<decltype(value)>;
            value.~V();
        });
        PyTypeObject *type = Py_TYPE(o);
        type->tp_free(o);
        Py_DECREF(type);  // instances of heap types own a reference to their class
    }

    /// The slots every such class shares: allocation size and deallocation.
    static constexpr int basic_size() { return static_cast<int>(value_offset()); }
};

using PyBoard = VarObject<Board>;
using PyGame = VarObject<Game>;

/// An instance of an immutable value class: the header and the value, set at
/// creation and never changed, so readers need no borrow flag.
template <class V>
struct ValueObject {
    PyObject_HEAD
    V value;

    static V of(PyObject *o) { return reinterpret_cast<ValueObject *>(o)->value; }

    /// A new instance of `type` holding `v`.
    static Ref create(PyTypeObject *type, V v) {
        PyObject *o = type->tp_alloc(type, 0);
        if (!o) throw_error_already_set();
        reinterpret_cast<ValueObject *>(o)->value = v;
        return Ref::steal(o);
    }

    /// The class's spec; `slots` ends with {0, nullptr}.
    static PyType_Spec spec(const char *name, PyType_Slot *slots, unsigned int extra_flags = 0) {
        return PyType_Spec{name, sizeof(ValueObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags, slots};
    }
};

using PyMove = ValueObject<Move>;
using PyGameOutcome = ValueObject<GameOutcome>;

// ---- the classes, as the shared code knows them ----

// Created once, at registration, and published by Lazy; immutable from then on,
// so threads read them without a lock.
extern Lazy<PyTypeObject> board_class, game_class, move_class, outcome_class;

/// What the shared code needs of a class: its slot, its getter, its name, and
/// the names its shared methods report in argument errors.
template <class O>
struct ClassOf;

template <>
struct ClassOf<PyBoard> {
    static Lazy<PyTypeObject> &slot() { return board_class; }
    static PyTypeObject *type() { return board_type(); }
    static constexpr const char *name = "Board";
    static constexpr const char *new_name = "Board.__new__()";
    static constexpr const char *get_piece_name = "Board.get_piece()";
    static constexpr const char *set_piece_name = "Board.set_piece()";
};

template <>
struct ClassOf<PyGame> {
    static Lazy<PyTypeObject> &slot() { return game_class; }
    static PyTypeObject *type() { return game_type(); }
    static constexpr const char *name = "Game";
    static constexpr const char *new_name = "Game.__new__()";
    static constexpr const char *get_piece_name = "Game.get_piece()";
    static constexpr const char *set_piece_name = "Game.set_piece()";
};

template <>
struct ClassOf<PyMove> {
    static Lazy<PyTypeObject> &slot() { return move_class; }
    static PyTypeObject *type() { return move_type(); }
    static constexpr const char *name = "Move";
};

template <>
struct ClassOf<PyGameOutcome> {
    static Lazy<PyTypeObject> &slot() { return outcome_class; }
    static PyTypeObject *type() { return game_outcome_type(); }
    static constexpr const char *name = "GameOutcome";
};

/// The receiver `self` as an O, after the cast rule's check.
template <class O>
[[gnu::always_inline]] inline O *receiver(PyObject *self) {
    check_receiver(self, ClassOf<O>::slot(), ClassOf<O>::type, ClassOf<O>::name);
    return reinterpret_cast<O *>(self);
}

/// The value of a Move or GameOutcome receiver; no borrow, as it never changes.
template <class O>
auto value_of(PyObject *self) {
    return receiver<O>(self)->value;
}

/// A Game or Board receiver for one call: checked against its class, then
/// borrowed (shared or exclusive) until the end of the call, its engine value
/// reached through visit(). Arguments converted while it is held see a borrowed
/// object, so an __index__ that calls back into it fails with the borrow error.
template <class O, Access A = Access::Shared>
class Borrowed {
    O *obj_;
    Borrow<A> borrow_;

public:
    // Inlined into every method: a call here would cost the short methods a
    // tenth of their time.
    [[gnu::always_inline]] explicit Borrowed(PyObject *self)
        : obj_(receiver<O>(self)), borrow_(obj_->borrow) {}

    /// Calls f(engine value) with the value's own word count.
    template <class F>
    decltype(auto) visit(F &&f) {
        return obj_->visit(std::forward<F>(f));
    }
};

// ---- code that Game and Board share ----

/// The board of an engine value: a Board is one, a Game holds one.
template <int NW>
Board<NW> &board_in(Board<NW> &b) {
    return b;
}
template <int NW>
Board<NW> &board_in(Game<NW> &g) {
    return g.board;
}

/// The Python player value of a piece or a turn.
inline Ref player_value(Player p) { return py_long(static_cast<int8_t>(p)); }

/// A piece argument of set_piece: None empties the cell, 1 is Red, -1 is
/// Yellow. Any other value is refused, before the board is touched.
inline std::optional<Player> piece_arg(PyObject *o) {
    if (o == Py_None) return std::nullopt;
    const int8_t v = to_i8(o, "piece");
    // A fixed public text that callers match on: keep it as it is.
    if (v != 1 && v != -1) panic("Invalid player value");
    return static_cast<Player>(v);
}

/// tp_new of Game and Board: the empty value of the given size.
template <class O>
Ref new_sized(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 2> names{"width", "height"};
    const auto [w_arg, h_arg] = bind(ClassOf<O>::new_name, names, args, kwargs);
    const uint64_t w = to_u64(w_arg, "width");
    const uint64_t h = to_u64(h_arg, "height");
    const auto [width, height] = validate_board_dimensions(w, h);
    return with_word_count(words_for(width, height), [&](auto n) {
        return O::template create<n.value>(type, O::template Value<n.value>::make(width, height));
    });
}

/// get_piece(col, row) of Game and Board.
template <class O>
Ref get_piece(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"col", "row"};
    const auto [col_arg, row_arg] = bind(ClassOf<O>::get_piece_name, names, args, nargs, kwnames);
    Borrowed<O> value(self);
    const unsigned col = to_u8_low(col_arg, "col");
    const unsigned row = to_u8_low(row_arg, "row");
    const std::optional<Player> p = value.visit([&](auto &v) { return board_in(v).get_piece(col, row); });
    return p ? player_value(*p) : py_none();
}

/// set_piece(col, row, piece) of Game and Board. On a game it edits the board
/// alone: turn, status and history stay as they were.
template <class O>
Ref set_piece(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 3> names{"col", "row", "piece"};
    const auto [col_arg, row_arg, piece_obj] = bind(ClassOf<O>::set_piece_name, names, args, nargs, kwnames);
    Borrowed<O, Access::Exclusive> value(self);
    const unsigned col = to_u8_low(col_arg, "col");
    const unsigned row = to_u8_low(row_arg, "row");
    const std::optional<Player> piece = piece_arg(piece_obj);
    value.visit([&](auto &v) { board_in(v).set_piece(col, row, piece); });
    return py_none();
}

// ---- what one class needs of another ----

/// A new Move object.
Ref new_move(Move m);
/// A new GameOutcome object.
Ref new_game_outcome(GameOutcome o);

/// The Move an argument holds; a wrong type raises the argument error naming `name`.
/// Moves never change after creation, so reading one needs no borrow.
inline Move move_arg(PyObject *o, const char *name) {
    PyTypeObject *type = require_type(move_type, "Move");
    if (!PyObject_TypeCheck(o, type)) throw_argument_not_instance(o, "Move", name);
    return PyMove::of(o);
}

/// A new Board object holding a copy of `board`.
template <int NW>
Ref new_board(const Board<NW> &board) {
    return PyBoard::create<NW>(require_type(board_type, "Board"), Board<NW>(board));
}

/// Builds the class of one VarObject kind; `slots` ends with {0, nullptr}.
template <class V>
PyType_Spec var_spec(const char *name, PyType_Slot *slots) {
    return PyType_Spec{name, V::basic_size(), 1,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

}  // namespace gravline::py
