// What the parts of drevik_gravline_batch share: the registration hooks that
// its module entry calls, one per part.
#pragma once

#include "../mod.h"

namespace gravline::py {

/// Loads drevik_gravline's table (its classes and PanicException); the batch
/// module's first step, so that every later use finds it.
void load_c_api();

/// GameBatch and encode_games (py_game_batch.cpp).
void add_game_batch(PyObject *module);
/// The self-play generator and its records (py_self_play.cpp).
void add_self_play(PyObject *module);

}  // namespace gravline::py
