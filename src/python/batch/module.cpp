// The module drevik_gravline_batch: its definition, its registration step and
// its only exported symbol, PyInit_drevik_gravline_batch.
#include "batch_module.h"

namespace gravline::py {
namespace {

int exec_module(PyObject *module) noexcept {
    try {
        check_loadable(module, "drevik_gravline_batch");
        // Game objects go in and out: their class is drevik_gravline's own.
        load_c_api();
        add_game_batch(module);
        add_self_play(module);
        return 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The classes are process-wide objects, as are drevik_gravline's that it
    // borrows; another interpreter must not share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Each batch's atomic borrow flag guards it; the module keeps no other
    // mutable state, and its lazy values are created under a lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

// Only read after load: the interpreter initialises the definition's header
// once, under the import lock.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drevik_gravline_batch",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace gravline::py

PyMODINIT_FUNC PyInit_drevik_gravline_batch() { return PyModuleDef_Init(&gravline::py::module_def); }
