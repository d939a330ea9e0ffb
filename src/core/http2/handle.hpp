// An opaque, owning handle to an object of the binding layer (for Python: one strong reference
// to a stream handle, a task handle or an exception). The core stores handles and hands them
// back; it never looks inside.
//
// How a reference is added or dropped is installed once per process (`Handle::install`): the
// Python binding installs Py_IncRef/Py_DecRef, a fuzz target or a benchmark installs counters.
// Dropping a Python reference may run arbitrary Python code, so the core never destroys a
// non-empty handle while its lock is held: every handle an operation lets go of is moved into
// the caller's `Released` list, which the caller destroys after the operation has returned (and
// the lock is released). Handles placed in results are new references the caller owns.
#pragma once

#include <utility>
#include <vector>

namespace velmora::http2 {

class Handle {
 public:
  struct Ops {
    void (*retain)(void*) = nullptr;   // adds one reference
    void (*release)(void*) = nullptr;  // drops one reference
  };
  // Installs the reference operations (before the first handle is made; not thread-safe).
  static void install(const Ops& ops) { ops_() = ops; }

  Handle() = default;
  // Takes over one reference to `p` (which may be null: an empty handle).
  static Handle adopt(void* p) noexcept { return Handle(p); }
  // A new reference to the same object (empty when this one is empty).
  Handle share() const noexcept {
    if (p_ && ops_().retain) ops_().retain(p_);
    return Handle(p_);
  }

  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    Handle old(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  ~Handle() {
    if (p_ && ops_().release) ops_().release(p_);
  }

  void* get() const noexcept { return p_; }
  // Gives the reference to the caller (the handle becomes empty).
  void* take() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Handle(void* p) noexcept : p_(p) {}
  static Ops& ops_() {
    static Ops ops;
    return ops;
  }
  void* p_ = nullptr;
};

// Handles an operation let go of while its lock was held. Declare one before calling the core,
// destroy it after the call returns.
class Released {
 public:
  void add(Handle&& h) {
    if (h) items_.push_back(std::move(h));
  }
  size_t size() const { return items_.size(); }
  void clear() { items_.clear(); }

 private:
  std::vector<Handle> items_;
};

}  // namespace velmora::http2
