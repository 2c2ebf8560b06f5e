// _crc32(data, value=0): zlib.crc32's result, at the speed of a copy. The shard
// writer computes each member's CRC-32 with it as it writes the member.
#include "../../crc32.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

/// Buffers smaller than this are checked with the lock held: letting it go
/// costs more than they take.
constexpr Py_ssize_t kReleaseBytes = 1 << 16;

/// A caller's buffer, held for the call (released however the call ends).
struct HeldBuffer {
    Py_buffer view{};
    explicit HeldBuffer(PyObject *o) {
        if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS) < 0) throw_argument_error("data");
    }
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view); }
};

Ref crc32_of(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"data", "value"};
    const auto a = py::bind("_crc32()", names, 2, 1, args, nargs, kwnames);
    uint32_t value = 0;
    if (a[1]) {
        // zlib.crc32 takes any integer and keeps its low 32 bits.
        const unsigned long long v = PyLong_AsUnsignedLongLongMask(a[1]);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_argument_error("value");
        value = static_cast<uint32_t>(v);
    }
    HeldBuffer held(a[0]);
    const auto n = static_cast<std::size_t>(held.view.len);
    if (held.view.len < kReleaseBytes) return py_ulong(crc32(value, held.view.buf, n));
    uint32_t crc;
    {
        // The buffer is held (a bytearray or array cannot be resized meanwhile).
        Unlocked unlocked;
        crc = crc32(value, held.view.buf, n);
    }
    return py_ulong(crc);
}

PyMethodDef crc32_def = {"_crc32", as_cfunction(fastcall<crc32_of>), METH_FASTCALL | METH_KEYWORDS,
                         "_crc32(data, value=0)\n--\n\n"
                         "zlib.crc32(data, value): the CRC-32 of a C-contiguous buffer, continuing from value."};

}  // namespace

void add_crc32(PyObject *module) {
    Ref f = function(module, crc32_def);
    if (PyObject_SetAttrString(module, crc32_def.ml_name, f.get()) < 0) throw_error_already_set();
}

}  // namespace gravline::py
