// The module drevik_gravline: its definition, its registration step and its
// only exported symbol, PyInit_drevik_gravline.
#include "python/c_api.h"
#include "python/mod.h"
#include "python/py_pickle.h"
#include "encode.h"
#include "player.h"

namespace gravline::py {

/// The batch mirroring function, defined with the NumPy code.
extern PyMethodDef augment_symmetries_def;

namespace {

/// The registration step: the nine public names, pickling and the private table.
void exec_module(PyObject *module) {
    check_loadable(module, "drevik_gravline");
    module_add(module, "Board", type_ref(board_type()));
    module_add(module, "Game", type_ref(game_type()));
    module_add(module, "Move", type_ref(move_type()));
    module_add(module, "GameOutcome", type_ref(game_outcome_type()));
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref function = check(PyCFunction_NewEx(&augment_symmetries_def, module, module_name.get()));
    Ref function_name = check(PyObject_GetAttrString(function.get(), "__name__"));
    module_add(module, PyUnicode_AsUTF8(function_name.get()), std::move(function));
    module_add(module, "RED", py_long(static_cast<int8_t>(Player::Red)));
    module_add(module, "YELLOW", py_long(static_cast<int8_t>(Player::Yellow)));
    module_add(module, "SPATIAL_INPUT_PLANES", py_ulong(kSpatialInputPlanes));
    module_add(module, "GLOBAL_INPUT_FEATURES", py_ulong(kGlobalInputFeatures));
    add_pickle_support(module);
    // Private, outside __all__: what drevik_gravline_batch borrows (c_api.h).
    Ref capsule = check(PyCapsule_New(const_cast<CApi *>(&c_api), kCApiName, nullptr));
    if (PyModule_AddObjectRef(module, "_C_API", capsule.get()) < 0) throw_error_already_set();
}

// Only read after load: the interpreter initialises the definition's header
// once, under the import lock.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "drevik_gravline",
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

PyMODINIT_FUNC PyInit_drevik_gravline() { return PyModuleDef_Init(&gravline::py::module_def); }
