// How core errors and C++ exceptions become Python exceptions. Every function and method of the
// module runs its body through `guarded`, so no C++ exception ever unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "util/eigen.h"
#include "util/error.h"

namespace vorel::py {

// Creates the module's InternalFailure class (derived directly from BaseException) once and adds
// it to the module. Returns false with a Python error set on failure.
bool init_internal_failure(PyObject* module);

// Sets the Python exception for a core error and returns nullptr: InvalidParameter -> ValueError
// (bare message), Internal -> InternalFailure, NotImplemented -> NotImplementedError, every other
// kind -> RuntimeError with its text form.
PyObject* raise_core_error(const VorelError& error);

// Sets InternalFailure with the given text and returns nullptr.
PyObject* raise_internal(const std::string& text);

// Sets a ValueError / TypeError with the given UTF-8 text and returns nullptr.
PyObject* raise_value_error(const std::string& text);
PyObject* raise_type_error(const std::string& text);

// Runs body() (returning a new reference or nullptr with an error set) and turns any C++
// exception into a Python one: a broken invariant into InternalFailure, exhausted memory into
// MemoryError.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const InternalFault& e) {
    return raise_internal(e.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal(std::string("unexpected C++ exception: ") + e.what());
  } catch (...) {
    return raise_internal("unexpected C++ exception of unknown type");
  }
}

}  // namespace vorel::py
