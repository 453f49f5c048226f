#include "errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "once.h"

namespace ovilex::py {

namespace {

constexpr const char* PANIC_DOC =
    "Raised when the native code of the module fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way up the stack and causes the\n"
    "interpreter to exit.";

constexpr const char* GENERIC_PANIC = "internal error without a message";

GilOnce<PyObject*> panic_cell;

PyObject* panic_type() {
  return panic_cell.get([] {
    PyObject* type = PyErr_NewExceptionWithDoc("ext_runtime.PanicException", PANIC_DOC,
                                               PyExc_BaseException, nullptr);
    if (type == nullptr) Py_FatalError("Failed to initialize new exception type.");
    return type;
  });
}

// str(exc) as UTF-8, or nullopt-like empty with ok=false.
bool str_utf8(PyObject* obj, std::string& out) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

void throw_pending() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) throw_new(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyObject* panic = panic_cell.peek(nullptr);
  if (panic != nullptr && PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic))) {
    // One of our internal errors travelled through Python code (a caller's
    // __index__, say) and is back: it stays an internal error.
    std::fputs("ovilex: resuming an internal error that came back from Python:\n", stderr);
    PyErr_DisplayException(exc.get());
    std::string message;
    if (!str_utf8(exc.get(), message)) {
      PyErr_Clear();
      message = "internal error whose message could not be read";
    }
    exc = PyRef();
    fail_internal(message);
  }
  PyErr_SetRaisedException(exc.release());
  throw PythonError{};
}

void throw_new(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void throw_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError{};
}

void throw_error(const Error& error) {
  PyObject* type = nullptr;
  switch (error.kind) {
    case ErrorKind::Io: type = PyExc_IOError; break;
    case ErrorKind::UnknownTokenId: type = PyExc_KeyError; break;
    case ErrorKind::InvalidUtf8: type = PyExc_ValueError; break;
    // The package's module raises its own classes for these before they
    // get here; as plain values they are bad input.
    case ErrorKind::Record: type = PyExc_ValueError; break;
    case ErrorKind::Source: type = PyExc_ValueError; break;
    case ErrorKind::CountFile: type = PyExc_ValueError; break;
  }
  // The message is the only argument (so KeyError shows it quoted).
  PyRef message = check(PyUnicode_DecodeUTF8(error.message.data(),
                                             static_cast<Py_ssize_t>(error.message.size()),
                                             "replace"));
  PyErr_SetObject(type, message.get());
  throw PythonError{};
}

void set_panic(const char* message) {
  const std::string text = message != nullptr && *message != '\0' ? message : GENERIC_PANIC;
  PyObject* type = panic_type();
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return;  // MemoryError (or the decoder's error) stays set
  PyErr_SetObject(type, value.get());
}

void set_translation_failure_or_abort() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    Py_FatalError("ovilex: a failure occurred while a failure was being translated");
  }
}

}  // namespace ovilex::py
