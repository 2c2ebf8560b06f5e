// NumPy's C API, imported on first use, and the checks and
// allocation of result arrays that every NumPy entry shares.
// The one file that defines the table; every other includes the header as a user.
#define GRAVLINE_NUMPY_DEFINE_TABLE
#include "numpy_util.h"
#include <numpy/npy_2_compat.h>

#include <new>
#include <string>

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

/// Imports NumPy's C API with NumPy's own helper, which finds the table under
/// the module name of NumPy 2 or of NumPy 1 and checks its ABI, feature version
/// and byte order. Returns nullptr with an ImportError set on failure; a later
/// call retries. The table and version it writes are written only here, under
/// numpy's lock, and read only after numpy has published the import.
NumpyApi *import_numpy(const char *user) {
    // NumPy itself first: a failure to import it (NumPy missing, or broken) is
    // the error that the ImportError wraps. NumPy's helper would print it and
    // put a text of its own in its place.
    if (!Ref::steal(PyImport_ImportModule("numpy"))) return import_failed(user);
    if (PyArray_ImportNumPyAPI() < 0) {
        // A table that failed the version checks stays set; forget it, so
        // that the next call checks again instead of taking it.
        PyArray_API = nullptr;
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
    // Held for the call: a structured dtype's text is made by Python code,
    // which may give the array another dtype and so drop this one.
    Ref held = Ref::borrow(reinterpret_cast<PyObject *>(d));
    Ref s = check(PyObject_Str(held.get()));
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

bool arrays_overlap(PyObject *a, PyObject *b) {
    auto *x = reinterpret_cast<PyArrayObject *>(a), *y = reinterpret_cast<PyArrayObject *>(b);
    const npy_intp nx = PyArray_NBYTES(x), ny = PyArray_NBYTES(y);
    if (nx == 0 || ny == 0) return false;
    const auto lo_x = reinterpret_cast<uintptr_t>(PyArray_BYTES(x)), lo_y = reinterpret_cast<uintptr_t>(PyArray_BYTES(y));
    return lo_x < lo_y + static_cast<uintptr_t>(ny) && lo_y < lo_x + static_cast<uintptr_t>(nx);
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
