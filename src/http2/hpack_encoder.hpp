// HPACK header-block encoder (RFC 7541 sections 4 and 6).
//
// Indexing policy: fields that repeat across requests (method, scheme, authority and most
// regular fields) are added to the dynamic table; values that change with every message (path,
// dates, lengths, validators) are written without indexing; credentials (`authorization`,
// `proxy-authorization`) and short `cookie` values, which are guessable, are written as never
// indexed. String literals are Huffman-coded when that is shorter.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http2/hpack_dynamic_table.hpp"

namespace velmora::hpack {

class Encoder {
 public:
  explicit Encoder(uint32_t table_size = 4096) : table_(table_size) {}

  // Changes the table size; the change is announced at the start of the next block.
  void set_max_size(uint32_t size);
  const DynamicTable& table() const { return table_; }

  // Starts a block: writes any pending dynamic table size updates.
  void begin_block(std::string& out);
  // Appends one field (name lower-case).
  void encode_field(std::string_view name, std::string_view value, std::string& out);

 private:
  void write_string(std::string_view s, std::string& out);

  // Direct-mapped caches from a field's key (name and value) and from its name to the
  // insertion number of the newest entry with it. A stale or colliding slot only costs a
  // lookup: every hit is checked against the table.
  static constexpr uint32_t kCacheSlots = 128;
  uint32_t find(uint32_t cached, std::string_view name, std::string_view value,
                bool by_value) const;

  DynamicTable table_;
  uint32_t inserted_ = 0;  // entries ever inserted; entry i (0 newest) is number inserted_ - 1 - i
  uint32_t by_field_[kCacheSlots] = {};  // insertion number + 1
  uint32_t by_name_[kCacheSlots] = {};
  uint32_t pending_min_ = 0;
  bool pending_ = false;
};

}  // namespace velmora::hpack
