// The Python class FittedGam: an immutable view of one fitted-model record.
#pragma once

#include <Python.h>

#include "fit/record.h"

namespace vorel::py {

// Creates the class once and adds it to the module. False with a Python error set on failure.
bool init_fitted_gam_type(PyObject* module);

// A new FittedGam object owning the record (nullptr with an error set).
PyObject* wrap_fitted_gam(FittedGam&& record);

}  // namespace vorel::py
