#include "bindings/convert.h"

#include <bit>
#include <cstring>
#include <string>

#include "bindings/errors.h"
#include "bindings/numpy.h"

namespace vorel::py {

namespace {

// Re-raises a pending TypeError as "argument '{name}': {message}"; other errors are untouched.
bool prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_XDECREF(type);
  Py_XDECREF(trace);
  Py_XDECREF(value);
  if (text == nullptr) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  return false;
}

std::string describe_array(PyObject* obj) {
  std::string dtype = "?";
  if (PyObject* d = PyObject_GetAttrString(obj, "dtype")) {
    if (PyObject* s = PyObject_Str(d)) {
      if (const char* u = PyUnicode_AsUTF8(s)) dtype = u;
      Py_DECREF(s);
    }
    Py_DECREF(d);
  }
  PyErr_Clear();
  long ndim = -1;
  if (PyObject* n = PyObject_GetAttrString(obj, "ndim")) {
    ndim = PyLong_AsLong(n);
    Py_DECREF(n);
  }
  PyErr_Clear();
  return "an array of dtype " + dtype + " with " + std::to_string(ndim) + " dimension" +
         (ndim == 1 ? "" : "s");
}

bool refuse_array(PyObject* obj, const char* name, int ndim, bool is_array) {
  const std::string got = is_array ? describe_array(obj) : type_name(obj);
  const std::string text = "argument '" + std::string(name) +
                           "': expected a numpy.ndarray of dtype float64 with " +
                           std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s") +
                           ", got " + got;
  raise_type_error(text);
  return false;
}

// Native-order binary64 only: a byte-swapped or any other dtype is refused, never converted.
bool is_native_float64(const Py_buffer& b) {
  static_assert(std::endian::native == std::endian::little);
  if (b.itemsize != 8 || b.format == nullptr) return false;
  std::string_view f(b.format);
  if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == '<')) f.remove_prefix(1);
  return f == "d";
}

// Gets a strided read-only buffer of a float64 ndarray with the given number of dimensions.
bool get_float64_buffer(PyObject* obj, const char* name, int ndim, Py_buffer& out) {
  PyObject* ndarray = numpy_ndarray_type();
  if (ndarray == nullptr) return false;
  const int is_array = PyObject_IsInstance(obj, ndarray);
  if (is_array < 0) return false;
  if (is_array == 0) return refuse_array(obj, name, ndim, false);
  if (PyObject_GetBuffer(obj, &out, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // dtypes without a buffer form (object, datetime, ...) are a type mismatch
    return refuse_array(obj, name, ndim, true);
  }
  if (out.ndim != ndim || !is_native_float64(out)) {
    PyBuffer_Release(&out);
    return refuse_array(obj, name, ndim, true);
  }
  return true;
}

double read_double(const char* base, Py_ssize_t offset) {
  double v;
  std::memcpy(&v, base + offset, sizeof v);
  return v;
}

}  // namespace

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

MatrixBorrow::~MatrixBorrow() {
  if (held_) PyBuffer_Release(&buffer_);
}

bool borrow_matrix(PyObject* obj, const char* name, MatrixBorrow& out) {
  if (!get_float64_buffer(obj, name, 2, out.buffer_)) return false;
  out.held_ = true;
  const Py_buffer& b = out.buffer_;
  const auto rows = static_cast<std::size_t>(b.shape[0]);
  const auto cols = static_cast<std::size_t>(b.shape[1]);
  const Py_ssize_t s0 = b.strides[0], s1 = b.strides[1];
  const bool aligned = reinterpret_cast<std::uintptr_t>(b.buf) % alignof(double) == 0 &&
                       s0 % 8 == 0 && s1 % 8 == 0;
  if (aligned) {
    out.view_ = XView{static_cast<const double*>(b.buf), rows, cols,
                      static_cast<std::ptrdiff_t>(s0 / 8), static_cast<std::ptrdiff_t>(s1 / 8)};
    return true;
  }
  const char* base = static_cast<const char*>(b.buf);
  out.repacked_.resize(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
  for (std::size_t j = 0; j < cols; ++j)
    for (std::size_t i = 0; i < rows; ++i)
      out.repacked_(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) =
          read_double(base, static_cast<Py_ssize_t>(i) * s0 + static_cast<Py_ssize_t>(j) * s1);
  out.view_ = XView::of(out.repacked_);
  return true;
}

bool copy_vector(PyObject* obj, const char* name, Vec& out) {
  Py_buffer b{};
  if (!get_float64_buffer(obj, name, 1, b)) return false;
  const Py_ssize_t n = b.shape[0], s = b.strides[0];
  const char* base = static_cast<const char*>(b.buf);
  try {
    out.resize(static_cast<Eigen::Index>(n));
  } catch (...) {
    PyBuffer_Release(&b);
    throw;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<Eigen::Index>(i)] = read_double(base, i * s);
  PyBuffer_Release(&b);
  return true;
}

bool convert_str(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_type_error("argument '" + std::string(name) + "': expected str, got " + type_name(obj));
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return prefix_type_error(name);
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool index_as_u64(PyObject* obj, u64& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<u64>(v);
  return true;
}

bool convert_u64(PyObject* obj, const char* name, u64& out) {
  if (!index_as_u64(obj, out)) return prefix_type_error(name);
  return true;
}

bool convert_real(PyObject* obj, const char* name, double& out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    raise_type_error("argument '" + std::string(name) + "': must be real number, not " +
                     type_name(obj));
    return false;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return prefix_type_error(name);
  out = v;
  return true;
}

bool convert_optional_real(PyObject* obj, const char* name, std::optional<double>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  double v = 0.0;
  if (!convert_real(obj, name, v)) return false;
  out = v;
  return true;
}

bool convert_optional_u64(PyObject* obj, const char* name, std::optional<u64>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  u64 v = 0;
  if (!convert_u64(obj, name, v)) return false;
  out = v;
  return true;
}

}  // namespace vorel::py
