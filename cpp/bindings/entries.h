// The module-level functions, as plain method definitions: their documentation strings open
// with the interpreter's text-signature convention, so `inspect.signature` reads them.
#pragma once

#include <Python.h>

namespace vorel::py {

PyMethodDef fit_method_def();
PyMethodDef fit_additive_method_def();

}  // namespace vorel::py
