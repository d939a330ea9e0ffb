#include "http2/hpack_encoder.hpp"

#include <algorithm>

#include "http2/hpack_huffman.hpp"
#include "http2/hpack_primitives.hpp"
#include "http2/hpack_static_table.hpp"

namespace velmora::hpack {
namespace {

uint32_t name_hash(std::string_view s) {
  uint32_t h = 2166136261u;
  for (char c : s)
    h = (h ^ uint8_t(c)) * 16777619u;
  return h | 1;  // never 0, the mark of an entry without a hash
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

void Encoder::encode_field(std::string_view name, std::string_view value, std::string& out) {
  Policy policy = policy_of(name, value);
  bool exact = false;
  uint32_t index = static_find(name, value, exact);
  if (exact && policy != Policy::kNever) {
    encode_integer(index, 7, 0x80, out);
    return;
  }
  uint32_t hash = 0;
  if (policy != Policy::kNever) {
    hash = name_hash(name);
    for (uint32_t i = 0, n = table_.count(); i < n; ++i) {
      if (table_.hash(i) != hash || table_.name(i) != name) continue;
      if (table_.value(i) == value) {
        encode_integer(kStaticTableSize + 1 + i, 7, 0x80, out);
        return;
      }
      if (index == 0) index = kStaticTableSize + 1 + i;
    }
  }
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
  if (policy == Policy::kIndex) table_.insert(name, value, hash);
}

}  // namespace velmora::hpack
