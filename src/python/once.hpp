// Per-process, create-on-first-need objects (class objects, exception classes, constants).
//
// The creator runs with the interpreter lock held; a thread that finds another thread in the
// middle of creating the object releases the interpreter lock while it waits, so the creator
// can finish even if it lets the lock go.
#pragma once

#include "python/pyref.hpp"

#include <atomic>
#include <thread>

namespace velmora::py {

class ProcessOnce {
 public:
  // Returns a borrowed reference to the object (owned forever), creating it with `make` (which
  // returns a new reference or null with an exception set) on first need.
  template <class Make>
  PyObject* get(Make&& make) {
    for (;;) {
      int s = state_.load(std::memory_order_acquire);
      if (s == kReady) return value_;
      if (s == kEmpty) {
        int expected = kEmpty;
        if (!state_.compare_exchange_strong(expected, kBusy, std::memory_order_acq_rel)) continue;
        PyObject* made = make();
        if (!made) {
          state_.store(kEmpty, std::memory_order_release);
          state_.notify_all();
          return nullptr;
        }
        value_ = made;
        state_.store(kReady, std::memory_order_release);
        state_.notify_all();
        return value_;
      }
      Py_BEGIN_ALLOW_THREADS state_.wait(kBusy, std::memory_order_acquire);
      Py_END_ALLOW_THREADS
    }
  }

 private:
  enum : int { kEmpty, kBusy, kReady };
  std::atomic<int> state_{kEmpty};
  PyObject* value_ = nullptr;
};

}  // namespace velmora::py
