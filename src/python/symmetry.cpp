// augment_symmetries: doubles a training batch with its left-right mirrors.
// NumPy's C API is fetched on the first call (numpy_util.h), so importing the
// module never imports NumPy, and one build runs on NumPy 1.26 and 2.x alike.
#include "numpy_util.h"

#include "../limits.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

namespace gravline::py {
namespace {

static_assert(sizeof(float) == sizeof(uint32_t));
static_assert(sizeof(Py_ssize_t) == sizeof(Py_intptr_t));
constexpr npy_intp kItem = sizeof(float);

// ---- arguments ----

/// One argument as read at conversion time: data pointer, shape and byte strides.
struct View {
    const char *data;
    npy_intp dims[4];
    npy_intp strides[4];
    bool contiguous;  // C order, so element i lies at data + 4 i
};

/// The argument `o` as a float32 array of `ndim` dimensions. Nothing is cast:
/// anything else is refused with the cast rule's TypeError naming `name`.
View float32_view(PyObject *o, int ndim, const char *name, const NumpyApi &np) {
    if (PyArray_Check(o)) {
        auto *a = reinterpret_cast<PyArrayObject *>(o);
        PyArray_Descr *d = PyArray_DESCR(a);
        // The equivalence test refuses byte-swapped float32, which would need a cast.
        if (PyArray_NDIM(a) == ndim && (d == np.float32 || PyArray_EquivTypes(d, np.float32))) {
            View v{PyArray_BYTES(a), {}, {}, PyArray_IS_C_CONTIGUOUS(a) != 0};
            for (int i = 0; i < ndim; ++i) {
                v.dims[i] = PyArray_DIM(a, i);
                v.strides[i] = PyArray_STRIDE(a, i);
            }
            return v;
        }
        // An array of another dtype or rank: say what was expected and what came.
        Ref got = check(PyObject_Str(reinterpret_cast<PyObject *>(d)));
        const char *dtype = PyUnicode_AsUTF8(got.get());
        if (!dtype) throw_error_already_set();
        const auto dims = [](int n) { return std::to_string(n) + (n == 1 ? " dimension" : " dimensions"); };
        throw PyError(PyExc_TypeError, std::string("argument '") + name + "': expected a float32 array of " +
                                           dims(ndim) + ", got a " + dtype + " array of " + dims(PyArray_NDIM(a)));
    }
    throw_argument_not_instance(o, "ndarray", name);
}

/// Refuses a float32 result of this shape unless its byte size (and so its
/// element count) fits a signed 64-bit size. Zero-length axes are left out of
/// the product, as NumPy's allocator leaves them out of its own test.
void check_result_size(std::initializer_list<npy_intp> shape) {
    int64_t bytes = kItem;
    for (npy_intp n : shape)
        if (n != 0 && __builtin_mul_overflow(bytes, static_cast<int64_t>(n), &bytes))
            panic("augment_symmetries: the result is too large for a signed 64-bit size");
}

/// A new C-contiguous float32 array with its own uninitialised buffer: every
/// element is written before the array is returned.
Ref new_float_array(int ndim, npy_intp *dims) {
    return check(PyArray_SimpleNew(ndim, dims, NPY_FLOAT32));
}

// ---- copying ----

// Floats travel as their 32 bits: no float arithmetic touches them, so NaN
// payloads and negative zero arrive unchanged. Loads go through memcpy because
// an input array need not be aligned.
inline uint32_t load(const char *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Four consecutive floats, which the compiler keeps in one vector register.
struct Quad {
    uint32_t v[4];
};

inline Quad load4(const char *p) {
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

inline void store4(uint32_t *dst, const Quad &q) { std::memcpy(dst, &q, sizeof q); }

/// Stores q in reverse order, e.g. {a, b, c, d} as d, c, b, a: one shuffle.
inline void store4_reversed(uint32_t *dst, const Quad &q) {
    const Quad r{{q.v[3], q.v[2], q.v[1], q.v[0]}};
    std::memcpy(dst, &r, sizeof r);
}

/// Copies one contiguous row of n >= 4 floats to `copy` and, reversed, to
/// `mirror`, four at a time. A width that is not a multiple of four ends with
/// a quad that overlaps the one before it; it writes the same values again.
/// For n = 7, source a b c d e f g:
///   quad 0..3  a b c d -> copy[0..3],  mirror[3..6] = d c b a
///   quad 3..6  d e f g -> copy[3..6],  mirror[0..3] = g f e d
template <npy_intp N>
inline void copy_row_quads(uint32_t *copy, uint32_t *mirror, const char *src, npy_intp n) {
    if constexpr (N > 0) n = N;  // a width fixed at compile time unrolls the loop
    npy_intp o = 0;
    for (; o + 4 <= n; o += 4) {
        const Quad q = load4(src + o * kItem);
        store4(copy + o, q);
        store4_reversed(mirror + (n - 4 - o), q);
    }
    if (o < n) {
        const Quad q = load4(src + (n - 4) * kItem);
        store4(copy + (n - 4), q);
        store4_reversed(mirror, q);
    }
}

/// Copies `rows` rows of n contiguous floats, each `step` bytes after the last,
/// to consecutive rows of `copy` and, reversed, of `mirror`.
using RowKernel = void (*)(uint32_t *copy, uint32_t *mirror, const char *src, npy_intp step,
                           npy_intp rows, npy_intp n);

/// N = 0: any width of four or more, known only at run time.
template <npy_intp N>
void copy_rows_quads(uint32_t *copy, uint32_t *mirror, const char *src, npy_intp step,
                     npy_intp rows, npy_intp n) {
    for (npy_intp r = 0; r < rows; ++r, copy += n, mirror += n, src += step)
        copy_row_quads<N>(copy, mirror, src, n);
}

/// Rows narrower than one quad.
void copy_rows_narrow(uint32_t *copy, uint32_t *mirror, const char *src, npy_intp step,
                      npy_intp rows, npy_intp n) {
    for (npy_intp r = 0; r < rows; ++r, copy += n, mirror += n, src += step)
        for (npy_intp i = 0; i < n; ++i) mirror[n - 1 - i] = copy[i] = load(src + i * kItem);
}

template <std::size_t... I>
constexpr std::array<RowKernel, sizeof...(I)> fixed_width_kernels(std::index_sequence<I...>) {
    return {&copy_rows_quads<static_cast<npy_intp>(I) + 4>...};
}

/// The kernel for rows of n floats. Every board width has its own, with the
/// quads unrolled: board rows are a few quads long, so a loop and its tail
/// test would cost as much as the data.
RowKernel row_kernel(npy_intp n) {
    static constexpr auto fixed =
        fixed_width_kernels(std::make_index_sequence<kMaxDimension - 3>());
    if (n < 4) return copy_rows_narrow;
    if (n <= static_cast<npy_intp>(kMaxDimension)) return fixed[n - 4];
    return copy_rows_quads<0>;
}

/// Rows whose floats are neither adjacent nor adjacent backwards.
void copy_rows_strided(uint32_t *copy, uint32_t *mirror, const char *src, npy_intp step,
                       npy_intp rows, npy_intp n, npy_intp item_step) {
    for (npy_intp r = 0; r < rows; ++r, copy += n, mirror += n, src += step)
        for (npy_intp i = 0; i < n; ++i) mirror[n - 1 - i] = copy[i] = load(src + i * item_step);
}

/// Writes a (d0, d1, d2, n) block to `out` unchanged and, right after it, with
/// every row reversed. The input is read once, a row at a time, and each row
/// is written to both halves while it is in the nearest cache.
void copy_and_mirror(const View &v, uint32_t *out) {
    const npy_intp d0 = v.dims[0], d1 = v.dims[1], d2 = v.dims[2], n = v.dims[3];
    const npy_intp count = d0 * d1 * d2 * n;
    if (count == 0) return;
    uint32_t *copy = out, *mirror = out + count;
    const RowKernel kernel = row_kernel(n);
    if (v.contiguous) {
        // One run of rows: no stride arithmetic at all.
        kernel(copy, mirror, v.data, n * kItem, d0 * d1 * d2, n);
        return;
    }
    const npy_intp s0 = v.strides[0], s1 = v.strides[1], s2 = v.strides[2], s3 = v.strides[3];
    const char *p0 = v.data;
    for (npy_intp i = 0; i < d0; ++i, p0 += s0) {
        const char *p1 = p0;
        for (npy_intp j = 0; j < d1; ++j, p1 += s1, copy += d2 * n, mirror += d2 * n) {
            if (s3 == kItem) {
                kernel(copy, mirror, p1, s2, d2, n);
            } else if (s3 == -kItem) {
                // A row stored backwards is its own mirror stored forwards,
                // starting at its last element.
                kernel(mirror, copy, p1 - (n - 1) * kItem, s2, d2, n);
            } else {
                copy_rows_strided(copy, mirror, p1, s2, d2, n, s3);
            }
        }
    }
}

/// Writes the n floats of a 1-D view to `out` twice in a row.
void copy_twice(const View &v, uint32_t *out) {
    const npy_intp n = v.dims[0];
    if (n == 0) return;
    if (v.contiguous) {
        std::memcpy(out, v.data, static_cast<std::size_t>(n) * kItem);
    } else {
        const char *p = v.data;
        for (npy_intp i = 0; i < n; ++i, p += v.strides[0]) out[i] = load(p);
    }
    std::memcpy(out + n, out, static_cast<std::size_t>(n) * kItem);
}

/// A (B, W) policy view as a (B, 1, 1, W) block.
View as_block(const View &v) {
    return View{v.data, {v.dims[0], 1, 1, v.dims[1]}, {v.strides[0], 0, 0, v.strides[1]}, v.contiguous};
}

uint32_t *bits(const Ref &array) {
    return static_cast<uint32_t *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
}

Ref augment_symmetries(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 5> names{
        "states", "policies", "values", "opponent_policies", "opponent_policy_masks"};
    const Bound<5> arg = bind("augment_symmetries()", names, args, nargs, kwnames);
    const NumpyApi *np = &numpy_api("augment_symmetries");

    // Each argument is checked in full before the next is looked at.
    const View states = float32_view(arg[0], 4, names[0], *np);
    const View policies = float32_view(arg[1], 2, names[1], *np);
    const View values = float32_view(arg[2], 1, names[2], *np);
    const View opponent_policies = float32_view(arg[3], 2, names[3], *np);
    const View masks = float32_view(arg[4], 1, names[4], *np);

    const npy_intp batch = states.dims[0], width = states.dims[3];
    if (policies.dims[0] != batch || values.dims[0] != batch || opponent_policies.dims[0] != batch ||
        masks.dims[0] != batch)
        throw PyError(PyExc_ValueError, "all inputs must have the same batch dimension");
    if (policies.dims[1] != width || opponent_policies.dims[1] != width)
        throw PyError(PyExc_ValueError, "gravline policies must have one action per column");

    // The inputs exist, so only the doubled batch can overflow; refuse before
    // anything is allocated.
    npy_intp state_dims[4] = {2 * batch, states.dims[1], states.dims[2], width};
    npy_intp policy_dims[2] = {2 * batch, width};
    npy_intp value_dims[1] = {2 * batch};
    check_result_size({state_dims[0], state_dims[1], state_dims[2], state_dims[3]});
    check_result_size({policy_dims[0], policy_dims[1]});
    check_result_size({value_dims[0]});

    Ref out_states = new_float_array(4, state_dims);
    Ref out_policies = new_float_array(2, policy_dims);
    Ref out_values = new_float_array(1, value_dims);
    Ref out_opponent = new_float_array(2, policy_dims);
    Ref out_masks = new_float_array(1, value_dims);

    copy_and_mirror(states, bits(out_states));
    copy_and_mirror(as_block(policies), bits(out_policies));
    copy_twice(values, bits(out_values));
    copy_and_mirror(as_block(opponent_policies), bits(out_opponent));
    copy_twice(masks, bits(out_masks));

    Ref result = check(PyTuple_New(5));
    PyTuple_SET_ITEM(result.get(), 0, out_states.release());
    PyTuple_SET_ITEM(result.get(), 1, out_policies.release());
    PyTuple_SET_ITEM(result.get(), 2, out_values.release());
    PyTuple_SET_ITEM(result.get(), 3, out_opponent.release());
    PyTuple_SET_ITEM(result.get(), 4, out_masks.release());
    return result;
}

}  // namespace

PyMethodDef augment_symmetries_def = {
    "augment_symmetries", as_cfunction(fastcall<augment_symmetries>), METH_FASTCALL | METH_KEYWORDS,
    "augment_symmetries(states, policies, values, opponent_policies, opponent_policy_masks)\n--\n\n"};

}  // namespace gravline::py
