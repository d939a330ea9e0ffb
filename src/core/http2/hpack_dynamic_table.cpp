#include "http2/hpack_dynamic_table.hpp"

#include <algorithm>
#include <cstring>

namespace velmora::hpack {

void DynamicTable::evict_oldest() {
  const Entry& e = ring_[first_];
  size_ -= e.name_len + e.value_len + kEntryOverhead;
  head_ += e.name_len + e.value_len;
  first_ = (first_ + 1) & (uint32_t(ring_.size()) - 1);
  if (--count_ == 0) head_ = tail_ = 0;
}

void DynamicTable::set_max_size(uint32_t max_size) {
  max_size_ = max_size;
  while (size_ > max_size_)
    evict_oldest();
  // Give back storage beyond the new limit.
  if (bytes_.capacity() > max_size_) {
    std::vector<char> fresh(bytes_.begin() + head_, bytes_.begin() + tail_);
    bytes_.swap(fresh);
    for (uint32_t i = 0; i < count_; ++i)
      ring_[(first_ + i) & (ring_.size() - 1)].off -= head_;
    tail_ -= head_;
    head_ = 0;
  }
}

// Ensures `bytes` more bytes fit after tail_, compacting or growing the buffer.
void DynamicTable::make_room(uint32_t bytes) {
  if (tail_ + size_t(bytes) <= bytes_.size()) return;
  uint32_t live = tail_ - head_;
  if (head_ > 0) {
    std::memmove(bytes_.data(), bytes_.data() + head_, live);
    for (uint32_t i = 0; i < count_; ++i)
      ring_[(first_ + i) & (ring_.size() - 1)].off -= head_;
    tail_ = live;
    head_ = 0;
  }
  if (tail_ + size_t(bytes) <= bytes_.size()) return;
  size_t want =
      std::max<size_t>(tail_ + size_t(bytes), std::min<size_t>(bytes_.size() * 2 + 64, max_size_));
  bytes_.reserve(want);  // exactly: the storage never outgrows the limit
  bytes_.resize(want);
}

void DynamicTable::insert(std::string_view name, std::string_view value) {
  uint64_t entry_size = uint64_t(name.size()) + value.size() + kEntryOverhead;
  if (entry_size > max_size_) {
    while (count_ > 0)
      evict_oldest();
    return;
  }
  // A name or value taken from this table must survive the evictions and compaction below.
  const char* lo = bytes_.data();
  const char* hi = lo + bytes_.size();
  auto inside = [&](std::string_view s) { return !s.empty() && s.data() >= lo && s.data() < hi; };
  if (inside(name) || inside(value)) {
    scratch_.assign(name);
    scratch_.append(value);
    name = std::string_view(scratch_).substr(0, name.size());
    value = std::string_view(scratch_).substr(name.size());
  }
  while (size_ + entry_size > max_size_)
    evict_oldest();
  uint32_t n = uint32_t(name.size() + value.size());
  make_room(n);
  if (count_ == ring_.size()) {
    std::vector<Entry> grown(std::max<size_t>(8, ring_.size() * 2));
    for (uint32_t i = 0; i < count_; ++i)
      grown[i] = ring_[(first_ + i) & (ring_.size() - 1)];
    ring_.swap(grown);
    first_ = 0;
  }
  char* w = bytes_.data() + tail_;
  if (!name.empty()) std::memcpy(w, name.data(), name.size());
  if (!value.empty()) std::memcpy(w + name.size(), value.data(), value.size());
  ring_[(first_ + count_) & (ring_.size() - 1)] =
      Entry{tail_, uint32_t(name.size()), uint32_t(value.size())};
  ++count_;
  tail_ += n;
  size_ += uint32_t(entry_size);
}

}  // namespace velmora::hpack
