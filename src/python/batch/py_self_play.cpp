// The self-play generator and its records; registered with the batch module.
#include "batch_module.h"

namespace gravline::py {

void add_self_play(PyObject *) {}

}  // namespace gravline::py
