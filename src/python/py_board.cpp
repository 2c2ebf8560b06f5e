// The Board class: a bare position of any size, edited and read cell by cell.
#include <string>

#include "../svg.h"
#include "objects.h"
#include "py_pickle.h"

namespace gravline::py {

Lazy<PyTypeObject> board_class;

namespace {

using Read = Borrowed<PyBoard>;
using Write = Borrowed<PyBoard, Access::Exclusive>;

Ref board_standard(PyObject *) {
    return new_board(Board<1>::make(kStandardWidth, kStandardHeight));
}

Ref board_width(PyObject *self) {
    return py_long(Read(self).visit([](auto &board) { return board.width; }));
}

Ref board_height(PyObject *self) {
    return py_long(Read(self).visit([](auto &board) { return board.height; }));
}

Ref board_clear(PyObject *self) {
    Write(self).visit([](auto &board) { board.clear(); });
    return py_none();
}

/// The shared geometry of the board's own size.
template <int NW>
const BoardGeometry<NW> &geometry_of(const Board<NW> &board) {
    return shared_geometry<NW>(board.width, board.height);
}

Ref board_is_board_full(PyObject *self) {
    return py_bool(Read(self).visit([](auto &board) { return board.is_board_full(geometry_of(board)); }));
}

Ref board_is_column_full(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"col"};
    const auto [col_arg] = bind("Board.is_column_full()", names, args, nargs, kwnames);
    Read board(self);
    const unsigned col = to_u8_low(col_arg, "col");
    return py_bool(board.visit([&](auto &b) { return b.is_column_full(col); }));
}

Ref board_column_height(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"col"};
    const auto [col_arg] = bind("Board.column_height()", names, args, nargs, kwnames);
    Read board(self);
    const unsigned col = to_u8_low(col_arg, "col");
    return py_long(board.visit([&](auto &b) { return b.column_height(col, geometry_of(b)); }));
}

Ref board_str(PyObject *self) {
    return py_str(Read(self).visit([](auto &board) { return board.to_string(); }));
}

Ref board_repr(PyObject *self) {
    return py_str(Read(self).visit([](auto &board) {
        return "Board(width=" + std::to_string(board.width) +
               ", height=" + std::to_string(board.height) + ")";
    }));
}

// Jupyter and IPython draw the board with this.
Ref board_repr_svg(PyObject *self) {
    return py_str(Read(self).visit([](auto &board) { return board_svg(board); }));
}

PyMethodDef board_methods[] = {
    {"standard", noargs<board_standard>, METH_NOARGS | METH_STATIC, "standard()\n--\n\n"},
    {"width", noargs<board_width>, METH_NOARGS, "width($self)\n--\n\n"},
    {"height", noargs<board_height>, METH_NOARGS, "height($self)\n--\n\n"},
    {"get_piece", as_cfunction(fastcall<get_piece<PyBoard>>), METH_FASTCALL | METH_KEYWORDS,
     "get_piece($self, col, row)\n--\n\n"},
    {"set_piece", as_cfunction(fastcall<set_piece<PyBoard>>), METH_FASTCALL | METH_KEYWORDS,
     "set_piece($self, col, row, piece)\n--\n\n"},
    {"clear", noargs<board_clear>, METH_NOARGS, "clear($self)\n--\n\n"},
    {"is_board_full", noargs<board_is_board_full>, METH_NOARGS, "is_board_full($self)\n--\n\n"},
    {"is_column_full", as_cfunction(fastcall<board_is_column_full>), METH_FASTCALL | METH_KEYWORDS,
     "is_column_full($self, col)\n--\n\n"},
    {"column_height", as_cfunction(fastcall<board_column_height>), METH_FASTCALL | METH_KEYWORDS,
     "column_height($self, col)\n--\n\n"},
    {"__reduce__", noargs<board_reduce>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", noargs<board_copy>, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", as_cfunction(fastcall<board_deepcopy>), METH_FASTCALL | METH_KEYWORDS,
     "__deepcopy__($self, memo)\n--\n\n"},
    {"_repr_svg_", noargs<board_repr_svg>, METH_NOARGS, "_repr_svg_($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot board_slots[] = {
    {Py_tp_doc, const_cast<char *>("Board(width, height)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<new_sized<PyBoard>>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PyBoard::dealloc)},
    {Py_tp_str, reinterpret_cast<void *>(unary<board_str>)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<board_repr>)},
    {Py_tp_methods, board_methods},
    {0, nullptr},
};

// "builtins.Board": a fixed public text (the class's __module__ and repr) that callers match on.
PyType_Spec board_spec = var_spec<PyBoard>("builtins.Board", board_slots);

}  // namespace

PyTypeObject *board_type() { return board_class.get([] { return make_type(board_spec); }); }

}  // namespace gravline::py
