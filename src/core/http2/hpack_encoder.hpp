// HPACK header-block encoder (RFC 7541 sections 4 and 6).
//
// Indexing policy: every field is added to the dynamic table (literal with incremental
// indexing) unless it is a secret, too large for the table to pay off, or of a name whose
// values keep changing. Secrets are the credentials (`authorization`, `proxy-authorization`)
// and short `cookie` values, which are guessable: they are written as never indexed and never
// looked up by value. A field larger than three quarters of the table would evict nearly all
// of it: it is written without indexing. So is a field whose name has had a run of new values
// (paths, lengths, request ids) while the tables can supply the name: each such entry would
// only push out entries that do repeat. String literals are Huffman-coded when that is shorter.
//
// Lookup: an index over the dynamic table, kept beside it, chains every entry into two hash
// buckets, one keyed by name and value and one keyed by name alone, newest first. Entries are
// identified by their insertion number, so an evicted entry needs no unlinking: a walk stops at
// the first entry older than the oldest one still in the table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http2/hpack_dynamic_table.hpp"

namespace velmora::hpack {

class Encoder {
 public:
  // The largest table the encoder uses, whatever the peer allows: a peer's
  // SETTINGS_HEADER_TABLE_SIZE only permits a table, and a larger one would let it make the
  // connection hold that much of what the local side sends (RFC 7541 section 4.2 lets the
  // encoder choose any size up to the setting; the size used is the one announced).
  static constexpr uint32_t kMaxTableSize = 65536;

  explicit Encoder(uint32_t table_size = 4096)
      : table_(table_size < kMaxTableSize ? table_size : kMaxTableSize) {}

  // Changes the table size (capped at kMaxTableSize); the change is announced at the start of
  // the next block.
  void set_max_size(uint32_t size);
  const DynamicTable& table() const { return table_; }

  // Starts a block: writes any pending dynamic table size updates.
  void begin_block(std::string& out);
  // Appends one field (name lower-case).
  void encode_field(std::string_view name, std::string_view value, std::string& out);

  // Bytes of heap storage held (the table and its index).
  size_t heap_bytes() const {
    return table_.heap_bytes() + links_.capacity() * sizeof(Link) +
           heads_.capacity() * sizeof(uint32_t);
  }

 private:
  // Per live entry: its hashes and the insertion numbers of the next older entries in its two
  // buckets. Kept in a ring addressed by insertion number.
  struct Link {
    uint32_t field_hash;
    uint32_t name_hash;
    uint32_t next_field;
    uint32_t next_name;
  };

  void write_string(std::string_view s, std::string& out);
  // Age of the entry with insertion number `n`: 1 for the newest, count() for the oldest;
  // anything else means `n` is no longer (or not yet) in the table.
  uint32_t age(uint32_t n) const { return inserted_ - n; }
  bool live(uint32_t n) const { return age(n) - 1 < table_.count(); }
  // Dynamic-table index (62 and up) of the newest entry equal to name and value (find_field,
  // `hash` being field_hash) or with that name (find_name, `hash` being name_hash); 0 when
  // there is none.
  uint32_t find_field(uint32_t hash, std::string_view name, std::string_view value) const;
  uint32_t find_name(uint32_t hash, std::string_view name) const;
  void insert(std::string_view name, std::string_view value, uint32_t fh, uint32_t nh);
  void grow_index();
  void link(uint32_t n);

  struct Stat {
    uint32_t name = 0;
    uint32_t last = 0;
    int score = 0;
  };
  Stat stats_[64];
  // What the recent fields of a name looked like, per name-hash slot (a colliding name takes
  // the slot over): the hash of its last value and a score that a repeated value raises by
  // kScoreRepeat and a new value lowers by one, within +-kScoreMax. Below kScoreNoIndex the
  // name's values are not worth a table entry.
  struct NameHistory {
    uint32_t name_hash = 0;
    uint32_t last_value = 0;
    int8_t score = 0;
  };
  static constexpr uint32_t kHistorySlots = 64;
  static constexpr int kScoreRepeat = 3, kScoreMax = 6, kScoreNoIndex = -3;
  NameHistory history_[kHistorySlots];

  DynamicTable table_;
  std::vector<Link> links_;      // power-of-two size, at least the table's entry count
  std::vector<uint32_t> heads_;  // field buckets then name buckets: newest insertion number
  uint32_t bucket_mask_ = 0;
  uint32_t inserted_ = 0;  // entries ever inserted (modulo 2^32)
  uint32_t pending_min_ = 0;
  bool pending_ = false;
};

}  // namespace velmora::hpack
