// The module drevik_gravline_batch: its definition, its registration step and
// its only exported symbol, PyInit_drevik_gravline_batch.
#include "batch_module.h"

namespace gravline::py {
namespace {

/// The registration step: GameBatch, encode_games, Records, self_play, the
/// solver and the tree search.
void exec_module(PyObject *module) {
    check_loadable(module, "drevik_gravline_batch");
    // Game objects go in and out: their class is drevik_gravline's own.
    load_c_api();
    add_game_batch(module);
    add_records(module);
    add_self_play(module);
    add_solver(module);
    add_search(module);
    add_crc32(module);
}

// Only read after load: the interpreter initialises the definition's header
// once, under the import lock.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drevik_gravline_batch",
    "",
    0,
    nullptr,
    module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace gravline::py

PyMODINIT_FUNC PyInit_drevik_gravline_batch() { return PyModuleDef_Init(&gravline::py::module_def); }
