// Python surface of vorel: thin conversion layer over the core. Registers, in this order, the
// FittedGam class, `fit` and `fit_additive`, each appended to __all__; InternalFailure is a
// module attribute outside __all__.
#include <nanobind/nanobind.h>

#include "bindings/entries.h"
#include "bindings/errors.h"
#include "bindings/fitted_gam.h"
#include "util/lapack.h"

namespace nb = nanobind;

namespace {

PyMethodDef g_functions[3];           // fit, fit_additive, sentinel; static storage for CPython
PyInterpreterState* g_owner = nullptr;  // the interpreter that first imported the module

// Adds f as a module-level builtin function and appends its name to __all__.
void add_function(PyObject* module, PyMethodDef* def, PyObject* all) {
  PyObject* name = PyModule_GetNameObject(module);
  if (name == nullptr) throw nb::python_error();
  PyObject* fn = PyCFunction_NewEx(def, module, name);
  Py_DECREF(name);
  if (fn == nullptr || PyModule_AddObject(module, def->ml_name, fn) < 0) {
    Py_XDECREF(fn);
    throw nb::python_error();
  }
  if (PyList_Append(all, nb::str(def->ml_name).ptr()) < 0) throw nb::python_error();
}

}  // namespace

NB_MODULE(_vorel_native, m) {
  // Type and exception objects are process-wide, so a second interpreter cannot share them.
  PyInterpreterState* here = PyInterpreterState_Get();
  if (g_owner != nullptr && g_owner != here) {
    PyErr_SetString(PyExc_ImportError,
                    "vorel._vorel_native cannot be imported into a second interpreter of the "
                    "same process");
    throw nb::python_error();
  }
  g_owner = here;
  vorel::lapack::use_single_thread();

  nb::list all;
  m.attr("__all__") = all;
  if (!vorel::py::init_internal_failure(m.ptr())) throw nb::python_error();
  if (!vorel::py::init_fitted_gam_type(m.ptr())) throw nb::python_error();
  all.append("FittedGam");
  g_functions[0] = vorel::py::fit_method_def();
  g_functions[1] = vorel::py::fit_additive_method_def();
  g_functions[2] = PyMethodDef{nullptr, nullptr, 0, nullptr};
  add_function(m.ptr(), &g_functions[0], all.ptr());
  add_function(m.ptr(), &g_functions[1], all.ptr());
}
