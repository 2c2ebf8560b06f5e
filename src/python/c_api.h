// What drevik_gravline lends the modules built beside it: its classes and its
// PanicException, published as the private capsule drevik_gravline._C_API.
#pragma once

#include "mod.h"

namespace gravline::py {

inline constexpr const char *kCApiName = "drevik_gravline._C_API";
/// Raised whenever the table changes shape; a reader refuses any other.
inline constexpr int kCApiVersion = 1;

/// Every getter returns a borrowed, process-wide object, or nullptr with an
/// exception set; each may be called from any thread attached to the interpreter.
struct CApi {
    int version;
    PyTypeObject *(*board_type)();
    PyTypeObject *(*game_type)();
    PyTypeObject *(*move_type)();
    PyTypeObject *(*game_outcome_type)();
    PyObject *(*panic_type)();
};

/// drevik_gravline's table (defined in c_api.cpp, used only by that module).
extern const CApi c_api;

}  // namespace gravline::py
