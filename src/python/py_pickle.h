// Pickling and copying of the four classes: the method-table entries each
// class file lists, and the module's private reconstructor.
#pragma once

#include "mod.h"

namespace gravline::py {

// __reduce__: (drevik_gravline._reconstruct, (saved bytes,)).
Ref game_reduce(PyObject *self);
Ref board_reduce(PyObject *self);
Ref move_reduce(PyObject *self);
Ref game_outcome_reduce(PyObject *self);

// __copy__ and __deepcopy__(memo): a new object for a Game or Board, as clone()
// makes one; the same object for an immutable Move or GameOutcome.
Ref game_copy(PyObject *self);
Ref game_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref board_copy(PyObject *self);
Ref board_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref move_copy(PyObject *self);
Ref move_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Ref game_outcome_copy(PyObject *self);
Ref game_outcome_deepcopy(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);

/// Sets the module's `_reconstruct`, the function every pickle names; it stays
/// out of __all__.
void add_pickle_support(PyObject *module);

}  // namespace gravline::py
