// What the parts of drevik_gravline_batch share: the registration hooks that
// its module entry calls, one per part.
#pragma once

#include "../mod.h"
#include "../../records.h"

namespace gravline::py {

/// Loads drevik_gravline's table (its classes and PanicException); the batch
/// module's first step, so that every later use finds it.
void load_c_api();

/// GameBatch and encode_games (py_game_batch.cpp).
void add_game_batch(PyObject *module);
/// The Records class (py_records.cpp).
void add_records(PyObject *module);
/// The self-play generator (py_self_play.cpp).
void add_self_play(PyObject *module);
/// The exact solver and its budget exception (py_solver.cpp).
void add_solver(PyObject *module);

/// The Search class (py_search.cpp).
void add_search(PyObject *module);
/// _crc32, the shard writer's checksum (py_crc32.cpp).
void add_crc32(PyObject *module);

/// A new Records object holding `r`.
Ref new_records(Records &&r);

/// An optional argument's value: the default when absent.
inline uint64_t u64_or(PyObject *o, const char *name, uint64_t fallback) { return o ? to_u64(o, name) : fallback; }

/// A module-level function of `module` from its method definition.
inline Ref function(PyObject *module, PyMethodDef &def) {
    Ref module_name = check(PyModule_GetNameObject(module));
    return check(PyCFunction_NewEx(&def, module, module_name.get()));
}

}  // namespace gravline::py
