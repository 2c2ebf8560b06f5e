// The Records class: compact self-play positions, their fields as NumPy arrays,
// expansion into training arrays, .npz files and pickles.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "../../selfplay.h"
#include "../numpy_util.h"
#include "../../limits.h"
#include "../objects.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

/// Versions of the fields' layout in files and pickles: 1, the eleven fields
/// of any game; 2, a search's, two fields more. A reader refuses any other.
constexpr long kRecordsFormat = 1;
constexpr long kRecordsFormatNewest = 2;
constexpr int kFieldCount = 11;
constexpr int kMaxFieldCount = kFieldCount + 2;

/// The fields of records of a version.
constexpr int field_count(int version) { return version >= 2 ? kMaxFieldCount : kFieldCount; }

/// Values per record that mean the board's width.
constexpr unsigned kPerColumn = 0xffff;

/// One compact field: its name, NumPy type, and values per record (0: one per
/// word of the bit sets; kPerColumn: one per column).
struct Field {
    const char *name;
    int typenum;
    unsigned per_record;
};

constexpr std::array<Field, kMaxFieldCount> kFields{{
    {"red", NPY_UINT64, 0},
    {"yellow", NPY_UINT64, 0},
    {"last_moves", NPY_UINT8, kRecordMoves},
    {"turn", NPY_INT8, 1},
    {"policy", NPY_UINT32, 1},
    {"opponent_policy", NPY_UINT32, 1},
    {"opponent_mask", NPY_BOOL, 1},
    {"value", NPY_INT8, 1},
    {"game", NPY_UINT32, 1},
    {"ply", NPY_UINT16, 1},
    {"action", NPY_UINT8, 1},
    // version 2: the search's distribution and value
    {"visits", NPY_UINT16, kPerColumn},
    {"root_value", NPY_FLOAT32, 1},
}};

unsigned values_per_record(const Field &f, int words, unsigned width) {
    return f.per_record == kPerColumn ? width : f.per_record ? f.per_record : static_cast<unsigned>(words);
}

/// Calls f(field index, vector) for each field of `r`'s version, in kFields order.
template <class R, class F>
void for_each_field(R &r, F &&f) {
    int i = 0;
    Records::for_each_field(
        [&](std::size_t, auto &v) {
            if (i < field_count(r.version)) f(i, v);
            ++i;
        },
        r);
}

constexpr std::array<const char *, 5> kExpandNames{"states", "policies", "values", "opponent_policies",
                                                   "opponent_policy_masks"};

// ---- the Records class ----

/// A Records instance. Never changed after creation, so it needs no borrow
/// flag: any number of threads may read it, with or without the interpreter lock.
struct PyRecords {
    PyObject_HEAD
    Records value;
};

Lazy<PyTypeObject> records_class;
PyTypeObject *records_type();

PyRecords *records_of(PyObject *self) {
    check_receiver(self, records_class, records_type, "Records");
    return reinterpret_cast<PyRecords *>(self);
}

}  // namespace

Ref new_records(Records &&r) {
    PyTypeObject *type = require_type(records_type, "Records");
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) throw_error_already_set();
    new (&reinterpret_cast<PyRecords *>(o)->value) Records(std::move(r));
    return Ref::steal(o);
}

namespace {

void records_dealloc(PyObject *o) noexcept {
    reinterpret_cast<PyRecords *>(o)->value.~Records();
    PyTypeObject *type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

// ---- the fields as arrays ----

/// A new array of one field, copied from the records.
template <class T>
Ref field_array(const Field &f, const FieldVector<T> &v, const Records &r) {
    const npy_intp rows = static_cast<npy_intp>(r.size());
    const unsigned per = values_per_record(f, r.words, r.width);
    Ref a = f.per_record == 1 ? new_array(f.typenum, {rows}) : new_array(f.typenum, {rows, static_cast<npy_intp>(per)});
    if (!v.empty()) std::memcpy(array_data(a), v.data(), v.size() * sizeof(T));
    return a;
}

Ref records_arrays_dict(const Records &r) {
    numpy_api("Records.arrays()");
    Ref d = check(PyDict_New());
    for_each_field(r, [&](int i, const auto &v) {
        Ref a = field_array(kFields[i], v, r);
        if (PyDict_SetItemString(d.get(), kFields[i].name, a.get()) < 0) throw_error_already_set();
    });
    return d;
}

/// A read-only array over one field of the records of `owner`, which it keeps
/// alive as its base: the records never change, so no copy is needed.
template <class T>
Ref field_view(PyObject *owner, const Field &f, const FieldVector<T> &v, const Records &r) {
    const unsigned per = values_per_record(f, r.words, r.width);
    npy_intp dims[2] = {static_cast<npy_intp>(r.size()), static_cast<npy_intp>(per)};
    // An empty field may have no memory; NumPy reads none of it either way.
    static const uint64_t kNothing = 0;
    void *data = const_cast<void *>(v.empty() ? static_cast<const void *>(&kNothing) : static_cast<const void *>(v.data()));
    Ref a = check(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(f.typenum), f.per_record == 1 ? 1 : 2,
                                       dims, nullptr, data, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    Py_INCREF(owner);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(a.get()), owner) < 0) throw_error_already_set();
    return a;
}

Ref records_views(PyObject *self) {
    const Records &r = records_of(self)->value;
    numpy_api("Records.views()");
    Ref d = check(PyDict_New());
    for_each_field(r, [&](int i, const auto &v) {
        Ref a = field_view(self, kFields[i], v, r);
        if (PyDict_SetItemString(d.get(), kFields[i].name, a.get()) < 0) throw_error_already_set();
    });
    return d;
}

/// Where a field's values come from, and how a fault is reported: as the
/// argument errors of a call (TypeError for a wrong kind, ValueError for a
/// wrong shape), or, for data read from a file or a pickle, as ValueError only.
struct Source {
    bool data;  // file or pickle
    PyObject *type_error() const { return data ? PyExc_ValueError : PyExc_TypeError; }
};

std::string dtype_text(PyArray_Descr *d) {
    // Held for the call: a structured dtype's text is made by Python code.
    Ref held = Ref::borrow(reinterpret_cast<PyObject *>(d));
    Ref s = check(PyObject_Str(held.get()));
    const char *p = PyUnicode_AsUTF8(s.get());
    if (!p) throw_error_already_set();
    return p;
}

/// The record count that most fields agree on (`lengths[i]` is field i's, -1
/// when it has none or is not read); a field with another one is named in the
/// ValueError.
npy_intp agreed_rows(const std::array<npy_intp, kMaxFieldCount> &lengths) {
    npy_intp rows = -1;
    for (int i = 0, best = 0; i < kMaxFieldCount; ++i) {
        const int votes = static_cast<int>(std::count(lengths.begin(), lengths.end(), lengths[i]));
        if (lengths[i] >= 0 && votes > best) best = votes, rows = lengths[i];
    }
    for (int i = 0; i < kMaxFieldCount; ++i)
        if (lengths[i] >= 0 && lengths[i] != rows)
            throw PyError(PyExc_ValueError, std::string("the fields' lengths disagree: '") + kFields[i].name +
                                                "' has " + std::to_string(lengths[i]) + " records, not " +
                                                std::to_string(rows));
    return rows;
}

/// Checks a field's dtype and shape, those of an array or of a file member's
/// header: `rows` records (the first field's count when rows is -1, set from it).
void check_field(PyArray_Descr *dtype, int ndim, const npy_intp *dims, const Field &f, int words, unsigned width,
                 npy_intp &rows, Source src) {
    const std::string where = std::string(src.data ? "array '" : "argument '") + f.name + "': ";
    Ref want = Ref::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(f.typenum)));
    if (!want) throw_error_already_set();
    auto *want_descr = reinterpret_cast<PyArray_Descr *>(want.get());
    if (dtype->type_num != f.typenum || !PyArray_EquivTypes(dtype, want_descr))
        throw PyError(src.type_error(), where + "expected dtype " + dtype_text(want_descr) + ", got " +
                                            dtype_text(dtype));
    const unsigned per = values_per_record(f, words, width);
    const int want_ndim = f.per_record == 1 ? 1 : 2;
    if (rows < 0 && ndim >= 1) rows = dims[0];
    bool ok = ndim == want_ndim && dims[0] == rows;
    if (ok && want_ndim == 2) ok = dims[1] == static_cast<npy_intp>(per);
    if (!ok) {
        std::string got = "(";
        for (int i = 0; i < ndim; ++i) got += (i ? ", " : "") + std::to_string(dims[i]);
        got += ndim == 1 ? ",)" : ")";
        const std::string expected = want_ndim == 1 ? shape_text({rows < 0 ? 0 : rows})
                                                    : shape_text({rows < 0 ? 0 : rows, static_cast<npy_intp>(per)});
        throw PyError(PyExc_ValueError, where + "expected shape " + expected + ", got " + got);
    }
}

/// Copies a field's array into `v`, checking its kind and shape (check_field).
template <class T>
void read_field(PyObject *o, const Field &f, int words, unsigned width, npy_intp &rows, FieldVector<T> &v,
                Source src) {
    if (!PyArray_Check(o)) {
        Ref qualname = check(PyType_GetQualName(Py_TYPE(o)));
        throw PyError(src.type_error(), std::string(src.data ? "array '" : "argument '") + f.name +
                                            "': expected a NumPy array, got '" +
                                            PyUnicode_AsUTF8(qualname.get()) + "'");
    }
    auto *a = reinterpret_cast<PyArrayObject *>(o);
    check_field(PyArray_DESCR(a), PyArray_NDIM(a), PyArray_DIMS(a), f, words, width, rows, src);
    const std::size_t per = values_per_record(f, words, width);
    v.resize(static_cast<std::size_t>(rows) * per);
    if (v.empty()) return;
    // Read along the array's own strides, not through a NumPy copy: copying a
    // subclass runs its Python code (__array_finalize__), which could change
    // or free what is being copied. The dtype is exact, so nothing is cast.
    const char *base = PyArray_BYTES(a);
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        std::memcpy(v.data(), base, v.size() * sizeof(T));
        return;
    }
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_NDIM(a) == 2 ? PyArray_STRIDE(a, 1) : 0;
    T *to = v.data();
    for (npy_intp r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < per; ++c)
            std::memcpy(to++, base + r * s0 + static_cast<npy_intp>(c) * s1, sizeof(T));
}

/// Records of `version` built from width, height and that version's fields
/// (`get(name)` gives a new reference to an array), each checked, then every
/// record checked for consistency.
template <class Get>
Ref records_from_fields(uint64_t width, uint64_t height, Get &&get, Source src, int version = 1) {
    numpy_api("Records.from_arrays()");
    const auto [w, h] = validate_board_dimensions(width, height);
    Records r = Records::make(w, h, version);
    // Every field is held until the end: checking one can run Python code (a
    // dtype's text) that empties the mapping the others came from.
    std::array<Ref, kMaxFieldCount> held;
    std::array<npy_intp, kMaxFieldCount> lengths;
    lengths.fill(-1);
    for (int i = 0; i < field_count(version); ++i) {
        held[i] = get(kFields[i].name);
        PyObject *o = held[i].get();
        const bool shaped = PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(o)) >= 1;
        lengths[i] = shaped ? PyArray_DIM(reinterpret_cast<PyArrayObject *>(o), 0) : -1;
    }
    npy_intp rows = agreed_rows(lengths);
    for_each_field(r, [&](int i, auto &v) { read_field(held[i].get(), kFields[i], r.words, r.width, rows, v, src); });
    std::string fault;
    {
        // Plain C++ over private vectors: the checks need no interpreter.
        Unlocked unlocked;
        fault = with_word_count(r.words, [&](auto n) { return check_records<decltype(n)::value>(r); });
    }
    if (!fault.empty()) throw PyError(PyExc_ValueError, "inconsistent records: " + fault);
    return new_records(std::move(r));
}

// ---- Records methods ----

Ref records_width(PyObject *self) { return py_long(records_of(self)->value.width); }
Ref records_height(PyObject *self) { return py_long(records_of(self)->value.height); }
Ref records_arrays(PyObject *self) { return records_arrays_dict(records_of(self)->value); }

Py_ssize_t records_len(PyObject *self) noexcept {
    return static_cast<Py_ssize_t>(reinterpret_cast<PyRecords *>(self)->value.size());
}

Ref records_repr(PyObject *self) {
    const Records &r = records_of(self)->value;
    return py_str("<Records: " + std::to_string(r.size()) + " positions of " + std::to_string(r.width) + "x" +
                  std::to_string(r.height) + " games>");
}

Ref records_compare(PyObject *self, PyObject *other, int op) {
    PyTypeObject *type = require_type(records_type, "Records");
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
    const bool same = records_of(self)->value == records_of(other)->value;
    return py_bool(same == (op == Py_EQ));
}

Ref records_from_arrays(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2 + kMaxFieldCount> names = [] {
        std::array<const char *, 2 + kMaxFieldCount> n{"width", "height"};
        for (int i = 0; i < kMaxFieldCount; ++i) n[2 + i] = kFields[i].name;
        return n;
    }();
    const auto a = py::bind("Records.from_arrays()", names, 2, 2 + kFieldCount, args, nargs, kwnames);
    const uint64_t width = to_u64(a[0], "width"), height = to_u64(a[1], "height");
    // The search's two fields come together, and make the records version 2.
    const bool search = a[2 + kFieldCount] || a[3 + kFieldCount];
    if (search && !(a[2 + kFieldCount] && a[3 + kFieldCount]))
        throw PyError(PyExc_TypeError, "Records.from_arrays() needs both 'visits' and 'root_value', or neither");
    return records_from_fields(
        width, height,
        [&](const char *name) {
            // The caller's arguments, held by the call (keywords by the binding).
            for (std::size_t i = 2; i < names.size(); ++i)
                if (std::strcmp(names[i], name) == 0) return Ref::borrow(a[i]);
            panic("no such field");
        },
        Source{false}, search ? 2 : 1);
}

Ref records_concat(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"records"};
    const auto [seq_arg] = py::bind("Records.concat()", names, args, nargs, kwnames);
    // A tuple of our own: another thread may change a list given here.
    Ref seq = sequence_tuple(seq_arg, "argument 'records': expected a sequence of Records");
    if (!seq) throw_error_already_set();
    const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    if (n == 0) throw PyError(PyExc_ValueError, "Records.concat() needs at least one Records");
    PyTypeObject *type = require_type(records_type, "Records");
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyTuple_GET_ITEM(seq.get(), i);
        if (!PyObject_TypeCheck(item, type)) throw_argument_not_instance(item, "Records", "records");
        total += reinterpret_cast<PyRecords *>(item)->value.size();
    }
    const Records &first = reinterpret_cast<PyRecords *>(PyTuple_GET_ITEM(seq.get(), 0))->value;
    Records joined = Records::make(first.width, first.height, first.version);
    joined.reserve(total);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Records &r = reinterpret_cast<PyRecords *>(PyTuple_GET_ITEM(seq.get(), i))->value;
        if (r.width != first.width || r.height != first.height)
            throw PyError(PyExc_ValueError, "records of one board size only: " + std::to_string(first.width) +
                                                "x" + std::to_string(first.height) + " and " +
                                                std::to_string(r.width) + "x" + std::to_string(r.height));
        if (r.version != first.version)
            throw PyError(PyExc_ValueError, "records of one format version only: " + std::to_string(first.version) +
                                                " and " + std::to_string(r.version));
        joined.append(r);
    }
    return new_records(std::move(joined));
}

// ---- expand ----

/// The record indices of an `indices` argument: a 1-D array or sequence of
/// integers of any integer dtype, negative ones counting from the end.
std::vector<uint64_t> record_indices(PyObject *o, std::size_t count) {
    Ref any = Ref::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
    if (!any) throw_argument_error("indices");
    auto *a = reinterpret_cast<PyArrayObject *>(any.get());
    if (PyArray_NDIM(a) != 1) throw PyError(PyExc_ValueError, "argument 'indices': expected a 1-D sequence of record indices");
    const npy_intp n = PyArray_DIM(a, 0);
    std::vector<uint64_t> out(static_cast<std::size_t>(n));
    if (n == 0) return out;
    if (!PyArray_ISINTEGER(a))
        throw PyError(PyExc_TypeError, "argument 'indices': expected integers, got " + dtype_text(PyArray_DESCR(a)));
    const bool is_unsigned = PyArray_ISUNSIGNED(a);
    Ref as64 = check(PyArray_FromArray(a, PyArray_DescrFromType(is_unsigned ? NPY_UINT64 : NPY_INT64),
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
    const void *data = PyArray_DATA(reinterpret_cast<PyArrayObject *>(as64.get()));
    for (npy_intp j = 0; j < n; ++j) {
        int64_t i;
        bool in_range;
        if (is_unsigned) {
            const uint64_t u = static_cast<const uint64_t *>(data)[j];
            in_range = u < count;
            i = static_cast<int64_t>(u);
        } else {
            i = static_cast<const int64_t *>(data)[j];
            if (i < 0) i += static_cast<int64_t>(count);
            in_range = 0 <= i && static_cast<uint64_t>(i) < count;
        }
        if (!in_range) {
            Ref item = check(PySequence_GetItem(as64.get(), j));
            Ref text = check(PyObject_Str(item.get()));
            throw PyError(PyExc_IndexError, std::string("index ") + PyUnicode_AsUTF8(text.get()) +
                                                " is out of range for " + std::to_string(count) + " records");
        }
        out[static_cast<std::size_t>(j)] = static_cast<uint64_t>(i);
    }
    return out;
}

Ref records_expand(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 3> names{"indices", "mirror", "out"};
    const auto a = py::bind("Records.expand()", names, 1, 0, args, nargs, kwnames);
    const Records &r = records_of(self)->value;
    numpy_api("Records.expand()");
    std::vector<uint64_t> indices;
    const bool all = !a[0] || a[0] == Py_None;
    if (!all) indices = record_indices(a[0], r.size());
    bool mirror = false;
    if (a[1]) {
        const int t = PyObject_IsTrue(a[1]);
        if (t < 0) throw_error_already_set();
        mirror = t;
    }
    const npy_intp n = static_cast<npy_intp>(all ? r.size() : indices.size());
    const npy_intp rows = mirror ? 2 * n : n, w = r.width, h = r.height;

    PyObject *out = a[2] && a[2] != Py_None ? a[2] : nullptr;
    if (out) {
        if (!PyDict_Check(out)) throw_argument_not_instance(out, "dict", "out");
        // A search's records also fill 'root_values', which a previous result holds.
        const Py_ssize_t size = PyDict_Size(out);
        if (size != 5 && !(r.version >= 2 && size == 6))
            throw PyError(PyExc_ValueError, "argument 'out': expected a dict of the five arrays "
                                            "'states', 'policies', 'values', 'opponent_policies', "
                                            "'opponent_policy_masks'" +
                                                std::string(r.version >= 2 ? ", and optionally 'root_values'" : ""));
    }
    const auto result = [&](int k, std::initializer_list<npy_intp> shape) {
        Ref given;
        std::string name = "out";
        if (out) {
            // Held: checking one array can run Python code (a dtype's text)
            // that empties the dict.
            given = dict_item(out, kExpandNames[k]);
            name += std::string("['") + kExpandNames[k] + "']";
            if (!given) throw PyError(PyExc_ValueError, "argument 'out': the array '" + std::string(kExpandNames[k]) + "' is missing");
        }
        return result_array(given.get(), name.c_str(), NPY_FLOAT32, shape);
    };
    Ref states = result(0, {rows, static_cast<npy_intp>(kSpatialInputPlanes), h, w});
    Ref policies = result(1, {rows, w});
    Ref values = result(2, {rows});
    Ref opponent = result(3, {rows, w});
    Ref masks = result(4, {rows});
    if (out) {
        // The arrays are written one after another: two that share memory
        // would silently hold each other's values.
        const Ref *given[5] = {&states, &policies, &values, &opponent, &masks};
        for (int i = 0; i < 5; ++i)
            for (int j = i + 1; j < 5; ++j)
                if (arrays_overlap(given[i]->get(), given[j]->get()))
                    throw PyError(PyExc_ValueError, std::string("argument 'out': the arrays '") + kExpandNames[i] +
                                                        "' and '" + kExpandNames[j] + "' share memory");
    }

    // A search's records also give the search's values: into out['root_values']
    // when the dict has it, else a new array.
    Ref root_values;
    if (r.version >= 2) {
        Ref given = out ? dict_item(out, "root_values") : Ref();
        if (out && PyDict_Size(out) == 6 && !given)
            throw PyError(PyExc_ValueError, "argument 'out': the sixth array must be 'root_values'");
        root_values = result_array(given.get(), "out['root_values']", NPY_FLOAT32, {rows});
        if (given)
            for (const Ref *other : {&states, &policies, &values, &opponent, &masks})
                if (arrays_overlap(root_values.get(), other->get()))
                    throw PyError(PyExc_ValueError, "argument 'out': the array 'root_values' shares memory with another");
    }
    const ExpandOut dst{static_cast<float *>(array_data(states)), static_cast<float *>(array_data(policies)),
                        static_cast<float *>(array_data(values)), static_cast<float *>(array_data(opponent)),
                        static_cast<float *>(array_data(masks)),
                        root_values ? static_cast<float *>(array_data(root_values)) : nullptr};
    {
        // The records never change and the arrays are held here, so the work
        // needs no interpreter.
        Unlocked unlocked;
        with_word_count(r.words, [&](auto nw) {
            expand_records<decltype(nw)::value>(r, all ? nullptr : indices.data(), static_cast<std::size_t>(n),
                                                mirror, dst);
        });
    }
    Ref d = check(PyDict_New());
    const Ref *arrays[5] = {&states, &policies, &values, &opponent, &masks};
    for (int k = 0; k < 5; ++k)
        if (PyDict_SetItemString(d.get(), kExpandNames[k], arrays[k]->get()) < 0) throw_error_already_set();
    if (root_values && PyDict_SetItemString(d.get(), "root_values", root_values.get()) < 0) throw_error_already_set();
    return d;
}

// ---- indexing ----

/// The record positions that `key` chooses among `count`: an integer (one
/// record, negative counting from the end), a slice, or a 1-D array or
/// sequence of integers or of `count` booleans. Empty for a contiguous range,
/// which `first` and `n` then give.
std::vector<uint64_t> chosen_records(PyObject *key, std::size_t count, std::size_t &first, std::size_t &n,
                                     bool &contiguous) {
    contiguous = false;
    if (PySlice_Check(key)) {
        Py_ssize_t start, stop, step;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) throw_error_already_set();
        const Py_ssize_t len = PySlice_AdjustIndices(static_cast<Py_ssize_t>(count), &start, &stop, step);
        if (step == 1) {
            contiguous = true;
            first = static_cast<std::size_t>(start);
            n = static_cast<std::size_t>(len);
            return {};
        }
        std::vector<uint64_t> out(static_cast<std::size_t>(len));
        for (Py_ssize_t j = 0; j < len; ++j) out[static_cast<std::size_t>(j)] = static_cast<uint64_t>(start + j * step);
        return out;
    }
    const bool is_bool = PyBool_Check(key);
    if (!is_bool && (PyLong_Check(key) || (!PyArray_Check(key) && PyIndex_Check(key)) ||
                     (PyArray_Check(key) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(key)) == 0 &&
                      PyArray_ISINTEGER(reinterpret_cast<PyArrayObject *>(key))))) {
        Ref index = check(PyNumber_Index(key));
        const Py_ssize_t i = PyLong_AsSsize_t(index.get());
        if (i == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error_already_set();
            PyErr_Clear();
        } else {
            const Py_ssize_t at = i < 0 ? i + static_cast<Py_ssize_t>(count) : i;
            if (0 <= at && static_cast<std::size_t>(at) < count) {
                contiguous = true;
                first = static_cast<std::size_t>(at);
                n = 1;
                return {};
            }
        }
        Ref text = check(PyObject_Str(index.get()));
        throw PyError(PyExc_IndexError, std::string("index ") + PyUnicode_AsUTF8(text.get()) +
                                            " is out of range for " + std::to_string(count) + " records");
    }
    if (is_bool || !(PyArray_Check(key) || PyList_Check(key) || PyTuple_Check(key))) {
        Ref qualname = check(PyType_GetQualName(Py_TYPE(key)));
        throw PyError(PyExc_TypeError, std::string("Records indices must be integers, slices, or 1-D arrays of "
                                                   "integers or booleans, not '") +
                                           PyUnicode_AsUTF8(qualname.get()) + "'");
    }
    Ref any = check(PyArray_FromAny(key, nullptr, 0, 0, 0, nullptr));
    auto *a = reinterpret_cast<PyArrayObject *>(any.get());
    if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL) {
        if (static_cast<std::size_t>(PyArray_DIM(a, 0)) != count)
            throw PyError(PyExc_IndexError, "a boolean index of " + std::to_string(PyArray_DIM(a, 0)) +
                                                " values for " + std::to_string(count) + " records");
        Ref block = check(reinterpret_cast<PyObject *>(PyArray_GETCONTIGUOUS(a)));
        const auto *flags = static_cast<const npy_bool *>(array_data(block));
        std::vector<uint64_t> out;
        for (std::size_t i = 0; i < count; ++i)
            if (flags[i]) out.push_back(i);
        return out;
    }
    return record_indices(key, count);
}

/// records[key]: a new Records of the chosen records, in the order chosen.
Ref records_subscript(PyObject *self, PyObject *key) {
    const Records &r = records_of(self)->value;
    numpy_api("Records indexing");
    std::size_t first = 0, n = 0;
    bool contiguous = false;
    const std::vector<uint64_t> indices = chosen_records(key, r.size(), first, n, contiguous);
    Records out;
    {
        // The records never change, and the indices are private.
        Unlocked unlocked;
        out = contiguous ? r.slice(first, n) : r.take(indices.data(), indices.size());
    }
    return new_records(std::move(out));
}

// ---- gathering from many sources ----

/// One source of Records.gather: each field's first byte, and its records.
struct GatherSource {
    std::array<const char *, kMaxFieldCount> data;
    std::size_t size;
};

/// One record's bytes of a field: the usual sizes as single moves, not calls.
inline void copy_record_bytes(char *to, const char *from, std::size_t bytes) {
    switch (bytes) {
    case 1: std::memcpy(to, from, 1); break;
    case 2: std::memcpy(to, from, 2); break;
    case 4: std::memcpy(to, from, 4); break;
    case 8: std::memcpy(to, from, 8); break;
    case 16: std::memcpy(to, from, 16); break;
    default: std::memcpy(to, from, bytes);
    }
}

/// The int64 values of a 1-D integer array argument, as a new C-contiguous array.
Ref int64_argument(PyObject *o, const char *name) {
    Ref any = Ref::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
    if (!any) throw_argument_error(name);
    auto *a = reinterpret_cast<PyArrayObject *>(any.get());
    if (PyArray_NDIM(a) != 1 || (PyArray_DIM(a, 0) > 0 && !PyArray_ISINTEGER(a)))
        throw PyError(PyExc_TypeError, std::string("argument '") + name + "': expected a 1-D array of integers");
    return check(PyArray_FromArray(a, PyArray_DescrFromType(NPY_INT64),
                                   NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
}

Ref records_gather(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 5> names{"width", "height", "sources", "source", "rows"};
    const auto [width_arg, height_arg, sources_arg, source_arg, rows_arg] =
        py::bind("Records.gather()", names, args, nargs, kwnames);
    numpy_api("Records.gather()");
    const auto [w, h] = validate_board_dimensions(to_u64(width_arg, "width"), to_u64(height_arg, "height"));
    Ref seq = check(PySequence_Fast(sources_arg, "argument 'sources': expected a sequence of dicts of arrays"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    // A search's records (version 2) when the first source has the search's
    // fields; every other source must have them too.
    PyObject *first = count ? PySequence_Fast_GET_ITEM(seq.get(), 0) : nullptr;
    const bool search = first && PyDict_Check(first) && PyDict_GetItemString(first, kFields[kFieldCount].name);
    Records r = Records::make(w, h, search ? 2 : 1);
    const int fields = field_count(r.version);
    std::vector<GatherSource> sources(static_cast<std::size_t>(count));
    // Every array read is held here until the copy is done: a dict's values
    // may be replaced by code that runs while the next one is looked at.
    std::vector<Ref> held;
    std::array<std::size_t, kMaxFieldCount> record_bytes{};
    // The fields' names as strings once, not once a source: each keeps its
    // hash, so a source's dict is looked up without making or hashing a name.
    std::array<Ref, kMaxFieldCount> keys;
    for (int i = 0; i < fields; ++i) keys[i] = check(PyUnicode_InternFromString(kFields[i].name));
    for (Py_ssize_t s = 0; s < count; ++s) {
        Ref d = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), s));
        if (!PyDict_Check(d.get())) throw_argument_not_instance(d.get(), "dict", "sources");
        npy_intp rows = -1;
        const std::string where = "argument 'sources': source " + std::to_string(s) + ", ";
        for_each_field(r, [&](int i, auto &v) {
            using T = typename std::remove_reference_t<decltype(v)>::value_type;
            const Field &f = kFields[i];
            Ref o = Ref::borrow(PyDict_GetItemWithError(d.get(), keys[i].get()));
            if (!o) {
                if (PyErr_Occurred()) throw_error_already_set();
                throw PyError(PyExc_ValueError, where + "no '" + f.name + "' array");
            }
            if (!PyArray_Check(o.get())) throw_argument_not_instance(o.get(), "ndarray", "sources");
            auto *a = reinterpret_cast<PyArrayObject *>(o.get());
            // Of the field's type in this machine's byte order.
            if (PyArray_TYPE(a) != f.typenum || !PyArray_ISNOTSWAPPED(a)) {
                Ref want = Ref::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(f.typenum)));
                if (!want) throw_error_already_set();
                throw PyError(PyExc_TypeError, where + "'" + f.name + "': expected dtype " +
                                                   dtype_text(reinterpret_cast<PyArray_Descr *>(want.get())) + ", got " +
                                                   dtype_text(PyArray_DESCR(a)));
            }
            const npy_intp per = values_per_record(f, r.words, r.width);
            if (rows < 0 && PyArray_NDIM(a) >= 1) rows = PyArray_DIM(a, 0);
            const bool shaped = f.per_record == 1 ? PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == rows
                                                  : PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == rows && PyArray_DIM(a, 1) == per;
            if (!shaped) throw PyError(PyExc_ValueError, where + "'" + f.name + "': the fields' shapes disagree");
            if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a))
                throw PyError(PyExc_ValueError, where + "'" + f.name + "': expected a C-contiguous, aligned array");
            sources[s].data[i] = static_cast<const char *>(PyArray_DATA(a));
            record_bytes[i] = static_cast<std::size_t>(per) * sizeof(T);
            held.push_back(std::move(o));
        });
        sources[s].size = static_cast<std::size_t>(rows);
        held.push_back(std::move(d));
    }
    Ref source = int64_argument(source_arg, "source"), rows = int64_argument(rows_arg, "rows");
    const npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject *>(source.get()), 0);
    if (PyArray_DIM(reinterpret_cast<PyArrayObject *>(rows.get()), 0) != n)
        throw PyError(PyExc_ValueError, "arguments 'source' and 'rows' must have the same length");
    const auto *which = static_cast<const int64_t *>(array_data(source));
    const auto *row = static_cast<const int64_t *>(array_data(rows));
    for (npy_intp j = 0; j < n; ++j) {
        if (which[j] < 0 || which[j] >= count)
            throw PyError(PyExc_IndexError, "source " + std::to_string(which[j]) + " is out of range for " +
                                                std::to_string(count) + " sources");
        if (row[j] < 0 || static_cast<uint64_t>(row[j]) >= sources[static_cast<std::size_t>(which[j])].size)
            throw PyError(PyExc_IndexError, "row " + std::to_string(row[j]) + " is out of range for source " +
                                                std::to_string(which[j]));
    }
    r.resize_for_overwrite(static_cast<std::size_t>(n));
    std::string fault;
    {
        // The arrays are held above and read only; the records are private.
        Unlocked unlocked;
        std::array<char *, kMaxFieldCount> to{};
        for_each_field(r, [&](int i, auto &v) { to[i] = reinterpret_cast<char *>(v.data()); });
        // Records picked at random from large sources miss the cache in every
        // field: the fields of a pick some way ahead are asked for early.
        // (Always inlined, or the compiler finds the calls free of effects and
        // drops them.)
        constexpr npy_intp kAhead = 16;
        const auto prefetch = [&](npy_intp j) __attribute__((always_inline)) {
            const GatherSource &src = sources[static_cast<std::size_t>(which[j])];
            for (int i = 0; i < fields; ++i) __builtin_prefetch(src.data[i] + row[j] * record_bytes[i]);
        };
        for (npy_intp j = 0; j < std::min(n, kAhead); ++j) prefetch(j);
        for (npy_intp j = 0; j < n; ++j) {
            if (j + kAhead < n) prefetch(j + kAhead);
            const GatherSource &src = sources[static_cast<std::size_t>(which[j])];
            for (int i = 0; i < fields; ++i)
                copy_record_bytes(to[i] + j * record_bytes[i], src.data[i] + row[j] * record_bytes[i], record_bytes[i]);
        }
        fault = with_word_count(r.words, [&](auto nw) { return check_records<decltype(nw)::value>(r); });
    }
    if (!fault.empty()) throw PyError(PyExc_ValueError, "inconsistent records: " + fault);
    return new_records(std::move(r));
}

// ---- files and pickles ----

Ref numpy_function(const char *name) {
    Ref np = check(PyImport_ImportModule("numpy"));
    return check(PyObject_GetAttrString(np.get(), name));
}

/// A 0-d array of one integer.
Ref scalar_array(int typenum, long value) {
    Ref a = new_array(typenum, {});
    Ref v = py_long(value);
    if (PyArray_SETITEM(reinterpret_cast<PyArrayObject *>(a.get()),
                        static_cast<char *>(array_data(a)), v.get()) < 0)
        throw_error_already_set();
    return a;
}

Ref records_save(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"path", "compressed"};
    const auto a = py::bind("Records.save()", names, 2, 1, args, nargs, kwnames);
    const Records &r = records_of(self)->value;
    bool compressed = false;
    if (a[1]) {
        const int t = PyObject_IsTrue(a[1]);
        if (t < 0) throw_error_already_set();
        compressed = t;
    }
    Ref path = Ref::steal(PyOS_FSPath(a[0]));
    if (!path) throw_argument_error("path");
    if (!PyUnicode_Check(path.get())) throw_argument_not_instance(a[0], "str", "path");
    // NumPy adds the suffix to a name without it; the same rule names the result.
    Ref suffix = check(PyUnicode_FromString(".npz"));
    const Py_ssize_t ends = PyUnicode_Tailmatch(path.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1);
    if (ends < 0) throw_error_already_set();
    Ref written = ends ? Ref::borrow(path.get()) : check(PyUnicode_Concat(path.get(), suffix.get()));

    Ref kwargs = records_arrays_dict(r);
    const auto put = [&](const char *key, Ref v) {
        if (PyDict_SetItemString(kwargs.get(), key, v.get()) < 0) throw_error_already_set();
    };
    put("format_version", scalar_array(NPY_INT64, r.version));
    put("width", scalar_array(NPY_INT64, r.width));
    put("height", scalar_array(NPY_INT64, r.height));
    Ref save = numpy_function(compressed ? "savez_compressed" : "savez");
    Ref call_args = check(PyTuple_Pack(1, written.get()));
    check(PyObject_Call(save.get(), call_args.get(), kwargs.get()));
    return written;
}

/// Replaces the pending exception with ValueError "{prefix}: {original}",
/// keeping the original as the cause; an interrupt, a lack of memory, or a
/// missing or unreadable file (OSError, other than a damaged archive) passes
/// unchanged.
[[noreturn]] void throw_unreadable(const char *prefix) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_OSError) ||
        PyErr_ExceptionMatches(PyExc_MemoryError))
        throw_error_already_set();
    Ref old = Ref::steal(take_raised_exception());
    Ref message = check(PyUnicode_FromFormat("%s: %S", prefix, old.get()));
    Ref error = check(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    PyException_SetCause(error.get(), old.release());  // steals
    set_raised_exception(error.release());
    throw_error_already_set();
}

constexpr const char *kDamaged = "a damaged records file";

[[noreturn]] void throw_damaged(const std::string &why) {
    throw PyError(PyExc_ValueError, std::string(kDamaged) + ": " + why);
}

/// A new reference, or the pending error thrown as throw_unreadable does.
Ref read_check(PyObject *p) {
    if (!p) throw_unreadable(kDamaged);
    return Ref::steal(p);
}

/// A whole number held in a 0-d array of a file, or ValueError naming it.
uint64_t file_number(PyObject *v, const char *key) {
    if (PyArray_Check(v) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(v)) == 0 &&
        PyArray_ISINTEGER(reinterpret_cast<PyArrayObject *>(v))) {
        Ref i = Ref::steal(PyNumber_Index(v));
        if (i) {
            const unsigned long long n = PyLong_AsUnsignedLongLong(i.get());
            if (!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return n;
        }
        PyErr_Clear();
    }
    throw PyError(PyExc_ValueError, std::string("the records' '") + key + "' is not a non-negative whole number");
}

/// Refuses a format version or board size that no records file holds.
void check_version_and_size(uint64_t version, uint64_t width, uint64_t height) {
    if (version < static_cast<uint64_t>(kRecordsFormat) || version > static_cast<uint64_t>(kRecordsFormatNewest))
        throw PyError(PyExc_ValueError, "records format version " + std::to_string(version) +
                                            " is not supported (this module reads versions " +
                                            std::to_string(kRecordsFormat) + " to " +
                                            std::to_string(kRecordsFormatNewest) + ")");
    if (!dimension_ok(static_cast<unsigned>(std::min<uint64_t>(width, 1000))) ||
        !dimension_ok(static_cast<unsigned>(std::min<uint64_t>(height, 1000))))
        throw PyError(PyExc_ValueError, "the records' board size " + std::to_string(width) + "x" +
                                            std::to_string(height) + " is outside 4..32");
}

/// Records from the fields of a file or pickle: a dict of names to arrays,
/// with the format version, width and height checked first.
Ref records_from_mapping(uint64_t version, uint64_t width, uint64_t height, PyObject *mapping) {
    check_version_and_size(version, width, height);
    return records_from_fields(
        width, height,
        [&](const char *name) {
            Ref v = dict_item(mapping, name);
            if (!v) throw PyError(PyExc_ValueError, std::string("the records' '") + name + "' array is missing");
            return v;
        },
        Source{true}, static_cast<int>(version));
}

/// Calls close() on `f` at the end of a scope. A pending exception is kept,
/// and a failure to close is of no interest once the data is read.
struct Closing {
    PyObject *f;
    explicit Closing(PyObject *file) : f(file) {}
    Closing(const Closing &) = delete;
    Closing &operator=(const Closing &) = delete;
    ~Closing() {
        if (unwinding_at_exit()) return;
        PyObject *exc = take_raised_exception();
        Ref done = Ref::steal(PyObject_CallMethod(f, "close", nullptr));
        if (!done) PyErr_Clear();
        if (exc) set_raised_exception(exc);
    }
};

/// What the header of an .npy member says, read without its data.
struct MemberHeader {
    Ref dtype;
    int ndim = 0;
    std::array<npy_intp, NPY_MAXDIMS> dims{};
    bool whole = false;  // the member holds exactly the data described, no more and no less
    PyArray_Descr *descr() const { return reinterpret_cast<PyArray_Descr *>(dtype.get()); }
};

/// The header of the archive member `info` (a ZipInfo of `zip`), read with
/// numpy.lib.format (`format`).
MemberHeader read_member_header(PyObject *format, PyObject *zip, PyObject *info, const std::string &key) {
    Ref fp = read_check(PyObject_CallMethod(zip, "open", "O", info));
    Closing closing{fp.get()};
    Ref version = read_check(PyObject_CallMethod(format, "read_magic", "O", fp.get()));
    int major = 0, minor = 0;
    if (!PyArg_ParseTuple(version.get(), "ii", &major, &minor)) throw_unreadable(kDamaged);
    // Versions 1 and 2 differ only in the header's length field; NumPy writes
    // 3 only for dtypes that no records field has.
    const char *reader = major == 1 ? "read_array_header_1_0" : major == 2 ? "read_array_header_2_0" : nullptr;
    if (!reader) throw_damaged("array '" + key + "' has .npy format version " + std::to_string(major));
    Ref header = read_check(PyObject_CallMethod(format, reader, "O", fp.get()));
    PyObject *shape = nullptr, *fortran = nullptr, *dtype = nullptr;
    // Borrowed from the tuple, which is ours and cannot change.
    if (!PyArg_ParseTuple(header.get(), "OOO", &shape, &fortran, &dtype)) throw_unreadable(kDamaged);
    if (!PyArray_DescrCheck(dtype) || !PyTuple_Check(shape) || PyTuple_GET_SIZE(shape) > NPY_MAXDIMS)
        throw_damaged("array '" + key + "' has a malformed header");
    MemberHeader h;
    h.dtype = Ref::borrow(dtype);
    h.ndim = static_cast<int>(PyTuple_GET_SIZE(shape));
    // The described size, counted so that no product overflows.
    uint64_t bytes = static_cast<uint64_t>(PyDataType_ELSIZE(h.descr()));
    bool fits = true;
    for (int i = 0; i < h.ndim; ++i) {
        const Py_ssize_t d = PyLong_Check(PyTuple_GET_ITEM(shape, i)) ? PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, i)) : -1;
        if (d < 0) {
            PyErr_Clear();
            throw_damaged("array '" + key + "' has a malformed header");
        }
        h.dims[i] = d;
        fits = fits && !__builtin_mul_overflow(bytes, static_cast<uint64_t>(d), &bytes);
    }
    Ref at = read_check(PyObject_CallMethod(fp.get(), "tell", nullptr));
    Ref size = read_check(PyObject_GetAttrString(info, "file_size"));
    const unsigned long long header_end = PyLong_AsUnsignedLongLong(at.get());
    const unsigned long long member_size = PyLong_AsUnsignedLongLong(size.get());
    if (PyErr_Occurred()) throw_unreadable(kDamaged);
    h.whole = fits && header_end <= member_size && member_size - header_end == bytes;
    return h;
}

/// Refuses a member whose size is not what its header describes: reading it
/// would allocate what the header claims, whatever the file holds.
void require_whole(const MemberHeader &h, const char *key) {
    if (!h.whole) throw_damaged(std::string("array '") + key + "' does not hold the data its header describes");
}

/// The array of the archive member `info`, read whole.
Ref read_member(PyObject *format, PyObject *zip, PyObject *info) {
    Ref fp = read_check(PyObject_CallMethod(zip, "open", "O", info));
    Closing closing{fp.get()};
    Ref read = read_check(PyObject_GetAttrString(format, "read_array"));
    Ref args = check(PyTuple_Pack(1, fp.get()));
    Ref kwargs = check(PyDict_New());
    if (PyDict_SetItemString(kwargs.get(), "allow_pickle", Py_False) < 0) throw_error_already_set();
    return read_check(PyObject_Call(read.get(), args.get(), kwargs.get()));
}

Ref records_load(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"path"};
    const auto [path] = py::bind("Records.load()", names, args, nargs, kwnames);
    numpy_api("Records.load()");
    Ref load = numpy_function("load");
    Ref kwargs = check(PyDict_New());
    if (PyDict_SetItemString(kwargs.get(), "allow_pickle", Py_False) < 0) throw_error_already_set();
    Ref call_args = check(PyTuple_Pack(1, path));
    Ref file = Ref::steal(PyObject_Call(load.get(), call_args.get(), kwargs.get()));
    if (!file) throw_unreadable("not a readable records file");
    Ref files = Ref::steal(PyObject_GetAttrString(file.get(), "files"));
    if (!files) {
        // A single .npy array, not an archive.
        PyErr_Clear();
        throw PyError(PyExc_ValueError, "not a records file: an .npz archive of named arrays was expected");
    }
    Closing closer{file.get()};
    Ref zip = read_check(PyObject_GetAttrString(file.get(), "zip"));
    Ref format = check(PyImport_ImportModule("numpy.lib.format"));
    Ref infos = read_check(PyObject_CallMethod(zip.get(), "infolist", nullptr));
    Ref list = read_check(PySequence_List(infos.get()));

    // The names first, from the archive's directory: nothing is read for a
    // file that holds an array no records file has. Members are named as
    // numpy.savez names them, "{name}.npy".
    constexpr int kNumbers = 3;
    static constexpr std::array<const char *, kNumbers> kNumberNames{"format_version", "width", "height"};
    const auto name_of = [](int k) { return k < kNumbers ? kNumberNames[k] : kFields[k - kNumbers].name; };
    std::array<Ref, kNumbers + kMaxFieldCount> member;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref info = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref filename = read_check(PyObject_GetAttrString(info.get(), "filename"));
        if (!PyUnicode_Check(filename.get())) throw_damaged("a member's name is not a string");
        const Py_ssize_t length = PyUnicode_GET_LENGTH(filename.get());
        Ref suffix = check(PyUnicode_FromString(".npy"));
        const Py_ssize_t npy = PyUnicode_Tailmatch(filename.get(), suffix.get(), 0, PY_SSIZE_T_MAX, 1);
        if (npy < 0) throw_error_already_set();
        Ref key = check(PyUnicode_Substring(filename.get(), 0, npy ? length - 4 : length));
        int k = 0;
        while (k < kNumbers + kMaxFieldCount && PyUnicode_CompareWithASCIIString(key.get(), name_of(k)) != 0) ++k;
        if (k == kNumbers + kMaxFieldCount) {
            if (PyUnicode_CompareWithASCIIString(key.get(), "states") == 0)
                throw PyError(PyExc_ValueError, "not a records file: it holds dense training arrays ('states', ...); "
                                                "read it with numpy.load");
            Ref text = check(PyObject_Repr(key.get()));
            throw PyError(PyExc_ValueError, std::string("not a records file: unexpected array ") +
                                                PyUnicode_AsUTF8(text.get()));
        }
        if (member[k]) throw_damaged(std::string("array '") + name_of(k) + "' is stored twice");
        member[k] = std::move(info);
    }

    // Then the headers: the numbers, and every field's dtype and shape, with
    // the data each member must hold. Only a file that passes is read.
    const auto number = [&](int k) {
        const char *key = name_of(k);
        if (!member[k]) throw PyError(PyExc_ValueError, std::string("not a records file: no '") + key + "' array");
        const MemberHeader h = read_member_header(format.get(), zip.get(), member[k].get(), key);
        if (h.ndim != 0 || !PyTypeNum_ISINTEGER(h.descr()->type_num))
            throw PyError(PyExc_ValueError, std::string("the records' '") + key + "' is not a non-negative whole number");
        require_whole(h, key);
        Ref v = read_member(format.get(), zip.get(), member[k].get());
        return file_number(v.get(), key);
    };
    const uint64_t version = number(0), width = number(1), height = number(2);
    check_version_and_size(version, width, height);
    const int stored = field_count(static_cast<int>(version));
    for (int i = stored; i < kMaxFieldCount; ++i)
        if (member[kNumbers + i])
            throw PyError(PyExc_ValueError, std::string("not a records file: unexpected array '") + kFields[i].name +
                                                "' in records of version " + std::to_string(version));
    const int words = words_for(static_cast<unsigned>(width), static_cast<unsigned>(height));
    std::array<MemberHeader, kMaxFieldCount> heads;
    std::array<npy_intp, kMaxFieldCount> lengths;
    lengths.fill(-1);
    for (int i = 0; i < stored; ++i) {
        if (!member[kNumbers + i])
            throw PyError(PyExc_ValueError, std::string("the records' '") + kFields[i].name + "' array is missing");
        heads[i] = read_member_header(format.get(), zip.get(), member[kNumbers + i].get(), kFields[i].name);
        lengths[i] = heads[i].ndim >= 1 ? heads[i].dims[0] : -1;
    }
    npy_intp rows = agreed_rows(lengths);
    for (int i = 0; i < stored; ++i) {
        check_field(heads[i].descr(), heads[i].ndim, heads[i].dims.data(), kFields[i], words,
                    static_cast<unsigned>(width), rows, Source{true});
        require_whole(heads[i], kFields[i].name);
    }

    Ref fields = check(PyDict_New());
    for (int i = 0; i < stored; ++i) {
        Ref v = read_member(format.get(), zip.get(), member[kNumbers + i].get());
        if (PyDict_SetItemString(fields.get(), kFields[i].name, v.get()) < 0) throw_error_already_set();
    }
    return records_from_mapping(version, width, height, fields.get());
}

/// The pickle reconstructor: _records_from_pickle(version, width, height, arrays).
Ref records_from_pickle(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 4> names{"version", "width", "height", "arrays"};
    const auto [version, width, height, arrays] = py::bind("_records_from_pickle()", names, args, nargs, kwnames);
    if (!PyDict_Check(arrays)) throw_argument_not_instance(arrays, "dict", "arrays");
    numpy_api("Records pickles");
    return records_from_mapping(to_u64(version, "version"), to_u64(width, "width"), to_u64(height, "height"),
                                arrays);
}

Ref records_reduce(PyObject *self) {
    const Records &r = records_of(self)->value;
    Ref module = check(PyImport_ImportModule("drevik_gravline_batch"));
    Ref rebuild = check(PyObject_GetAttrString(module.get(), "_records_from_pickle"));
    Ref arrays = records_arrays_dict(r);
    Ref state = check(Py_BuildValue("(lIIO)", static_cast<long>(r.version), r.width, r.height, arrays.get()));
    return check(PyTuple_Pack(2, rebuild.get(), state.get()));
}

// ---- the class ----

PyMethodDef records_methods[] = {
    {"width", noargs<records_width>, METH_NOARGS, "width($self)\n--\n\nThe board's width."},
    {"height", noargs<records_height>, METH_NOARGS, "height($self)\n--\n\nThe board's height."},
    {"arrays", noargs<records_arrays>, METH_NOARGS,
     "arrays($self)\n--\n\nThe compact fields as a dict of new NumPy arrays, one row per record."},
    {"views", noargs<records_views>, METH_NOARGS,
     "views($self)\n--\n\nThe compact fields as a dict of read-only NumPy arrays over the records'\n"
     "own memory, without a copy; each keeps the records alive."},
    {"expand", as_cfunction(fastcall<records_expand>), METH_FASTCALL | METH_KEYWORDS,
     "expand($self, indices=None, *, mirror=False, out=None)\n--\n\n"
     "The training arrays of the chosen records (all when indices is None), as a dict of\n"
     "float32 arrays 'states', 'policies', 'values', 'opponent_policies',\n"
     "'opponent_policy_masks'; with mirror=True the left-right mirrors follow the originals."},
    {"save", as_cfunction(fastcall<records_save>), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path, compressed=False)\n--\n\n"
     "Writes the records to an .npz file and returns its name: `path`, with '.npz'\n"
     "appended when the name does not end with it (as numpy.savez names it)."},
    {"load", as_cfunction(fastcall<records_load>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\nRecords read from a file written by save(); a file of another format\n"
     "version, a damaged or an inconsistent one raises ValueError."},
    {"from_arrays", as_cfunction(fastcall<records_from_arrays>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_arrays(width, height, **arrays)\n--\n\n"
     "Records from the eleven fields that arrays() returns, checked for consistency."},
    {"gather", as_cfunction(fastcall<records_gather>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "gather(width, height, sources, source, rows)\n--\n\n"
     "Records of the picked rows of many sources, checked as from_arrays checks: pick j is\n"
     "row rows[j] of sources[source[j]], each source a dict of the eleven fields as arrays\n"
     "(C-contiguous, of exact dtype, such as memory-mapped ones)."},
    {"concat", as_cfunction(fastcall<records_concat>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "concat(records)\n--\n\nOne Records holding the given ones' records in the order given."},
    {"__reduce__", noargs<records_reduce>, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot records_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "Positions of self-play games stored compactly, one record per position before a\n"
                    "move; made by self_play(), Records.from_arrays(), Records.load() or concat().")},
    {Py_tp_dealloc, reinterpret_cast<void *>(records_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<records_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void *>(compare_slot<records_compare>)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_sq_length, reinterpret_cast<void *>(records_len)},
    // records[i], records[a:b], records[indices], records[mask]: new Records.
    {Py_mp_subscript, reinterpret_cast<void *>(binary<records_subscript>)},
    {Py_tp_methods, records_methods},
    {0, nullptr},
};

PyType_Spec records_spec = {"drevik_gravline_batch.Records", sizeof(PyRecords), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            records_slots};

PyTypeObject *records_type() { return records_class.get([] { return make_type(records_spec); }); }

PyMethodDef records_from_pickle_def = {"_records_from_pickle", as_cfunction(fastcall<records_from_pickle>),
                                       METH_FASTCALL | METH_KEYWORDS,
                                       "_records_from_pickle(version, width, height, arrays)\n--\n\n"};


}  // namespace

void add_records(PyObject *module) {
    module_add(module, "Records", type_ref(records_type()));
    // Private: reachable for pickle, but not part of __all__.
    Ref rebuild = function(module, records_from_pickle_def);
    if (PyObject_SetAttrString(module, records_from_pickle_def.ml_name, rebuild.get()) < 0)
        throw_error_already_set();
}

}  // namespace gravline::py
