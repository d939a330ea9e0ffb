// The HPACK dynamic table (RFC 7541 sections 2.3.2 and 4): a FIFO of entries with the
// entry-size accounting and eviction rule of the standard.
//
// Storage: the names and values sit back to back in one byte buffer in insertion order (the
// oldest first, compacted to the front when the tail runs out of room), and a ring of entry
// records indexes them. Both are bounded by the size limit: the bytes by the limit itself and
// the ring by one record per 32 bytes of limit (rounded up to a power of two), so a table never
// holds more than its announced size plus a fixed overhead per entry, and one scratch copy of
// an entry whose name or value came from the table itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::hpack {

inline constexpr uint32_t kEntryOverhead = 32;

class DynamicTable {
 public:
  explicit DynamicTable(uint32_t max_size = 4096) : max_size_(max_size) {}

  uint32_t size() const { return size_; }          // RFC 7541 size of the current entries
  uint32_t max_size() const { return max_size_; }  // the current size limit
  uint32_t count() const { return count_; }

  // Changes the size limit, evicting the oldest entries until the table fits.
  void set_max_size(uint32_t max_size);
  // Adds an entry, evicting as needed; an entry larger than the limit empties the table.
  // `name` and `value` may point into this table.
  void insert(std::string_view name, std::string_view value);

  // Entry `i`, 0 being the most recent; the caller checks i < count().
  std::string_view name(uint32_t i) const {
    const Entry& e = at(i);
    return {bytes_.data() + e.off, e.name_len};
  }
  std::string_view value(uint32_t i) const {
    const Entry& e = at(i);
    return {bytes_.data() + e.off + e.name_len, e.value_len};
  }

  // Bytes of heap storage held.
  size_t heap_bytes() const {
    size_t scratch = scratch_.capacity() > 15 ? scratch_.capacity() + 1 : 0;  // beyond SSO
    return bytes_.capacity() + ring_.capacity() * sizeof(Entry) + scratch;
  }

 private:
  struct Entry {
    uint32_t off;
    uint32_t name_len;
    uint32_t value_len;
  };
  const Entry& at(uint32_t i) const {
    return ring_[(first_ + count_ - 1 - i) & (uint32_t(ring_.size()) - 1)];
  }
  void evict_oldest();
  void make_room(uint32_t bytes);

  std::vector<char> bytes_;
  std::vector<Entry> ring_;  // power-of-two capacity
  std::string scratch_;      // copy of an aliased name or value during insertion
  uint32_t head_ = 0;        // offset of the oldest entry's bytes
  uint32_t tail_ = 0;        // end of the newest entry's bytes
  uint32_t first_ = 0;       // ring position of the oldest entry
  uint32_t count_ = 0;
  uint32_t size_ = 0;
  uint32_t max_size_;
};

}  // namespace velmora::hpack
