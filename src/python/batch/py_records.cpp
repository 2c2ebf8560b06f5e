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
#include "../objects.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

/// Version of the fields' layout in files and pickles; a reader refuses any other.
constexpr long kRecordsFormat = 1;
constexpr int kFieldCount = 11;

/// One compact field: its name, NumPy type, and values per record (0: one per
/// word of the bit sets).
struct Field {
    const char *name;
    int typenum;
    unsigned per_record;
};

constexpr std::array<Field, kFieldCount> kFields{{
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
}};

/// The newest format version, written by save() for a search's records; files
/// of every version from 1 up are read.
constexpr long kRecordsFormatNewest = 2;
/// Values per record that mean the board's width.
constexpr unsigned kPerColumn = 0xffff;

/// The further fields of version 2: the search's distribution and value.
constexpr std::array<Field, 2> kSearchFields{{
    {"visits", NPY_UINT16, kPerColumn},
    {"root_value", NPY_FLOAT32, 1},
}};

/// Field i of the order Records::for_each_field follows.
const Field &field_at(int i) { return i < kFieldCount ? kFields[i] : kSearchFields[i - kFieldCount]; }

/// Calls f(field index, vector) for each field of `r`, in kFields order, then
/// kSearchFields' for records of version 2.
template <class R, class F>
void for_each_field(R &r, F &&f) {
    int i = 0;
    Records::for_each_field(
        [&](std::size_t, auto &v) {
            if (i < kFieldCount || r.version >= 2) f(i, v);
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
Ref field_array(const Field &f, const FieldVector<T> &v, std::size_t n, int words, unsigned width) {
    const npy_intp rows = static_cast<npy_intp>(n);
    const unsigned per = f.per_record == kPerColumn ? width : f.per_record ? f.per_record : static_cast<unsigned>(words);
    Ref a = f.per_record == 1 ? new_array(f.typenum, {rows}) : new_array(f.typenum, {rows, static_cast<npy_intp>(per)});
    if (!v.empty()) std::memcpy(array_data(a), v.data(), v.size() * sizeof(T));
    return a;
}

Ref records_arrays_dict(const Records &r) {
    numpy_api("Records.arrays()");
    Ref d = check(PyDict_New());
    for_each_field(r, [&](int i, const auto &v) {
        Ref a = field_array(field_at(i), v, r.size(), r.words, r.width);
        if (PyDict_SetItemString(d.get(), field_at(i).name, a.get()) < 0) throw_error_already_set();
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
    Ref s = check(PyObject_Str(reinterpret_cast<PyObject *>(d)));
    return PyUnicode_AsUTF8(s.get());
}

/// Copies a field's array into `v`, checking its kind and shape: `rows` records
/// (the first field's count when rows is -1, set from it).
template <class T>
void read_field(PyObject *o, const Field &f, int words, unsigned width, npy_intp &rows, FieldVector<T> &v,
                Source src) {
    const std::string where = std::string(src.data ? "array '" : "argument '") + f.name + "': ";
    if (!PyArray_Check(o)) {
        Ref qualname = check(PyType_GetQualName(Py_TYPE(o)));
        throw PyError(src.type_error(), where + "expected a NumPy array, got '" +
                                            PyUnicode_AsUTF8(qualname.get()) + "'");
    }
    auto *a = reinterpret_cast<PyArrayObject *>(o);
    Ref want = Ref::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(f.typenum)));
    if (!want) throw_error_already_set();
    auto *want_descr = reinterpret_cast<PyArray_Descr *>(want.get());
    if (PyArray_TYPE(a) != f.typenum || !PyArray_EquivTypes(PyArray_DESCR(a), want_descr))
        throw PyError(src.type_error(), where + "expected dtype " + dtype_text(want_descr) + ", got " +
                                            dtype_text(PyArray_DESCR(a)));
    const unsigned per = f.per_record == kPerColumn ? width : f.per_record ? f.per_record : static_cast<unsigned>(words);
    const int ndim = f.per_record == 1 ? 1 : 2;
    if (rows < 0 && PyArray_NDIM(a) >= 1) rows = PyArray_DIM(a, 0);
    bool ok = PyArray_NDIM(a) == ndim && PyArray_DIM(a, 0) == rows;
    if (ok && ndim == 2) ok = PyArray_DIM(a, 1) == static_cast<npy_intp>(per);
    if (!ok) {
        std::string got = "(";
        for (int i = 0; i < PyArray_NDIM(a); ++i) got += (i ? ", " : "") + std::to_string(PyArray_DIM(a, i));
        got += PyArray_NDIM(a) == 1 ? ",)" : ")";
        const std::string expected =
            ndim == 1 ? shape_text({rows < 0 ? 0 : rows}) : shape_text({rows < 0 ? 0 : rows, static_cast<npy_intp>(per)});
        throw PyError(PyExc_ValueError, where + "expected shape " + expected + ", got " + got);
    }
    // A copy only when the array is not one contiguous block; the dtype is exact, so nothing is cast.
    Ref block = check(reinterpret_cast<PyObject *>(PyArray_GETCONTIGUOUS(a)));
    v.resize(static_cast<std::size_t>(rows) * per);
    if (!v.empty())
        std::memcpy(v.data(), PyArray_DATA(reinterpret_cast<PyArrayObject *>(block.get())), v.size() * sizeof(T));
}

/// Records built from width, height and the eleven fields (`get(name)` gives
/// a borrowed array), each checked, then every record checked for consistency.
template <class Get>
Ref records_from_fields(uint64_t width, uint64_t height, Get &&get, Source src, int version = 1) {
    numpy_api("Records.from_arrays()");
    const auto [w, h] = validate_board_dimensions(width, height);
    Records r = Records::make(w, h, version);
    // The record count that most fields agree on; a field with another one is named.
    std::array<npy_intp, kFieldCount> lengths;
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject *o = get(kFields[i].name);
        const bool shaped = PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject *>(o)) >= 1;
        lengths[i] = shaped ? PyArray_DIM(reinterpret_cast<PyArrayObject *>(o), 0) : -1;
    }
    npy_intp rows = -1;
    for (int i = 0, best = 0; i < kFieldCount; ++i) {
        const int votes = static_cast<int>(std::count(lengths.begin(), lengths.end(), lengths[i]));
        if (lengths[i] >= 0 && votes > best) best = votes, rows = lengths[i];
    }
    for (int i = 0; i < kFieldCount; ++i)
        if (lengths[i] >= 0 && lengths[i] != rows)
            throw PyError(PyExc_ValueError, std::string("the fields' lengths disagree: '") + kFields[i].name +
                                                "' has " + std::to_string(lengths[i]) + " records, not " +
                                                std::to_string(rows));
    for_each_field(r, [&](int i, auto &v) {
        read_field(get(field_at(i).name), field_at(i), r.words, r.width, rows, v, src);
    });
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
    static constexpr std::array<const char *, 4 + kFieldCount> names = [] {
        std::array<const char *, 4 + kFieldCount> n{"width", "height"};
        for (int i = 0; i < kFieldCount; ++i) n[2 + i] = kFields[i].name;
        n[2 + kFieldCount] = kSearchFields[0].name;
        n[3 + kFieldCount] = kSearchFields[1].name;
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
            for (std::size_t i = 2; i < names.size(); ++i)
                if (std::strcmp(names[i], name) == 0) return a[i];
            panic("no such field");
        },
        Source{false}, search ? 2 : 1);
}

Ref records_concat(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"records"};
    const auto [seq_arg] = py::bind("Records.concat()", names, args, nargs, kwnames);
    Ref seq = check(PySequence_Fast(seq_arg, "argument 'records': expected a sequence of Records"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n == 0) throw PyError(PyExc_ValueError, "Records.concat() needs at least one Records");
    PyTypeObject *type = require_type(records_type, "Records");
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyObject_TypeCheck(item, type)) throw_argument_not_instance(item, "Records", "records");
        total += reinterpret_cast<PyRecords *>(item)->value.size();
    }
    const Records &first = reinterpret_cast<PyRecords *>(PySequence_Fast_GET_ITEM(seq.get(), 0))->value;
    Records joined = Records::make(first.width, first.height, first.version);
    joined.reserve(total);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Records &r = reinterpret_cast<PyRecords *>(PySequence_Fast_GET_ITEM(seq.get(), i))->value;
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
        if (PyDict_Size(out) != 5)
            throw PyError(PyExc_ValueError, "argument 'out': expected a dict of the five arrays "
                                            "'states', 'policies', 'values', 'opponent_policies', "
                                            "'opponent_policy_masks'");
    }
    const auto result = [&](int k, std::initializer_list<npy_intp> shape) {
        PyObject *given = nullptr;
        std::string name = "out";
        if (out) {
            given = PyDict_GetItemString(out, kExpandNames[k]);
            name += std::string("['") + kExpandNames[k] + "']";
            if (!given) throw PyError(PyExc_ValueError, "argument 'out': the array '" + std::string(kExpandNames[k]) + "' is missing");
        }
        return result_array(given, name.c_str(), NPY_FLOAT32, shape);
    };
    Ref states = result(0, {rows, static_cast<npy_intp>(kSpatialInputPlanes), h, w});
    Ref policies = result(1, {rows, w});
    Ref values = result(2, {rows});
    Ref opponent = result(3, {rows, w});
    Ref masks = result(4, {rows});

    // A search's records also give the search's values (a new array).
    Ref root_values = r.version >= 2 ? new_array(NPY_FLOAT32, {rows}) : Ref();
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
/// keeping the original as the cause; an interrupt, a missing or unreadable
/// file (OSError, other than a damaged archive) passes unchanged.
[[noreturn]] void throw_unreadable(const char *prefix) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_OSError))
        throw_error_already_set();
    Ref old = Ref::steal(take_raised_exception());
    Ref message = check(PyUnicode_FromFormat("%s: %S", prefix, old.get()));
    Ref error = check(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    PyException_SetCause(error.get(), old.release());  // steals
    set_raised_exception(error.release());
    throw_error_already_set();
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

/// Records from the fields of a file or pickle: a mapping of names to arrays,
/// with the format version, width and height checked first.
Ref records_from_mapping(uint64_t version, uint64_t width, uint64_t height, PyObject *mapping) {
    if (version < static_cast<uint64_t>(kRecordsFormat) || version > static_cast<uint64_t>(kRecordsFormatNewest))
        throw PyError(PyExc_ValueError, "records format version " + std::to_string(version) +
                                            " is not supported (this module reads versions " +
                                            std::to_string(kRecordsFormat) + " to " +
                                            std::to_string(kRecordsFormatNewest) + ")");
    if (!dimension_ok(static_cast<unsigned>(std::min<uint64_t>(width, 1000))) ||
        !dimension_ok(static_cast<unsigned>(std::min<uint64_t>(height, 1000))))
        throw PyError(PyExc_ValueError, "the records' board size " + std::to_string(width) + "x" +
                                            std::to_string(height) + " is outside 4..32");
    return records_from_fields(
        width, height,
        [&](const char *name) {
            PyObject *v = PyDict_GetItemString(mapping, name);
            if (!v) throw PyError(PyExc_ValueError, std::string("the records' '") + name + "' array is missing");
            return v;
        },
        Source{true}, static_cast<int>(version));
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
    // Closed on every exit; a failure to close is of no interest once the data is read.
    struct Close {
        PyObject *f;
        ~Close() {
            PyObject *exc = take_raised_exception();
            Ref done = Ref::steal(PyObject_CallMethod(f, "close", nullptr));
            if (!done) PyErr_Clear();
            if (exc) set_raised_exception(exc);
        }
    };
    Ref files = Ref::steal(PyObject_GetAttrString(file.get(), "files"));
    if (!files) {
        // A single .npy array, not an archive.
        PyErr_Clear();
        throw PyError(PyExc_ValueError, "not a records file: an .npz archive of named arrays was expected");
    }
    Close closer{file.get()};
    // Every array is read (and so decompressed and checked by NumPy) before any is used.
    Ref fields = check(PyDict_New());
    Ref names_seq = check(PySequence_Fast(files.get(), "files is not a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names_seq.get()); ++i) {
        PyObject *key = PySequence_Fast_GET_ITEM(names_seq.get(), i);
        Ref v = Ref::steal(PyObject_GetItem(file.get(), key));
        if (!v) throw_unreadable("a damaged records file");
        if (PyDict_SetItem(fields.get(), key, v.get()) < 0) throw_error_already_set();
    }
    const auto number = [&](const char *key) {
        PyObject *v = PyDict_GetItemString(fields.get(), key);
        if (!v) throw PyError(PyExc_ValueError, std::string("not a records file: no '") + key + "' array");
        return file_number(v, key);
    };
    const uint64_t version = number("format_version"), width = number("width"), height = number("height");
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t pos = 0; PyDict_Next(fields.get(), &pos, &key, &value);) {
        bool known = PyUnicode_CompareWithASCIIString(key, "format_version") == 0 ||
                     PyUnicode_CompareWithASCIIString(key, "width") == 0 ||
                     PyUnicode_CompareWithASCIIString(key, "height") == 0;
        for (const Field &f : kFields) known = known || PyUnicode_CompareWithASCIIString(key, f.name) == 0;
        if (version >= 2)
            for (const Field &f : kSearchFields) known = known || PyUnicode_CompareWithASCIIString(key, f.name) == 0;
        if (!known) {
            Ref text = check(PyObject_Repr(key));
            throw PyError(PyExc_ValueError, std::string("not a records file: unexpected array ") +
                                                PyUnicode_AsUTF8(text.get()));
        }
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
