// The owner of one strong reference to a Python object, and the C++ side of
// "a Python exception is set".
#pragma once

#include <Python.h>

#include <utility>

namespace ovilex::py {

// Owns one strong reference; move-only. steal() adopts a new reference,
// borrow() takes one more, release() hands the reference back.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }  // borrowed
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Thrown when a Python exception is set and the call must unwind to its
// entry guard, which returns null to the interpreter with it still set.
struct PythonError {};

// Fetches the pending exception and throws: PythonError with the exception
// set again, or, when it is one of our own internal-error exceptions that
// came back through Python code, a fresh internal error with its message.
[[noreturn]] void throw_pending();

// A new reference from a C-API call, or throw_pending() on null.
inline PyRef check(PyObject* p) {
  if (p == nullptr) throw_pending();
  return PyRef::steal(p);
}

// Sets |type| with a UTF-8 message and throws PythonError.
[[noreturn]] void throw_new(PyObject* type, const char* message);

}  // namespace ovilex::py
