// NumPy's C API, imported from its capsule on first use, and the checks and
// allocation of result arrays that every NumPy entry shares.
#include "numpy_util.h"

#include <new>
#include <string>

extern "C" {
// The header's macros read these two: the C-API table and the running NumPy's
// feature version. Written only by import_numpy, under numpy_api's lock, and
// read only after numpy_api has published the import.
void **PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;
}

namespace gravline::py {
namespace {

// Published by Lazy once the import succeeded; afterwards every thread only
// reads it (the descriptors are never changed), so no lock is needed.
Lazy<NumpyApi> numpy;

/// Replaces the pending exception with an ImportError that says NumPy is
/// needed, keeping the original as its cause. An interrupt or exit request
/// passes unchanged.
NumpyApi *import_failed(const char *user) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref old = Ref::steal(take_raised_exception());
    Ref message = Ref::steal(
        PyUnicode_FromFormat("%s needs NumPy, which could not be loaded: %S", user, old.get()));
    if (!message) return nullptr;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_ImportError, message.get()));
    if (!error) return nullptr;
    PyException_SetCause(error.get(), old.release());  // steals
    set_raised_exception(error.release());
    return nullptr;
}

/// What NumPy's own import_array does, with the module name of NumPy 2 tried
/// first and that of NumPy 1 second: fetch the table from the capsule, check
/// the ABI, feature version and byte order, and record the feature version.
/// Returns nullptr with an ImportError set on failure; a later call retries.
NumpyApi *import_numpy(const char *user) {
    Ref multiarray = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (!multiarray && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        multiarray = Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
    }
    if (!multiarray) return import_failed(user);
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return import_failed(user);
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
        return import_failed(user);
    }
    void **table = static_cast<void **>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return import_failed(user);
    PyArray_API = table;

    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyErr_Format(PyExc_RuntimeError, "built for NumPy ABI version 0x%x, but NumPy has 0x%x",
                     static_cast<unsigned>(NPY_VERSION), PyArray_GetNDArrayCVersion());
        return import_failed(user);
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "built for NumPy C-API version 0x%x (NumPy " NPY_FEATURE_VERSION_STRING
                     ") or newer, but NumPy has 0x%x",
                     static_cast<unsigned>(NPY_FEATURE_VERSION), PyArray_RUNTIME_VERSION);
        return import_failed(user);
    }
#if NPY_BYTE_ORDER == NPY_LITTLE_ENDIAN
    constexpr int kByteOrder = NPY_CPU_LITTLE;
#else
    constexpr int kByteOrder = NPY_CPU_BIG;
#endif
    if (PyArray_GetEndianness() != kByteOrder) {
        PyErr_SetString(PyExc_RuntimeError, "NumPy's byte order differs from the one built for");
        return import_failed(user);
    }

    PyArray_Descr *float32 = PyArray_DescrFromType(NPY_FLOAT32);
    if (!float32) return import_failed(user);
    PyArray_Descr *boolean = PyArray_DescrFromType(NPY_BOOL);
    if (!boolean) {
        Py_DECREF(float32);
        return import_failed(user);
    }
    auto *api = new (std::nothrow) NumpyApi{float32, boolean};
    if (!api) {
        Py_DECREF(float32);
        Py_DECREF(boolean);
        PyErr_NoMemory();
    }
    return api;
}

std::string dtype_name(PyArray_Descr *d) {
    Ref s = check(PyObject_Str(reinterpret_cast<PyObject *>(d)));
    const char *p = PyUnicode_AsUTF8(s.get());
    if (!p) throw_error_already_set();
    return p;
}

[[noreturn]] void refuse(PyObject *type, const char *name, const std::string &what) {
    throw PyError(type, std::string("argument '") + name + "': " + what);
}

}  // namespace

const NumpyApi &numpy_api(const char *user) {
    const NumpyApi *np = numpy.get([user] { return import_numpy(user); });
    if (!np) throw_error_already_set();
    return *np;
}

std::string shape_text(std::initializer_list<npy_intp> shape) {
    std::string s = "(";
    for (npy_intp n : shape) {
        if (s.size() > 1) s += ", ";
        s += std::to_string(n);
    }
    return s + (shape.size() == 1 ? ",)" : ")");
}

PyArrayObject *out_array(PyObject *out, const char *name, int typenum,
                         std::initializer_list<npy_intp> shape) {
    if (!PyArray_Check(out)) throw_argument_not_instance(out, "ndarray", name);
    auto *a = reinterpret_cast<PyArrayObject *>(out);
    Ref want = Ref::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(typenum)));
    if (!want) throw_error_already_set();
    auto *want_descr = reinterpret_cast<PyArray_Descr *>(want.get());
    // The type number alone would let a byte-swapped float32 through.
    if (PyArray_TYPE(a) != typenum || !PyArray_EquivTypes(PyArray_DESCR(a), want_descr))
        refuse(PyExc_TypeError, name,
               "expected dtype " + dtype_name(want_descr) + ", got " + dtype_name(PyArray_DESCR(a)));
    bool same = PyArray_NDIM(a) == static_cast<int>(shape.size());
    for (int i = 0; same && i < PyArray_NDIM(a); ++i) same = PyArray_DIM(a, i) == shape.begin()[i];
    if (!same) {
        std::string got = "(";
        for (int i = 0; i < PyArray_NDIM(a); ++i)
            got += (i ? ", " : "") + std::to_string(PyArray_DIM(a, i));
        got += PyArray_NDIM(a) == 1 ? ",)" : ")";
        refuse(PyExc_ValueError, name, "expected shape " + shape_text(shape) + ", got " + got);
    }
    if (!PyArray_IS_C_CONTIGUOUS(a)) refuse(PyExc_ValueError, name, "expected a C-contiguous array");
    if (!PyArray_ISALIGNED(a)) refuse(PyExc_ValueError, name, "expected an aligned array");
    if (!PyArray_ISWRITEABLE(a)) refuse(PyExc_ValueError, name, "expected a writeable array");
    return a;
}

Ref new_array(int typenum, std::initializer_list<npy_intp> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int n = 0;
    for (npy_intp d : shape) dims[n++] = d;
    return check(PyArray_SimpleNew(n, dims, typenum));
}

Ref result_array(PyObject *out, const char *name, int typenum, std::initializer_list<npy_intp> shape) {
    if (!out || out == Py_None) return new_array(typenum, shape);
    out_array(out, name, typenum, shape);
    return Ref::borrow(out);
}

}  // namespace gravline::py
