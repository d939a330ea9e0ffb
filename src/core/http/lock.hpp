// The one locking idiom of the system: a value and its mutex, reachable only through `with`.
//
// Every stateful object is a `Locked<T>` around a core value that has no lock of its own; each
// operation runs as one `with` call, so the lock is held for the whole of it and released on
// every path. The mutex is four bytes and non-recursive; critical sections are short, so it
// spins briefly and then sleeps on the atomic (a futex on Linux). The one object with a second
// lock is the HTTP/2 connection (http2/connection.hpp): its frame decoder has a mutex of its own,
// so decoding a batch of received bytes never waits for the stream state; the state mutex may
// be held while the decoder's is taken, never the other way round.
//
// This header is plain C++ (the core's HTTP/1 server state takes its codec's and body
// decoder's locks through it); the Python objects of the module layer embed one Locked<T> each
// (python/object.hpp). Nothing that can run Python code may happen inside `with`: no object the
// cyclic collector tracks is allocated there (an allocation may start a collection, whose
// finalizers may call back into the locked object), no exception is raised, no reference to a
// caller's object is dropped, no argument is converted. Arguments are converted before it;
// results and exceptions are built after it returns, and dropped objects are released then.
// The only objects made inside are untracked leaves (bytes, str, HeaderMap, frame objects),
// where that saves a copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace velmora {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() noexcept {
    uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
    lock_slow();
  }

  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  void lock_slow() noexcept {
    for (int spin = 0; spin < 64; ++spin) {
      uint32_t expected = 0;
      if (state_.load(std::memory_order_relaxed) == 0 &&
          state_.compare_exchange_weak(expected, 1, std::memory_order_acquire))
        return;
    }
    // 2 marks "locked, maybe with sleepers": the unlocker then wakes one.
    while (state_.exchange(2, std::memory_order_acquire) != 0)
      state_.wait(2);
  }

  std::atomic<uint32_t> state_{0};
};

class LockGuard {
 public:
  explicit LockGuard(Mutex& m) noexcept : m_(m) { m_.lock(); }
  ~LockGuard() { m_.unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Mutex& m_;
};

// Locks two mutexes of objects of the same class in address order; `a == b` takes one lock.
class PairGuard {
 public:
  PairGuard(Mutex& a, Mutex& b) noexcept : first_(&a < &b ? a : b), second_(&a < &b ? b : a) {
    first_.lock();
    if (&second_ != &first_) second_.lock();
  }
  ~PairGuard() {
    if (&second_ != &first_) second_.unlock();
    first_.unlock();
  }
  PairGuard(const PairGuard&) = delete;
  PairGuard& operator=(const PairGuard&) = delete;

 private:
  Mutex& first_;
  Mutex& second_;
};

template <class T>
class Locked {
 public:
  template <class... Args>
  explicit Locked(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // Runs `f(value)` with the lock held and returns its result by value.
  template <class F>
  auto with(F&& f) {
    LockGuard g(mutex_);
    return std::forward<F>(f)(value_);
  }

  // Runs `f(a, b)` with both locks held, taken in address order; `a` and `b` may be the same.
  template <class F>
  friend auto with_both(Locked& a, Locked& b, F&& f) {
    PairGuard g(a.mutex_, b.mutex_);
    return std::forward<F>(f)(a.value_, b.value_);
  }

  // The value without the lock: only where no operation can run concurrently (the garbage
  // collector's traversal, which runs with the interpreter lock that every operation keeps).
  T& unguarded() { return value_; }
  const T& unguarded() const { return value_; }

 private:
  Mutex mutex_;
  T value_;
};

}  // namespace velmora
