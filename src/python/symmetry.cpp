// augment_symmetries: doubles a training batch with its left-right mirrors.
#include "mod.h"

namespace gravline::py {
namespace {
Ref augment_symmetries(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    throw PyError(PyExc_RuntimeError, "not built yet");
}
}  // namespace

PyMethodDef augment_symmetries_def = {
    "augment_symmetries", as_cfunction(fastcall<augment_symmetries>), METH_FASTCALL | METH_KEYWORDS,
    "augment_symmetries(states, policies, values, opponent_policies, opponent_policy_masks)\n--\n\n"};

}  // namespace gravline::py
