#include "http1/read_buffer.hpp"

#include <cstring>

namespace velmora::http1 {

void ReadBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  if (start_ > 0 && start_ >= data_.size() / 2) {
    // Most of the storage is consumed front: move the live tail down before growing.
    size_t live = size();
    std::memmove(data_.data(), data_.data() + start_, live);
    data_.resize(live);
    start_ = 0;
  }
  data_.append(bytes.data(), bytes.size());
}

void ReadBuffer::append(ReadBuffer&& other) {
  if (other.empty()) return;
  if (empty()) {
    *this = std::move(other);
    return;
  }
  append(other.view());
  other.data_.clear();
  other.start_ = 0;
  ++other.front_moves_;
  other.release_if_drained();
}

void ReadBuffer::consume(size_t n) {
  if (n == 0) return;
  ++front_moves_;
  start_ += n;
  if (start_ >= data_.size()) {
    data_.clear();
    start_ = 0;
    release_if_drained();
  }
}

ReadBuffer ReadBuffer::take_all() {
  ReadBuffer out;
  out.data_.swap(data_);
  out.start_ = start_;
  start_ = 0;
  ++front_moves_;
  return out;
}

void ReadBuffer::release_if_drained() {
  if (data_.empty() && data_.capacity() > kKeepCapacity) std::string().swap(data_);
}

}  // namespace velmora::http1
