// Conversion of Python arguments into the core's plain values. Each converter returns false
// with a Python exception set on failure; a TypeError raised while converting is re-raised as
// "argument '{name}': {message}", every other exception (the OverflowError of a negative
// integer, a UnicodeEncodeError) passes through unchanged.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "util/eigen.h"
#include "util/xview.h"

namespace vorel::py {

// A read-only borrow of a caller's 2-D float64 NumPy array, released on destruction. The data
// is read in place through its strides (any order, negative strides included); only an array
// whose strides are not whole, aligned elements (a view into a packed record) is copied.
class MatrixBorrow {
 public:
  MatrixBorrow() = default;
  MatrixBorrow(const MatrixBorrow&) = delete;
  MatrixBorrow& operator=(const MatrixBorrow&) = delete;
  ~MatrixBorrow();

  const XView& view() const { return view_; }

 private:
  friend bool borrow_matrix(PyObject* obj, const char* name, MatrixBorrow& out);
  Py_buffer buffer_{};
  bool held_ = false;
  Mat repacked_;
  XView view_;
};

// x-like arguments: a numpy.ndarray of dtype float64 with exactly 2 dimensions.
bool borrow_matrix(PyObject* obj, const char* name, MatrixBorrow& out);

// y-like arguments: a 1-D float64 numpy.ndarray, copied into out.
bool copy_vector(PyObject* obj, const char* name, Vec& out);

// A str argument; out views the object's UTF-8 form and lives as long as obj.
bool convert_str(PyObject* obj, const char* name, std::string_view& out);

// An integer through the index protocol, as unsigned 64 bits.
bool convert_u64(PyObject* obj, const char* name, u64& out);

// A real through the float protocol (which falls back to the index protocol; str is refused).
bool convert_real(PyObject* obj, const char* name, double& out);

// As above, with None meaning absent.
bool convert_optional_real(PyObject* obj, const char* name, std::optional<double>& out);
bool convert_optional_u64(PyObject* obj, const char* name, std::optional<u64>& out);

// The bare index-protocol conversion, without any prefixing of the interpreter's error.
bool index_as_u64(PyObject* obj, u64& out);

// Name of obj's type, for messages.
std::string type_name(PyObject* obj);

}  // namespace vorel::py
