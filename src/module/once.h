// Process-wide values made once, with the interpreter lock in mind.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace ovilex::py {

// Holds one value made by the first get(). A thread that must wait for
// another to finish making it gives up the interpreter lock while it waits
// (the maker may itself need the lock); the maker runs with the lock held.
// A maker that throws leaves the cell empty for a later get() to retry.
//
// The cells are process-wide statics: a Python reference kept in one is never
// released, since static destructors may run after the interpreter is gone.
template <class T>
class GilOnce {
 public:
  template <class Make>
  T get(Make&& make) {
    if (ready_.load(std::memory_order_acquire)) return value_;
    PyThreadState* saved = PyEval_SaveThread();
    bool has_lock = false;
    try {
      std::call_once(flag_, [&] {
        PyEval_RestoreThread(saved);
        has_lock = true;
        value_ = make();
        ready_.store(true, std::memory_order_release);
      });
    } catch (...) {
      if (!has_lock) PyEval_RestoreThread(saved);
      throw;
    }
    if (!has_lock) PyEval_RestoreThread(saved);
    return value_;
  }

  // The value if it has been made, else |none|; never makes it.
  T peek(T none) const noexcept {
    return ready_.load(std::memory_order_acquire) ? value_ : none;
  }

 private:
  std::once_flag flag_;
  std::atomic<bool> ready_{false};
  T value_{};
};

}  // namespace ovilex::py
