// drevik_gravline's PanicException and the table that lends it, with the
// classes, to the modules built beside it (c_api.h).
#include "c_api.h"

namespace gravline::py {
namespace {

// Created by the first thread that raises one and published by Lazy; the class
// never changes afterwards, so every thread raises it without a lock.
Lazy<PyObject> panic_class;

}  // namespace

PyObject *panic_type() {
    return panic_class.get([] {
        return PyErr_NewExceptionWithDoc(
            "drevik_gravline.PanicException",
            "An internal failure of drevik_gravline: a broken invariant, never a user error.",
            PyExc_BaseException, nullptr);
    });
}

const CApi c_api = {kCApiVersion, board_type, game_type, move_type, game_outcome_type, panic_type};

}  // namespace gravline::py
