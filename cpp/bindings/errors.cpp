#include "bindings/errors.h"

namespace vorel::py {

namespace {

PyObject* g_internal_failure = nullptr;  // created once, lives for the process

constexpr const char* kInternalFailureDoc =
    "Signals a failure inside the vorel extension: the native core met a state it treats as\n"
    "impossible (an index outside an array, a decomposition assumed not to fail, a record\n"
    "lacking a required element). No ordinary input is meant to reach it.\n"
    "\n"
    "It derives directly from BaseException, not Exception, so ordinary `except Exception`\n"
    "handlers do not swallow it; like SystemExit it normally propagates to the top of the\n"
    "program. Please report it together with the input that triggered it.";

PyObject* set_utf8(PyObject* type, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
  return nullptr;
}

}  // namespace

bool init_internal_failure(PyObject* module) {
  if (g_internal_failure == nullptr) {
    g_internal_failure = PyErr_NewExceptionWithDoc("vorel._vorel_native.InternalFailure",
                                                   kInternalFailureDoc, PyExc_BaseException,
                                                   nullptr);
    if (g_internal_failure == nullptr) return false;
  }
  Py_INCREF(g_internal_failure);
  if (PyModule_AddObject(module, "InternalFailure", g_internal_failure) < 0) {
    Py_DECREF(g_internal_failure);
    return false;
  }
  return true;
}

PyObject* raise_internal(const std::string& text) {
  return set_utf8(g_internal_failure != nullptr ? g_internal_failure : PyExc_SystemError, text);
}

PyObject* raise_value_error(const std::string& text) { return set_utf8(PyExc_ValueError, text); }

PyObject* raise_type_error(const std::string& text) { return set_utf8(PyExc_TypeError, text); }

PyObject* raise_core_error(const VorelError& error) {
  switch (error.kind) {
    case ErrorKind::InvalidParameter:
      return set_utf8(PyExc_ValueError, error.message);
    case ErrorKind::Internal:
      return raise_internal(error.message);
    case ErrorKind::NotImplemented:
      return set_utf8(PyExc_NotImplementedError, error.message);
    case ErrorKind::SingularSystem:
    case ErrorKind::NotConverged:
    case ErrorKind::Linalg:
      break;
  }
  return set_utf8(PyExc_RuntimeError, to_string(error));
}

}  // namespace vorel::py
