// The few NumPy objects the module needs, reached through Python (no NumPy C API), and the
// construction of fresh float64 result arrays.
#pragma once

#include <Python.h>

#include "util/eigen.h"

namespace vorel::py {

// Borrowed reference to numpy.ndarray (imported on first use), or nullptr with an error set.
PyObject* numpy_ndarray_type();

// New C-contiguous float64 arrays holding copies of the values (nullptr with an error set).
PyObject* vector_to_numpy(const Vec& v);
PyObject* matrix_to_numpy(const Mat& m);

}  // namespace vorel::py
