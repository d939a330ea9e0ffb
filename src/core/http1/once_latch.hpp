// A one-shot latch for the one of several racing parties (tasks on any thread, finalizers) that
// may act: a single compare-and-exchange on one byte, lock-free, never blocking.
#pragma once

#include <atomic>

namespace velmora::http1 {

class OnceLatch {
 public:
  // True for the one caller that moved the flag from false to true.
  bool try_acquire() noexcept {
    bool expected = false;
    return flag_.compare_exchange_strong(expected, true, std::memory_order_seq_cst);
  }
  bool is_set() const noexcept { return flag_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> flag_{false};
};

static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace velmora::http1
