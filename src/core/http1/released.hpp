// Objects a state operation lets go of while it holds its lock. The caller declares one before
// the operation, so the objects are destroyed (for Python objects: their references dropped)
// only after the lock has been released.
#pragma once

#include <cstddef>
#include <utility>

namespace velmora::http1 {

template <class Obj, size_t N = 8>
class Released {
 public:
  void add(Obj&& o) {
    if (!o) return;
    // Every operation drops a bounded number of objects; N covers the largest.
    items_[n_++] = std::move(o);
  }
  size_t size() const { return n_; }

 private:
  Obj items_[N];
  size_t n_ = 0;
};

}  // namespace velmora::http1
