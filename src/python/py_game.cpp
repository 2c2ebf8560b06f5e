// The Game class: one game of any size, played, taken back, edited, copied,
// printed, encoded into planes and hashed.
#include <bit>
#include <string>

#include "../encode.h"
#include "../hash.h"
#include "../svg.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {

Lazy<PyTypeObject> game_class;

namespace {

using Read = Borrowed<PyGame>;
using Write = Borrowed<PyGame, Access::Exclusive>;

/// Runs `f(engine game)` under a shared borrow of the receiver.
template <class F>
decltype(auto) read(PyObject *self, F &&f) {
    return Read(self).visit(f);
}

/// The 0.0 and 1.0 that every plane list shares instead of making a float per
/// cell. Published by Lazy; a float never changes and its reference count is
/// the interpreter's own thread-safe count, so lists built on any thread share them.
Lazy<PyObject> zero_float, one_float;

PyObject *shared_float(Lazy<PyObject> &slot, double v) {
    PyObject *f = slot.get([v] { return PyFloat_FromDouble(v); });
    if (!f) throw_error_already_set();
    return f;
}

Ref game_standard(PyObject *) {
    return PyGame::create<1>(require_type(game_type, "Game"),
                             Game<1>::make(kStandardWidth, kStandardHeight));
}

Ref game_width(PyObject *self) { return py_long(read(self, [](auto &g) { return g.width(); })); }
Ref game_height(PyObject *self) { return py_long(read(self, [](auto &g) { return g.height(); })); }

Ref game_board_shape(PyObject *self) {
    const auto [h, w] = read(self, [](auto &g) { return std::pair{g.height(), g.width()}; });
    return check(Py_BuildValue("(II)", h, w));
}

Ref game_turn(PyObject *self) { return player_value(read(self, [](auto &g) { return g.turn; })); }
Ref game_is_over(PyObject *self) { return py_bool(read(self, [](auto &g) { return g.over; })); }

Ref game_outcome(PyObject *self) {
    const std::optional<GameOutcome> o = read(self, [](auto &g) { return g.outcome; });
    return o ? new_game_outcome(*o) : py_none();
}

Ref game_legal_moves(PyObject *self) {
    const MoveList moves = read(self, [](auto &g) { return g.legal_moves(); });
    Ref list = check(PyList_New(moves.size));
    for (unsigned i = 0; i < moves.size; ++i)
        PyList_SET_ITEM(list.get(), i, new_move(moves[i]).release());
    return list;
}

Ref game_legal_action_indices(PyObject *self) {
    uint32_t cols = read(self, [](auto &g) { return g.legal_columns(); });
    Ref list = check(PyList_New(std::popcount(cols)));
    for (Py_ssize_t i = 0; cols; cols &= cols - 1, ++i)
        PyList_SET_ITEM(list.get(), i, py_long(std::countr_zero(cols)).release());
    return list;
}

Ref game_is_legal_move(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"move_"};
    const auto [move_obj] = bind("Game.is_legal_move()", names, args, nargs, kwnames);
    Read g(self);
    const Move m = move_arg(move_obj, "move_");
    return py_bool(g.visit([&](auto &game) { return game.is_legal_move(m); }));
}

Ref game_make_move(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"move_"};
    const auto [move_obj] = bind("Game.make_move()", names, args, nargs, kwnames);
    Write g(self);
    const Move m = move_arg(move_obj, "move_");
    return py_bool(g.visit([&](auto &game) { return game.make_move(m); }));
}

Ref game_unmake_move(PyObject *self) {
    return py_bool(Write(self).visit([](auto &game) { return game.unmake_move(); }));
}

Ref game_decode_action(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"action"};
    const auto [action_arg] = bind("Game.decode_action()", names, args, nargs, kwnames);
    Read g(self);
    const uint64_t action = to_u64(action_arg, "action");
    const std::optional<Move> m =
        g.visit([&](auto &game) { return decode_move(action, game.board, *game.geometry); });
    return m ? new_move(*m) : py_none();
}

Ref game_apply_action(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"action"};
    const auto [action_arg] = bind("Game.apply_action()", names, args, nargs, kwnames);
    Write g(self);
    const uint64_t action = to_u64(action_arg, "action");
    return py_bool(g.visit([&](auto &game) {
        const std::optional<Move> m = decode_move(action, game.board, *game.geometry);
        return m && game.make_move(*m);
    }));
}

Ref game_total_actions(PyObject *self) {
    return py_long(read(self, [](auto &g) { return g.width(); }));
}

Ref game_spatial_input_plane_count(PyObject *self) {
    read(self, [](auto &) {});
    return py_long(kSpatialInputPlanes);
}

Ref game_global_input_feature_count(PyObject *self) {
    read(self, [](auto &) {});
    return py_long(kGlobalInputFeatures);
}

Ref game_encode_spatial_planes(PyObject *self) {
    // Exclusive, as a take-back and replay would need, although the planes are
    // read from a private copy of the board and the game is never changed.
    Write g(self);
    const auto [h, w] = g.visit([](auto &game) { return std::pair{game.height(), game.width()}; });
    const Py_ssize_t n = static_cast<Py_ssize_t>(kSpatialInputPlanes) * h * w;
    PyObject *zero = shared_float(zero_float, 0.0);
    PyObject *one = shared_float(one_float, 1.0);
    // The list is filled with 0.0, then the cells that hold 1.0 are swapped in:
    // no buffer of floats between the engine and the list. It is new and no
    // other thread can see it yet, so its items are written directly.
    Ref list = check(PyList_New(n));
    PyObject **items = reinterpret_cast<PyListObject *>(list.get())->ob_item;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(zero);
        items[i] = zero;
    }
    g.visit([&](auto &game) {
        visit_planes(game, [&](std::size_t i) {
            Py_DECREF(zero);  // the list holds another reference to it
            Py_INCREF(one);
            items[i] = one;
        });
    });
    return check(Py_BuildValue("(NIII)", list.release(), kSpatialInputPlanes, h, w));
}

Ref game_encode_global_state_features(PyObject *self) {
    Write g(self);
    return check(PyList_New(kGlobalInputFeatures));
}

Ref game_reward_absolute(PyObject *self) {
    return py_float(read(self, [](auto &g) { return reward_absolute(g.outcome); }));
}

Ref game_reward_from_perspective(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"perspective"};
    const auto [arg] = bind("Game.reward_from_perspective()", names, args, nargs, kwnames);
    Read g(self);
    const int8_t p = to_i8(arg, "perspective");
    const std::optional<GameOutcome> o = g.visit([](auto &game) { return game.outcome; });
    // A game in progress is worth nothing to anyone: the perspective is not examined.
    if (!o) return py_float(0.0);
    // A fixed public text that callers match on: keep it as it is.
    if (p != 1 && p != -1) panic("Invalid perspective");
    return py_float(reward_for(*o, static_cast<Player>(p)));
}

Ref game_board(PyObject *self) {
    return read(self, [](auto &game) { return new_board(game.board); });
}

Ref game_clone(PyObject *self) {
    return read(self, [&](auto &game) {
        using G = std::remove_cvref_t<decltype(game)>;
        return PyGame::create<G::kWords>(Py_TYPE(self), G(game));
    });
}

Ref game_state_hash(PyObject *self) {
    return py_ulong(read(self, [](auto &g) { return state_hash(g); }));
}

Ref game_transposition_hash(PyObject *self) {
    return py_ulong(read(self, [](auto &g) { return transposition_hash(g); }));
}

Py_hash_t game_hash(PyObject *self) {
    return python_hash(read(self, [](auto &g) { return position_hash(g); }));
}

Ref game_str(PyObject *self) {
    // Fixed public texts that callers match on, "Some(RedWin)"-style outcome and
    // lower-case true/false included: keep them as they are.
    return py_str(read(self, [](auto &g) {
        return "Game(turn: " + std::string(player_name(g.turn)) +
               ", is_over: " + (g.over ? "true" : "false") + ", outcome: " + debug_name(g.outcome) +
               ")\n" + g.board.to_string();
    }));
}

Ref game_repr(PyObject *self) {
    // A fixed public text that callers match on, lower-case true/false included.
    return py_str(read(self, [](auto &g) {
        return "Game(width=" + std::to_string(g.width()) + ", height=" + std::to_string(g.height()) +
               ", turn=" + std::string(player_name(g.turn)) + ", over=" + (g.over ? "true" : "false") +
               ")";
    }));
}

// Jupyter and IPython draw the game with this.
Ref game_repr_svg(PyObject *self) { return py_str(read(self, [](auto &g) { return game_svg(g); })); }

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef game_methods[] = {
    {"standard", noargs<game_standard>, METH_NOARGS | METH_STATIC, "standard()\n--\n\n"},
    {"width", noargs<game_width>, METH_NOARGS, "width($self)\n--\n\n"},
    {"height", noargs<game_height>, METH_NOARGS, "height($self)\n--\n\n"},
    {"get_piece", as_cfunction(fastcall<get_piece<PyGame>>), kFast, "get_piece($self, col, row)\n--\n\n"},
    {"set_piece", as_cfunction(fastcall<set_piece<PyGame>>), kFast,
     "set_piece($self, col, row, piece)\n--\n\n"},
    {"turn", noargs<game_turn>, METH_NOARGS, "turn($self)\n--\n\n"},
    {"is_over", noargs<game_is_over>, METH_NOARGS, "is_over($self)\n--\n\n"},
    {"legal_action_indices", noargs<game_legal_action_indices>, METH_NOARGS,
     "legal_action_indices($self)\n--\n\n"},
    {"apply_action", as_cfunction(fastcall<game_apply_action>), kFast,
     "apply_action($self, action)\n--\n\n"},
    {"encode_spatial_planes", noargs<game_encode_spatial_planes>, METH_NOARGS,
     "encode_spatial_planes($self)\n--\n\n"},
    {"encode_global_state_features", noargs<game_encode_global_state_features>, METH_NOARGS,
     "encode_global_state_features($self)\n--\n\n"},
    {"decode_action", as_cfunction(fastcall<game_decode_action>), kFast,
     "decode_action($self, action)\n--\n\n"},
    {"total_actions", noargs<game_total_actions>, METH_NOARGS, "total_actions($self)\n--\n\n"},
    {"board_shape", noargs<game_board_shape>, METH_NOARGS, "board_shape($self)\n--\n\n"},
    {"spatial_input_plane_count", noargs<game_spatial_input_plane_count>, METH_NOARGS,
     "spatial_input_plane_count($self)\n--\n\n"},
    {"global_input_feature_count", noargs<game_global_input_feature_count>, METH_NOARGS,
     "global_input_feature_count($self)\n--\n\n"},
    {"reward_absolute", noargs<game_reward_absolute>, METH_NOARGS, "reward_absolute($self)\n--\n\n"},
    {"reward_from_perspective", as_cfunction(fastcall<game_reward_from_perspective>), kFast,
     "reward_from_perspective($self, perspective)\n--\n\n"},
    {"outcome", noargs<game_outcome>, METH_NOARGS, "outcome($self)\n--\n\n"},
    {"legal_moves", noargs<game_legal_moves>, METH_NOARGS, "legal_moves($self)\n--\n\n"},
    {"is_legal_move", as_cfunction(fastcall<game_is_legal_move>), kFast,
     "is_legal_move($self, move_)\n--\n\n"},
    {"make_move", as_cfunction(fastcall<game_make_move>), kFast, "make_move($self, move_)\n--\n\n"},
    {"unmake_move", noargs<game_unmake_move>, METH_NOARGS, "unmake_move($self)\n--\n\n"},
    {"board", noargs<game_board>, METH_NOARGS, "board($self)\n--\n\n"},
    {"clone", noargs<game_clone>, METH_NOARGS, "clone($self)\n--\n\n"},
    {"state_hash", noargs<game_state_hash>, METH_NOARGS, "state_hash($self)\n--\n\n"},
    {"transposition_hash", noargs<game_transposition_hash>, METH_NOARGS,
     "transposition_hash($self)\n--\n\n"},
    {"__reduce__", noargs<game_reduce>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", noargs<game_copy>, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", as_cfunction(fastcall<game_deepcopy>), kFast,
     "__deepcopy__($self, memo)\n--\n\n"},
    {"_repr_svg_", noargs<game_repr_svg>, METH_NOARGS, "_repr_svg_($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot game_slots[] = {
    {Py_tp_doc, const_cast<char *>("Game(width, height)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<new_sized<PyGame>>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PyGame::dealloc)},
    {Py_tp_hash, reinterpret_cast<void *>(hash_slot<game_hash>)},
    {Py_tp_str, reinterpret_cast<void *>(unary<game_str>)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<game_repr>)},
    {Py_tp_methods, game_methods},
    {0, nullptr},
};

// "builtins.Game": a fixed public text (the class's __module__ and repr) that callers match on.
PyType_Spec game_spec = var_spec<PyGame>("builtins.Game", game_slots);

}  // namespace

PyTypeObject *game_type() { return game_class.get([] { return make_type(game_spec); }); }

}  // namespace gravline::py
