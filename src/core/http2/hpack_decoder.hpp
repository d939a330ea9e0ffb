// HPACK header-block decoder (RFC 7541 sections 3, 4.3 and 6) with the system's limits.
//
// A block may arrive in several fragments (HEADERS then CONTINUATION frames): decode() consumes
// whole representations and reports how far it got, so the caller keeps only the cut-short tail
// of the last one and calls again with more bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http2/hpack_dynamic_table.hpp"

namespace velmora::hpack {

enum class Error : uint8_t {
  kNone,
  // Cut short in the middle of a representation: "need more" while the block goes on.
  kUnexpectedEndOfStream,
  kIntegerUnderflow,
  kStringUnderflow,
  // Decoding errors.
  kInvalidRepresentation,
  kInvalidIntegerPrefix,
  kInvalidTableIndex,
  kInvalidHuffmanCode,
  kInvalidUtf8,
  kInvalidStatusCode,
  kInvalidPseudoheader,
  kInvalidMaxDynamicSize,
  kIntegerOverflow,
  // Limits and HTTP/2 message rules.
  kMalformedMessage,
  kHeaderListWayTooLarge,
};

std::string_view error_name(Error e);
inline bool is_cut_short(Error e) {
  return e == Error::kUnexpectedEndOfStream || e == Error::kIntegerUnderflow ||
         e == Error::kStringUnderflow;
}

// Receives each decoded field. Returns kNone to go on, or an error that stops decoding.
class FieldSink {
 public:
  virtual Error field(std::string_view name, std::string_view value, bool never_indexed) = 0;

 protected:
  ~FieldSink() = default;
};

// Per-block progress, kept by the caller between fragments of one block.
struct BlockProgress {
  uint64_t list_size = 0;   // RFC 7541 sizes of the fields decoded so far
  bool any_field = false;   // a field representation was seen (size updates must precede)
  bool over_limit = false;  // list_size went above the maximum header-list size
};

class Decoder {
 public:
  explicit Decoder(uint32_t table_size = 4096) : table_(table_size), allowed_max_(table_size) {}

  // The maximum the local side allows (SETTINGS_HEADER_TABLE_SIZE it announced). Lowering it
  // shrinks the table at once: the peer must announce a size no larger before its next field.
  void set_allowed_max(uint32_t max);
  uint32_t allowed_max() const { return allowed_max_; }
  const DynamicTable& table() const { return table_; }

  // Decodes whole representations from p[0..n). Fields go to `sink` while the header list stays
  // within `max_list_size`; beyond it they are counted, dropped, and `progress.over_limit` set.
  // `used` is set to the bytes of complete representations consumed. A cut-short result leaves
  // the table as it was before the incomplete representation.
  Error decode(const uint8_t* p, size_t n, BlockProgress& progress, uint64_t max_list_size,
               FieldSink& sink, size_t& used);

 private:
  Error read_string(const uint8_t*& p, const uint8_t* end, std::string& buf, std::string_view& out);
  Error lookup(uint32_t index, std::string_view& name, std::string_view& value) const;

  DynamicTable table_;
  uint32_t allowed_max_;
  std::string name_buf_;
  std::string value_buf_;
};

}  // namespace velmora::hpack
