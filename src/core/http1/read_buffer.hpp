// A contiguous byte buffer whose consumed front is dropped by moving an offset, so taking a
// head or a body slice off the front never copies the bytes behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::http1 {

class ReadBuffer {
 public:
  // A buffer larger than this is released once it has been drained, so an idle connection
  // does not keep the memory of its largest message.
  static constexpr size_t kKeepCapacity = 16 * 1024;

  ReadBuffer() = default;
  ReadBuffer(ReadBuffer&& o) noexcept : data_(std::move(o.data_)), start_(o.start_) {
    o.data_.clear();
    o.start_ = 0;
    ++o.front_moves_;
  }
  ReadBuffer& operator=(ReadBuffer&& o) noexcept {
    data_.swap(o.data_);
    start_ = o.start_;
    ++front_moves_;
    ++o.front_moves_;
    o.data_.clear();
    o.data_.shrink_to_fit();
    o.start_ = 0;
    return *this;
  }

  const char* data() const { return data_.data() + start_; }
  size_t size() const { return data_.size() - start_; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {data(), size()}; }

  void append(std::string_view bytes);
  // Appends another buffer; an empty buffer adopts the other's storage without copying.
  void append(ReadBuffer&& other);
  // Drops the first `n` bytes.
  void consume(size_t n);
  // Takes every byte out, leaving this buffer empty.
  ReadBuffer take_all();
  // Changes whenever the front of the buffer moves (bytes consumed or taken, contents
  // replaced); appending keeps it. Offsets into the buffer stay valid while it is unchanged.
  uint64_t front_moves() const { return front_moves_; }
  // Bytes of heap memory held.
  size_t capacity() const { return data_.capacity() > 15 ? data_.capacity() + 1 : 0; }

 private:
  void release_if_drained();

  std::string data_;
  size_t start_ = 0;
  uint64_t front_moves_ = 0;
};

}  // namespace velmora::http1
