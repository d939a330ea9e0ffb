#include "http2/hpack_encoder.hpp"

#include <algorithm>
#include <cstring>

#include "http2/hpack_huffman.hpp"
#include "http2/hpack_primitives.hpp"
#include "http2/hpack_static_table.hpp"

namespace velmora::hpack {
namespace {

inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// Hash of a whole field: the name's hash mixed with every byte of the value, 16 bytes a step in
// two independent lanes (the multiplications of one step do not wait for each other).
uint32_t field_hash(uint32_t name_hash, std::string_view v) {
  constexpr uint64_t kMul1 = 0x9e3779b97f4a7c15ull, kMul2 = 0xff51afd7ed558ccdull;
  const char* p = v.data();
  const size_t n = v.size();
  uint64_t a = (uint64_t(name_hash) << 32 | n) * kMul1, b = uint64_t(name_hash) ^ n;
  if (n >= 8) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
      a = (a ^ load8(p + i)) * kMul1;
      b = (b ^ load8(p + i + 8)) * kMul2;
      a ^= a >> 29;
      b ^= b >> 31;
    }
    // The last 8 or 16 bytes, overlapping what came before.
    if (n - i > 8) a = (a ^ load8(p + i)) * kMul1;
    b = (b ^ load8(p + n - 8)) * kMul2;
  } else {
    b = (b ^ load_le(v, 0, n)) * kMul2;
  }
  uint64_t h = (a ^ (b >> 32) ^ (b << 32)) * kMul2;
  return uint32_t(h >> 32) ^ uint32_t(h);
}

// Equality of short strings without a call: 8 bytes at a time, the tail overlapping.
inline bool same(std::string_view x, std::string_view y) {
  const size_t n = x.size();
  if (n != y.size()) return false;
  if (n < 8) return n == 0 || load_le(x, 0, n) == load_le(y, 0, n);
  size_t i = 0;
  for (; i + 8 < n; i += 8)
    if (load8(x.data() + i) != load8(y.data() + i)) return false;
  return load8(x.data() + n - 8) == load8(y.data() + n - 8);
}

enum class Policy : uint8_t { kIndex, kNoIndex, kNever };

Policy policy_of(std::string_view name, std::string_view value) {
  switch (name.size()) {
    case 6:
      if (name == "cookie" && value.size() < 20) return Policy::kNever;
      break;
    case 13:
      if (name == "authorization") return Policy::kNever;
      break;
    case 19:
      if (name == "proxy-authorization") return Policy::kNever;
      break;
  }
  return Policy::kIndex;
}

}  // namespace

void Encoder::set_max_size(uint32_t size) {
  size = std::min(size, kMaxTableSize);
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

uint32_t Encoder::find_field(uint32_t hash, std::string_view name, std::string_view value) const {
  if (heads_.empty()) return 0;
  const uint32_t mask = uint32_t(links_.size()) - 1;
  uint32_t n = heads_[hash & bucket_mask_];
  // Each step goes to an older entry; the bound only guards against a link that outlived 2^32
  // insertions.
  for (uint32_t steps = table_.count(); steps != 0 && live(n); --steps) {
    const Link& l = links_[n & mask];
    uint32_t i = age(n) - 1;
    if (l.field_hash == hash && same(table_.value(i), value) && same(table_.name(i), name))
      return kStaticTableSize + 1 + i;
    n = l.next_field;
  }
  return 0;
}

uint32_t Encoder::find_name(uint32_t hash, std::string_view name) const {
  if (heads_.empty()) return 0;
  const uint32_t mask = uint32_t(links_.size()) - 1;
  uint32_t n = heads_[bucket_mask_ + 1 + (hash & bucket_mask_)];
  for (uint32_t steps = table_.count(); steps != 0 && live(n); --steps) {
    const Link& l = links_[n & mask];
    uint32_t i = age(n) - 1;
    if (l.name_hash == hash && same(table_.name(i), name)) return kStaticTableSize + 1 + i;
    n = l.next_name;
  }
  return 0;
}

// Chains entry `n` (live, its Link filled but for the next fields) at the head of its buckets.
void Encoder::link(uint32_t n) {
  Link& l = links_[n & (uint32_t(links_.size()) - 1)];
  uint32_t& fh = heads_[l.field_hash & bucket_mask_];
  uint32_t& nh = heads_[bucket_mask_ + 1 + (l.name_hash & bucket_mask_)];
  l.next_field = fh;
  l.next_name = nh;
  fh = n;
  nh = n;
}

// Doubles the ring (and the buckets with it) and relinks the entries already in the table but
// the newest, which the caller links.
void Encoder::grow_index() {
  std::vector<Link> old;
  old.swap(links_);
  links_.resize(std::max<size_t>(16, old.size() * 2));
  bucket_mask_ = uint32_t(links_.size()) - 1;  // as many buckets of each kind as ring slots
  // An empty bucket names an entry that cannot be live for the next 2^31 insertions.
  heads_.assign(2 * links_.size(), inserted_ - 0x80000000u);
  const uint32_t newest = inserted_ - 1;
  for (uint32_t n = inserted_ - table_.count(); n != newest; ++n) {
    links_[n & bucket_mask_] = old[n & (uint32_t(old.size()) - 1)];
    link(n);
  }
}

void Encoder::insert(std::string_view name, std::string_view value, uint32_t fh, uint32_t nh) {
  table_.insert(name, value);
  ++inserted_;
  if (table_.count() == 0) return;  // larger than the table: it emptied it
  if (table_.count() > links_.size()) grow_index();
  const uint32_t n = inserted_ - 1;
  links_[n & (uint32_t(links_.size()) - 1)] = Link{fh, nh, 0, 0};
  link(n);
}

void Encoder::encode_field(std::string_view name, std::string_view value, std::string& out) {
  Policy policy = policy_of(name, value);
  const uint32_t nh = name_hash(name);
  uint32_t fh = 0;
  NameHistory* h = nullptr;
  // A field sent before is the common case on a connection: try the dynamic table first.
  // Secrets are never looked up by value, so their encoding reveals nothing about the table.
  if (policy != Policy::kNever) {
    fh = field_hash(nh, value);
    h = &history_[nh % kHistorySlots];
    if (h->name_hash != nh) *h = NameHistory{nh, ~fh, 0};
    const bool same_as_last = h->last_value == fh;
    h->last_value = fh;
    if (uint32_t d = find_field(fh, name, value)) {
      h->score = int8_t(std::min(kScoreMax, h->score + kScoreRepeat));
      encode_integer(d, 7, 0x80, out);
      return;
    }
    h->score = int8_t(same_as_last ? std::min(kScoreMax, h->score + kScoreRepeat)
                                   : std::max(-kScoreMax, h->score - 1));
  }
  bool exact = false;
  uint32_t index = static_find(name, nh, value, exact);
  if (exact && policy != Policy::kNever) {
    encode_integer(index, 7, 0x80, out);
    return;
  }
  if (index == 0) index = find_name(nh, name);
  // A name whose values keep changing (paths, lengths, request ids) would only evict entries
  // that do repeat; once the table can supply its name, its fields go without indexing.
  if (policy == Policy::kIndex && index != 0 && h->score < kScoreNoIndex) policy = Policy::kNoIndex;
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
  if (policy == Policy::kIndex) insert(name, value, fh, nh);
}

}  // namespace velmora::hpack
