// Turning native failures into Python exceptions: the one place that does.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "py_ref.h"
#include "tokenizer/types.h"

namespace ovilex::py {

// Sets the Python exception for a typed error value and throws PythonError.
[[noreturn]] void throw_error(const Error& error);

// Sets |type| with the message that PyErr_Format makes of |format| and the
// arguments, and throws PythonError.
[[noreturn]] void throw_format(PyObject* type, const char* format, ...);

// Sets the internal-error exception (ext_runtime.PanicException, created on
// first use) carrying |message|.
void set_panic(const char* message);

// Sets MemoryError, or aborts the process if a failure happens while a
// failure is being translated (a failure within a failure never reaches
// Python).
void set_translation_failure_or_abort() noexcept;

// Runs |body| for a function that CPython calls: no C++ exception crosses
// the C frame. Returns the body's new reference, or null with an exception
// set: the body's own, a PanicException for an internal error, MemoryError
// when memory ran out (the call ends; the module stays usable).
template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  try {
    try {
      PyRef result = body();
      return result.release();
    } catch (const PythonError&) {
      return nullptr;
    } catch (const InternalError& e) {
      set_panic(e.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {
      // A size beyond what can be allocated at all.
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      set_panic(e.what());
    } catch (...) {
      set_panic(nullptr);
    }
  } catch (...) {
    set_translation_failure_or_abort();
  }
  return nullptr;
}

}  // namespace ovilex::py
