#include "http2/hpack_encoder.hpp"

#include <algorithm>
#include <cstring>

#include "http2/hpack_huffman.hpp"
#include "http2/hpack_primitives.hpp"
#include "http2/hpack_static_table.hpp"

namespace velmora::hpack {
namespace {

// A cheap key for a field: its name's hash mixed with the value's length and outer bytes.
uint32_t field_key(uint32_t name_hash, std::string_view v) {
  uint64_t head = 0, tail = 0;
  size_t n = v.size() < 8 ? v.size() : 8;
  if (n != 0) {
    std::memcpy(&head, v.data(), n);
    std::memcpy(&tail, v.data() + v.size() - n, n);
  }
  uint64_t k = (head * 0x9e3779b97f4a7c15ull) ^ (tail + v.size()) ^ name_hash;
  k *= 0xff51afd7ed558ccdull;
  return uint32_t(k >> 32);
}

enum class Policy : uint8_t { kIndex, kNoIndex, kNever };

Policy policy_of(std::string_view name, std::string_view value) {
  switch (name.size()) {
    case 3:
      if (name == "age") return Policy::kNoIndex;
      break;
    case 4:
      if (name == "date" || name == "etag") return Policy::kNoIndex;
      break;
    case 5:
      if (name == ":path") return Policy::kNoIndex;
      break;
    case 6:
      if (name == "cookie") return value.size() < 20 ? Policy::kNever : Policy::kIndex;
      break;
    case 7:
      if (name == "expires") return Policy::kNoIndex;
      break;
    case 13:
      if (name == "authorization") return Policy::kNever;
      if (name == "content-range" || name == "last-modified" || name == "if-none-match")
        return Policy::kNoIndex;
      break;
    case 14:
      if (name == "content-length") return Policy::kNoIndex;
      break;
    case 17:
      if (name == "if-modified-since") return Policy::kNoIndex;
      break;
    case 19:
      if (name == "proxy-authorization") return Policy::kNever;
      break;
  }
  return Policy::kIndex;
}

}  // namespace

void Encoder::set_max_size(uint32_t size) {
  pending_min_ = pending_ ? std::min(pending_min_, size) : size;
  pending_ = true;
  table_.set_max_size(size);
}

void Encoder::begin_block(std::string& out) {
  if (!pending_) return;
  // The smallest size since the last block first, then the final size (RFC 7541 section 4.2).
  if (pending_min_ < table_.max_size()) encode_integer(pending_min_, 5, 0x20, out);
  encode_integer(table_.max_size(), 5, 0x20, out);
  pending_ = false;
}

void Encoder::write_string(std::string_view s, std::string& out) {
  size_t h = huffman_encoded_length(s);
  if (h < s.size()) {
    encode_integer(h, 7, 0x80, out);
    huffman_encode(s, out);
  } else {
    encode_integer(s.size(), 7, 0x00, out);
    out.append(s);
  }
}

uint32_t Encoder::find(uint32_t cached, std::string_view name, std::string_view value,
                       bool by_value) const {
  if (cached == 0) return 0;
  uint32_t i = inserted_ - cached;  // 0 for the newest entry
  if (i >= table_.count() || table_.name(i) != name || (by_value && table_.value(i) != value))
    return 0;
  return kStaticTableSize + 1 + i;
}

void Encoder::encode_field(std::string_view name, std::string_view value, std::string& out) {
  Policy policy = policy_of(name, value);
  const uint32_t nh = name_hash(name);
  const uint32_t key = field_key(nh, value);
  // A field sent before is the common case on a connection: try the dynamic table first.
  if (policy != Policy::kNever) {
    if (uint32_t d = find(by_field_[key % kCacheSlots], name, value, true)) {
      encode_integer(d, 7, 0x80, out);
      return;
    }
  }
  bool exact = false;
  uint32_t index = static_find(name, nh, value, exact);
  if (exact && policy != Policy::kNever) {
    encode_integer(index, 7, 0x80, out);
    return;
  }
  if (index == 0 && policy != Policy::kNever)
    index = find(by_name_[nh % kCacheSlots], name, value, false);
  if (policy == Policy::kIndex &&
      uint64_t(name.size()) + value.size() + kEntryOverhead > table_.max_size() * uint64_t(3) / 4)
    policy = Policy::kNoIndex;
  switch (policy) {
    case Policy::kIndex:
      encode_integer(index, 6, 0x40, out);
      break;
    case Policy::kNoIndex:
      encode_integer(index, 4, 0x00, out);
      break;
    case Policy::kNever:
      encode_integer(index, 4, 0x10, out);
      break;
  }
  if (index == 0) write_string(name, out);
  write_string(value, out);
  if (policy == Policy::kIndex) {
    table_.insert(name, value);
    ++inserted_;
    by_field_[key % kCacheSlots] = inserted_;
    by_name_[nh % kCacheSlots] = inserted_;
  }
}

}  // namespace velmora::hpack
