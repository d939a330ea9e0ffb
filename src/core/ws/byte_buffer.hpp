// A growable byte buffer without zero-filling, for message reassembly and (de)compression.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace velmora::ws {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return cap_; }

  // Makes room for `extra` more bytes past size(); returns where they go, or null when memory
  // is exhausted. Grows geometrically, so appending is linear overall, but never past
  // max(`bound`, the size asked for): a bounded output does not double past its bound.
  uint8_t* reserve_more(size_t extra, size_t bound = SIZE_MAX) {
    if (cap_ - size_ >= extra) return data_ + size_;
    size_t want = size_ + extra;
    size_t cap = cap_ ? cap_ : 256;
    while (cap < want)
      cap = cap > (SIZE_MAX >> 1) ? want : cap * 2;
    if (cap > bound) cap = bound > want ? bound : want;
    void* p = std::realloc(data_, cap);
    if (!p) return nullptr;
    data_ = static_cast<uint8_t*>(p);
    cap_ = cap;
    return data_ + size_;
  }
  void commit(size_t n) { size_ += n; }
  void clear() { size_ = 0; }
  void shrink_to(size_t n) { size_ = n; }
  // Drops the storage when it grew past `keep` bytes: a long-lived idle connection does not
  // keep the memory of its largest message.
  void release_if_above(size_t keep) {
    size_ = 0;
    if (cap_ > keep) {
      std::free(std::exchange(data_, nullptr));
      cap_ = 0;
    }
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace velmora::ws
