// The Board class: a bare position of any size, edited and read cell by cell.
#include <string>

#include "../svg.h"
#include "objects.h"

namespace gravline::py {
namespace {

// Created once, at registration, and published by Lazy; immutable from then on,
// so threads read it without a lock.
Lazy<PyTypeObject> board_class;

PyBoard *board_of(PyObject *self) {
    check_receiver(self, board_class, board_type, "Board");
    return PyBoard::from(self);
}

Ref board_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 2> names{"width", "height"};
    const auto [w_arg, h_arg] = bind("Board.__new__()", names, args, kwargs);
    const uint64_t w = to_u64(w_arg, "width");
    const uint64_t h = to_u64(h_arg, "height");
    const auto [width, height] = validate_board_dimensions(w, h);
    return with_nw(words_for(width, height), [&](auto n) {
        return PyBoard::create<n.value>(type, Board<n.value>::make(width, height));
    });
}

Ref board_standard(PyObject *) {
    return new_board(Board<1>::make(kStandardWidth, kStandardHeight));
}

Ref board_width(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_long(b->visit([](auto &board) { return board.width; }));
}

Ref board_height(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_long(b->visit([](auto &board) { return board.height; }));
}

Ref board_get_piece(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"col", "row"};
    const auto [col_arg, row_arg] = bind("Board.get_piece()", names, args, nargs, kwnames);
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    const unsigned col = to_u8_low(col_arg, "col");
    const unsigned row = to_u8_low(row_arg, "row");
    const std::optional<Player> p = b->visit([&](auto &board) { return board.get_piece(col, row); });
    return p ? py_long(static_cast<int8_t>(*p)) : py_none();
}

Ref board_set_piece(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 3> names{"col", "row", "piece"};
    const auto [col_arg, row_arg, piece_obj] = bind("Board.set_piece()", names, args, nargs, kwnames);
    PyBoard *b = board_of(self);
    ExclusiveBorrow borrow(b->borrow);
    const unsigned col = to_u8_low(col_arg, "col");
    const unsigned row = to_u8_low(row_arg, "row");
    const std::optional<Player> piece = piece_arg(piece_obj);
    b->visit([&](auto &board) { board.set_piece(col, row, piece); });
    return py_none();
}

Ref board_clear(PyObject *self) {
    PyBoard *b = board_of(self);
    ExclusiveBorrow borrow(b->borrow);
    b->visit([](auto &board) { board.clear(); });
    return py_none();
}

Ref board_is_board_full(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_bool(b->visit([](auto &board) {
        using G = BoardGeometry<std::remove_cvref_t<decltype(board)>::kWords>;
        return board.is_board_full(G::make(board.width, board.height));
    }));
}

Ref board_is_column_full(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"col"};
    const auto [col_arg] = bind("Board.is_column_full()", names, args, nargs, kwnames);
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    const unsigned col = to_u8_low(col_arg, "col");
    return py_bool(b->visit([&](auto &board) { return board.is_column_full(col); }));
}

Ref board_column_height(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"col"};
    const auto [col_arg] = bind("Board.column_height()", names, args, nargs, kwnames);
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    const unsigned col = to_u8_low(col_arg, "col");
    return py_long(b->visit([&](auto &board) {
        using G = BoardGeometry<std::remove_cvref_t<decltype(board)>::kWords>;
        return board.column_height(col, G::make(board.width, board.height));
    }));
}

Ref board_str(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_str(b->visit([](auto &board) { return board.to_string(); }));
}

Ref board_repr(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_str(b->visit([](auto &board) {
        return "Board(width=" + std::to_string(board.width) +
               ", height=" + std::to_string(board.height) + ")";
    }));
}

// Jupyter and IPython draw the board with this.
Ref board_repr_svg(PyObject *self) {
    PyBoard *b = board_of(self);
    SharedBorrow borrow(b->borrow);
    return py_str(b->visit([](auto &board) { return board_svg(board); }));
}

PyMethodDef board_methods[] = {
    {"standard", noargs<board_standard>, METH_NOARGS | METH_STATIC, "standard()\n--\n\n"},
    {"width", noargs<board_width>, METH_NOARGS, "width($self)\n--\n\n"},
    {"height", noargs<board_height>, METH_NOARGS, "height($self)\n--\n\n"},
    {"get_piece", as_cfunction(fastcall<board_get_piece>), METH_FASTCALL | METH_KEYWORDS,
     "get_piece($self, col, row)\n--\n\n"},
    {"set_piece", as_cfunction(fastcall<board_set_piece>), METH_FASTCALL | METH_KEYWORDS,
     "set_piece($self, col, row, piece)\n--\n\n"},
    {"clear", noargs<board_clear>, METH_NOARGS, "clear($self)\n--\n\n"},
    {"is_board_full", noargs<board_is_board_full>, METH_NOARGS, "is_board_full($self)\n--\n\n"},
    {"is_column_full", as_cfunction(fastcall<board_is_column_full>), METH_FASTCALL | METH_KEYWORDS,
     "is_column_full($self, col)\n--\n\n"},
    {"column_height", as_cfunction(fastcall<board_column_height>), METH_FASTCALL | METH_KEYWORDS,
     "column_height($self, col)\n--\n\n"},
    {"_repr_svg_", noargs<board_repr_svg>, METH_NOARGS, "_repr_svg_($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char *>("Board(width, height)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<board_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PyBoard::dealloc)},
    {Py_tp_str, reinterpret_cast<void *>(unary<board_str>)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<board_repr>)},
    {Py_tp_methods, board_methods},
    {0, nullptr},
};

PyType_Spec board_spec = var_spec<PyBoard>("builtins.Board", board_slots);

}  // namespace

PyTypeObject *board_type() { return board_class.get([] { return make_type(board_spec); }); }

}  // namespace gravline::py
