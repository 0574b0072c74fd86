#include "bindings/numpy.h"

#include <cstring>

namespace vorel::py {

namespace {

PyObject* g_ndarray = nullptr;  // numpy.ndarray
PyObject* g_empty = nullptr;    // numpy.empty

bool load_numpy() {
  if (g_ndarray != nullptr) return true;
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return false;
  PyObject* ndarray = PyObject_GetAttrString(numpy, "ndarray");
  PyObject* empty = ndarray != nullptr ? PyObject_GetAttrString(numpy, "empty") : nullptr;
  Py_DECREF(numpy);
  if (empty == nullptr) {
    Py_XDECREF(ndarray);
    return false;
  }
  g_ndarray = ndarray;
  g_empty = empty;
  return true;
}

// numpy.empty(shape) (float64 by default), filled by fill(double* row_major_out).
template <class Fill>
PyObject* new_float64_array(PyObject* shape, Fill&& fill) {
  if (shape == nullptr || !load_numpy()) {
    Py_XDECREF(shape);
    return nullptr;
  }
  PyObject* arr = PyObject_CallOneArg(g_empty, shape);
  Py_DECREF(shape);
  if (arr == nullptr) return nullptr;
  Py_buffer b;
  if (PyObject_GetBuffer(arr, &b, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0) {
    Py_DECREF(arr);
    return nullptr;
  }
  fill(static_cast<double*>(b.buf));
  PyBuffer_Release(&b);
  return arr;
}

}  // namespace

PyObject* numpy_ndarray_type() {
  if (!load_numpy()) return nullptr;
  return g_ndarray;
}

PyObject* vector_to_numpy(const Vec& v) {
  return new_float64_array(Py_BuildValue("(n)", static_cast<Py_ssize_t>(v.size())),
                           [&](double* out) {
                             if (v.size() > 0)
                               std::memcpy(out, v.data(), sizeof(double) * v.size());
                           });
}

PyObject* matrix_to_numpy(const Mat& m) {
  return new_float64_array(
      Py_BuildValue("(nn)", static_cast<Py_ssize_t>(m.rows()), static_cast<Py_ssize_t>(m.cols())),
      [&](double* out) {
        // Stored column-major, returned C-ordered.
        Eigen::Map<RowMat>(out, m.rows(), m.cols()) = m;
      });
}

}  // namespace vorel::py
