// The classes and the PanicException of drevik_gravline, borrowed through its
// _C_API capsule, so that both modules share one Game class and one exception.
#include "../c_api.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

// drevik_gravline's table lives as long as the process (a static of that
// module, which is never unloaded). Published by Lazy, then only read.
Lazy<const CApi> table;

const CApi *import_table() {
    auto *api = static_cast<const CApi *>(PyCapsule_Import(kCApiName, 0));
    if (api && api->version != kCApiVersion) {
        PyErr_Format(PyExc_ImportError,
                     "drevik_gravline_batch needs drevik_gravline's C API version %d, found %d",
                     kCApiVersion, api->version);
        return nullptr;
    }
    return api;
}

const CApi *api() { return table.get(import_table); }

}  // namespace

void load_c_api() {
    if (!api()) throw_error_already_set();
}

PyTypeObject *board_type() {
    const CApi *a = api();
    return a ? a->board_type() : nullptr;
}

PyTypeObject *game_type() {
    const CApi *a = api();
    return a ? a->game_type() : nullptr;
}

PyTypeObject *move_type() {
    const CApi *a = api();
    return a ? a->move_type() : nullptr;
}

PyTypeObject *game_outcome_type() {
    const CApi *a = api();
    return a ? a->game_outcome_type() : nullptr;
}

PyObject *panic_type() {
    const CApi *a = api();
    return a ? a->panic_type() : nullptr;
}

}  // namespace gravline::py
