// NumPy's C API for both modules: imported from its capsule on first use, so
// importing a module never imports NumPy, plus the checks of an out= array.
#pragma once

#include "mod.h"

#include <initializer_list>

// Every file that includes this header shares one table under a name of our
// own, defined by the headers in numpy_util.cpp alone.
#define PY_ARRAY_UNIQUE_SYMBOL gravline_numpy_api
#ifndef GRAVLINE_NUMPY_DEFINE_TABLE
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers; the oldest C API the code may use is 1.23's,
// so the table of any NumPy from 1.23 on is accepted at run time.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

namespace gravline::py {

struct NumpyApi {
    PyArray_Descr *float32;  // NumPy's own descriptors; one reference each kept for the process
    PyArray_Descr *boolean;
};

/// The imported API, importing it on the first call; a failure raises the
/// ImportError "{user} needs NumPy, which could not be loaded: ..." and a later
/// call tries again.
const NumpyApi &numpy_api(const char *user);

/// `out` checked as a result buffer: an ndarray of exactly `typenum` (native
/// byte order) and `shape`, C-contiguous and writeable. Nothing is cast: a
/// non-array or another dtype raises TypeError, a wrong shape or layout
/// ValueError, each naming `name` and what was expected.
PyArrayObject *out_array(PyObject *out, const char *name, int typenum,
                         std::initializer_list<npy_intp> shape);

/// Whether two result arrays, each one contiguous block (out_array's check),
/// have a byte in common; empty arrays share nothing.
bool arrays_overlap(PyObject *a, PyObject *b);

/// A new C-contiguous array of `typenum` with its own uninitialised buffer.
Ref new_array(int typenum, std::initializer_list<npy_intp> shape);

/// The result array: `out` after out_array's checks (a new reference), or a
/// new array when `out` is null or None.
Ref result_array(PyObject *out, const char *name, int typenum, std::initializer_list<npy_intp> shape);

/// "(3, 17, 6, 7)": a shape as NumPy prints it.
std::string shape_text(std::initializer_list<npy_intp> shape);

inline void *array_data(const Ref &a) { return PyArray_DATA(reinterpret_cast<PyArrayObject *>(a.get())); }

}  // namespace gravline::py
