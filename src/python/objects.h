// The instance layouts of the four classes and what one class's code needs of
// another's: creating moves, outcomes and boards, reading a Move argument.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "../board.h"
#include "../game.h"
#include "mod.h"

namespace gravline::py {

/// Calls f(std::integral_constant<int, NW>{}) for a word count known at run time.
template <class F>
decltype(auto) with_nw(int nw, F &&f) {
    switch (nw) {
#define GRAVLINE_NW_CASE(N) \
    case N: return f(std::integral_constant<int, N>{});
        GRAVLINE_NW_CASE(1) GRAVLINE_NW_CASE(2) GRAVLINE_NW_CASE(3) GRAVLINE_NW_CASE(4)
        GRAVLINE_NW_CASE(5) GRAVLINE_NW_CASE(6) GRAVLINE_NW_CASE(7) GRAVLINE_NW_CASE(8)
        GRAVLINE_NW_CASE(9) GRAVLINE_NW_CASE(10) GRAVLINE_NW_CASE(11) GRAVLINE_NW_CASE(12)
        GRAVLINE_NW_CASE(13) GRAVLINE_NW_CASE(14) GRAVLINE_NW_CASE(15) GRAVLINE_NW_CASE(16)
#undef GRAVLINE_NW_CASE
    }
    panic("internal error: entered unreachable code: NW out of range: " + std::to_string(nw));
}

/// A Game or Board instance: the header, the borrow flag, the word count, then
/// the engine value of that word count. Each object is allocated at its own
/// variant's size (a variable-size object), so a 7 x 6 game does not pay for
/// a 32 x 32 one.
template <template <int> class T>
struct VarObject {
    PyObject_VAR_HEAD
    std::atomic<int64_t> borrow;  // the value's only guard without an interpreter lock (Borrow)
    int32_t nw;                   // fixed at creation, so read without the borrow

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
        return with_nw(nw, [&](auto n) -> decltype(auto) { return f(as<decltype(n)::value>()); });
    }

    static VarObject *from(PyObject *o) { return reinterpret_cast<VarObject *>(o); }

    /// A new instance of `type` holding `value`.
    template <int NW>
    static Ref create(PyTypeObject *type, T<NW> &&value) {
        // The allocation is zeroed and has room for value_offset() + sizeof(T<NW>) bytes.
        PyObject *o = type->tp_alloc(type, static_cast<Py_ssize_t>(sizeof(T<NW>)));
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

// Moves and outcomes never change after creation, so nothing ever takes their
// borrow flag exclusively and a shared borrow could never fail: readers skip it.
struct PyMove {
    PyObject_HEAD
    Move value;
    std::atomic<int64_t> borrow;
};

struct PyGameOutcome {
    PyObject_HEAD
    GameOutcome value;
    std::atomic<int64_t> borrow;
};

/// A new Move object.
Ref new_move(Move m);
/// A new GameOutcome object.
Ref new_game_outcome(GameOutcome o);

/// The Move an argument holds; a wrong type raises the argument error naming `name`.
/// Moves never change after creation, so reading one needs no borrow of its flag.
inline Move move_arg(PyObject *o, const char *name) {
    PyTypeObject *type = require_type(move_type, "Move");
    if (!PyObject_TypeCheck(o, type)) throw_argument_not_instance(o, "Move", name);
    return reinterpret_cast<PyMove *>(o)->value;
}

/// A piece argument of set_piece: None empties the cell, 1 is Red, -1 is
/// Yellow. Any other value is refused, before the board is touched.
inline std::optional<Player> piece_arg(PyObject *o) {
    if (o == Py_None) return std::nullopt;
    const int8_t v = to_i8(o, "piece");
    if (v != 1 && v != -1) panic("Invalid player value");
    return static_cast<Player>(v);
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
