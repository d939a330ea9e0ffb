// A four-byte, non-recursive mutex for the per-object locks of the core.
//
// Every stateful object holds one; critical sections are short, so the lock spins briefly and
// then sleeps on the atomic (a futex on Linux).
#pragma once

#include <atomic>
#include <cstdint>

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

}  // namespace velmora
