#include "http/header_map.hpp"

#include <cstdlib>
#include <cstring>

#include "http/chars.hpp"
#include "http/hash.hpp"
#include "http/standard_headers.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <new>
#include <utility>

namespace velmora::http {
namespace {

// An insertion that displaces more occupants than this, or (with the unkeyed hash) probes more
// slots than kMaxProbe, marks the index as under attack.
constexpr uint32_t kMaxShift = 127;
constexpr uint32_t kMaxProbe = 511;
// Arena offsets stay below the standard-name bit.
constexpr size_t kMaxArena = 0x7fffffffu;

}  // namespace

// ---- storage -------------------------------------------------------------------------------

HeaderMap::HeaderMap(const HeaderMap& o)
    : values_(o.values_), keyed_(o.keyed_), under_attack_(o.under_attack_) {
  if (!o.block_) return;
  // An exact copy of what is in use (garbage left behind by changes is dropped only by a
  // compaction, so it is copied too: spans stay valid as they are).
  const size_t size = block_size(o.entry_count_, o.extra_count_, o.slot_count_, o.arena_size_);
  block_ = static_cast<char*>(std::malloc(size ? size : 1));
  if (!block_) std::abort();  // as a failed std::vector copy would end the process
  entry_cap_ = entry_count_ = o.entry_count_;
  extra_cap_ = extra_count_ = o.extra_count_;
  slot_count_ = o.slot_count_;
  arena_cap_ = arena_size_ = o.arena_size_;
  garbage_ = o.garbage_;
  free_extras_ = o.free_extras_;
  std::memcpy(entries(), o.entries(), entry_count_ * sizeof(Entry));
  std::memcpy(extras(), o.extras(), extra_count_ * sizeof(Extra));
  std::memcpy(slots(), o.slots(), slot_count_ * sizeof(Slot));
  std::memcpy(arena(), o.arena(), arena_size_);
}

HeaderMap::HeaderMap(HeaderMap&& o) noexcept
    : block_(o.block_),
      entry_cap_(o.entry_cap_),
      entry_count_(o.entry_count_),
      extra_cap_(o.extra_cap_),
      extra_count_(o.extra_count_),
      slot_count_(o.slot_count_),
      arena_cap_(o.arena_cap_),
      arena_size_(o.arena_size_),
      values_(o.values_),
      garbage_(o.garbage_),
      free_extras_(o.free_extras_),
      keyed_(o.keyed_),
      under_attack_(o.under_attack_) {
  o.block_ = nullptr;
  o.release();
}

HeaderMap& HeaderMap::operator=(const HeaderMap& o) {
  if (this != &o) *this = HeaderMap(o);
  return *this;
}

HeaderMap& HeaderMap::operator=(HeaderMap&& o) noexcept {
  if (this == &o) return *this;
  std::free(block_);
  new (this) HeaderMap(std::move(o));
  return *this;
}

HeaderMap::~HeaderMap() {
  std::free(block_);
}

void HeaderMap::release() {
  std::free(block_);
  block_ = nullptr;
  entry_cap_ = entry_count_ = extra_cap_ = extra_count_ = slot_count_ = 0;
  arena_cap_ = arena_size_ = values_ = garbage_ = free_extras_ = 0;
  keyed_ = under_attack_ = false;
}

bool HeaderMap::reshape(uint32_t entries, uint32_t extras, uint32_t slots, size_t arena) {
  char* nb = static_cast<char*>(std::malloc(block_size(entries, extras, slots, arena)));
  if (!nb) return false;
  char* old = block_;
  const Entry* oe = this->entries();
  const Extra* ox = this->extras();
  const Slot* os = this->slots();
  const char* oa = this->arena();
  const uint32_t old_slots = slot_count_;
  block_ = nb;
  entry_cap_ = entries;
  extra_cap_ = extras;
  slot_count_ = slots;
  arena_cap_ = uint32_t(arena);
  if (old) {
    std::memcpy(this->entries(), oe, entry_count_ * sizeof(Entry));
    std::memcpy(this->extras(), ox, extra_count_ * sizeof(Extra));
    std::memcpy(this->arena(), oa, arena_size_);
  }
  if (slots == old_slots && old)
    std::memcpy(this->slots(), os, slots * sizeof(Slot));
  else
    std::memset(static_cast<void*>(this->slots()), 0, slots * sizeof(Slot));
  std::free(old);
  return true;
}

bool HeaderMap::grow_entries() {
  return reshape(entry_cap_ < 4 ? 4 : entry_cap_ * 2, extra_cap_, slot_count_, arena_cap_);
}

bool HeaderMap::grow_extras() {
  return reshape(entry_cap_, extra_cap_ < 4 ? 4 : extra_cap_ * 2, slot_count_, arena_cap_);
}

bool HeaderMap::grow_arena(size_t bytes) {
  if (bytes > kMaxArena - arena_size_) return false;
  size_t cap = size_t(arena_cap_) * 2;
  if (cap < arena_size_ + bytes) cap = arena_size_ + bytes;
  if (cap < 64) cap = 64;
  if (cap > kMaxArena) cap = kMaxArena;
  return reshape(entry_cap_, extra_cap_, slot_count_, cap);
}

uint32_t HeaderMap::hash_of(std::string_view name) const {
  return keyed_ ? keyed_hash(name) : fast_hash(name);
}

std::string_view HeaderMap::name(uint32_t entry) const {
  const Span& s = entries()[entry].name;
  if (s.off & kStandardBit) return kStandardHeaders[s.off & ~kStandardBit];
  return view(s);
}

int HeaderMap::standard_id(uint32_t entry) const {
  const Span& s = entries()[entry].name;
  return (s.off & kStandardBit) ? int(s.off & ~kStandardBit) : -1;
}

uint32_t HeaderMap::value_count(uint32_t entry) const {
  return entries()[entry].count;
}

bool HeaderMap::store(std::string_view bytes, Span& out) {
  if (!room_for_bytes(bytes.size())) return false;
  out.off = arena_size_;
  out.len = static_cast<uint32_t>(bytes.size());
  if (!bytes.empty()) std::memcpy(arena() + arena_size_, bytes.data(), bytes.size());
  arena_size_ += out.len;
  return true;
}

// ---- index ---------------------------------------------------------------------------------

int32_t HeaderMap::find_slot(std::string_view name, uint32_t hash) const {
  const Slot* sl = slots();
  const uint32_t mask = slot_count_ - 1;
  const uint16_t h16 = static_cast<uint16_t>(hash);
  uint32_t i = h16 & mask;
  for (uint32_t dist = 0;; ++dist, i = (i + 1) & mask) {
    const Slot s = sl[i];
    if (s.pos1 == 0) return -1;
    if (((i - (s.hash & mask)) & mask) < dist) return -1;  // Robin Hood: it would sit here
    if (s.hash == h16) {
      std::string_view n = this->name(s.pos1 - 1u);
      if (n.size() == name.size() && same_bytes(n.data(), name.data(), name.size()))
        return int32_t(i);
    }
  }
}

int32_t HeaderMap::find_linear(std::string_view name, uint32_t hash) const {
  const Entry* es = entries();
  for (uint32_t i = 0; i < entry_count_; ++i) {
    const Entry& e = es[i];
    if (e.hash != hash || e.name.len != name.size()) continue;
    const char* n = (e.name.off & kStandardBit)
                        ? kStandardHeaders[e.name.off & ~kStandardBit].data()
                        : arena() + e.name.off;
    if (same_bytes(n, name.data(), name.size())) return int32_t(i);
  }
  return -1;
}

int32_t HeaderMap::find(std::string_view name) const {
  if (entry_count_ == 0) return -1;
  return find_hashed(name, hash_of(name));
}

int32_t HeaderMap::find_hashed(std::string_view name, uint32_t hash) const {
  if (slot_count_ == 0) return find_linear(name, hash);
  int32_t slot = find_slot(name, hash);
  return slot < 0 ? -1 : int32_t(slots()[slot].pos1) - 1;
}

int32_t HeaderMap::find_standard(int id) const {
  // Standard names are always stored by id (append_entry_id), so entries match by it.
  const uint32_t want = kStandardBit | uint32_t(id);
  const Entry* es = entries();
  if (slot_count_ == 0) {
    for (uint32_t i = 0; i < entry_count_; ++i)
      if (es[i].name.off == want) return int32_t(i);
    return -1;
  }
  const uint32_t hash = keyed_ ? keyed_hash(kStandardHeaders[id]) : standard_header_hash(id);
  const Slot* sl = slots();
  const uint32_t mask = slot_count_ - 1;
  const uint16_t h16 = static_cast<uint16_t>(hash);
  uint32_t i = h16 & mask;
  for (uint32_t dist = 0;; ++dist, i = (i + 1) & mask) {
    const Slot s = sl[i];
    if (s.pos1 == 0) return -1;
    if (((i - (s.hash & mask)) & mask) < dist) return -1;
    if (s.hash == h16 && es[s.pos1 - 1u].name.off == want) return int32_t(s.pos1) - 1;
  }
}

void HeaderMap::insert_slot(uint32_t pos, uint32_t hash) {
  Slot* sl = slots();
  const uint32_t mask = slot_count_ - 1;
  Slot cur{static_cast<uint16_t>(pos + 1), static_cast<uint16_t>(hash)};
  uint32_t i = cur.hash & mask;
  uint32_t dist = 0, probes = 0, shifts = 0;
  bool displacing = false;
  for (;; i = (i + 1) & mask, ++dist, ++probes) {
    Slot& s = sl[i];
    if (s.pos1 == 0) {
      s = cur;
      break;
    }
    if (displacing) ++shifts;
    uint32_t sd = (i - (s.hash & mask)) & mask;
    if (sd < dist) {
      std::swap(cur, s);
      dist = sd;
      displacing = true;
    }
  }
  if (shifts > kMaxShift || (!keyed_ && probes > kMaxProbe)) under_attack_ = true;
}

int32_t HeaderMap::find_or_insert_slot(std::string_view name, uint32_t hash, uint32_t new_pos,
                                       int id) {
  Slot* sl = slots();
  const Entry* es = entries();
  const uint32_t mask = slot_count_ - 1;
  const uint16_t h16 = static_cast<uint16_t>(hash);
  // Standard names are always stored by id: a standard name matches by its id alone, any other
  // name only an entry stored by its bytes.
  const uint32_t want = kStandardBit | uint32_t(id);
  uint32_t i = h16 & mask;
  uint32_t dist = 0;
  for (;; ++dist, i = (i + 1) & mask) {
    const Slot s = sl[i];
    if (s.pos1 == 0) {
      sl[i] = Slot{static_cast<uint16_t>(new_pos + 1), h16};
      if (!keyed_ && dist > kMaxProbe) under_attack_ = true;
      return -1;
    }
    if (((i - (s.hash & mask)) & mask) < dist) break;  // absent: the new name goes here
    if (s.hash != h16) continue;
    const Span& n = es[s.pos1 - 1u].name;
    if (id >= 0) {
      if (n.off == want) return int32_t(s.pos1) - 1;
    } else if (!(n.off & kStandardBit) && n.len == name.size() &&
               same_bytes(arena() + n.off, name.data(), name.size())) {
      return int32_t(s.pos1) - 1;
    }
  }
  // Robin Hood insertion from slot i, where the probe proved the name absent.
  Slot cur{static_cast<uint16_t>(new_pos + 1), h16};
  uint32_t probes = dist, shifts = 0;
  for (;; i = (i + 1) & mask, ++dist, ++probes) {
    Slot& s = sl[i];
    if (s.pos1 == 0) {
      s = cur;
      break;
    }
    const uint32_t sd = (i - (s.hash & mask)) & mask;
    if (sd < dist) {
      std::swap(cur, s);
      dist = sd;
      ++shifts;
    } else if (shifts) {
      ++shifts;
    }
  }
  if (shifts > kMaxShift || (!keyed_ && probes > kMaxProbe)) under_attack_ = true;
  return -1;
}

void HeaderMap::rebuild_index(uint32_t slots, bool keyed) {
  if (keyed != keyed_) {
    keyed_ = keyed;
    for (uint32_t i = 0; i < entry_count_; ++i)
      entries()[i].hash = hash_of(name(i));
  }
  if (slots != slot_count_) {
    if (!reshape(entry_cap_, extra_cap_, slots, arena_cap_)) std::abort();
  } else {
    std::memset(static_cast<void*>(this->slots()), 0, slots * sizeof(Slot));
  }
  for (uint32_t i = 0; i < entry_count_; ++i)
    insert_slot(i, entries()[i].hash);
}

uint32_t HeaderMap::slots_for(size_t names) {
  uint32_t slots = kInitialSlots;
  while (slots < kMaxSlots && names >= slots - slots / 4)
    slots *= 2;
  return slots;
}

void HeaderMap::reserve(size_t names, size_t bytes) {
  if (names > kMaxNames) names = kMaxNames;
  if (bytes > kMaxArena) bytes = arena_cap_;
  // A map that will hold more names than a scan suits gets its index at once.
  const uint32_t slots = slot_count_ == 0 && names > kLinearNames ? slots_for(names) : slot_count_;
  if (names <= entry_cap_ && bytes <= arena_cap_ && slots == slot_count_) return;
  const bool rebuild = slots != slot_count_;
  if (!reshape(std::max(uint32_t(names), entry_cap_), extra_cap_, slots,
               std::max(bytes, size_t(arena_cap_))))
    std::abort();
  if (rebuild)
    for (uint32_t i = 0; i < entry_count_; ++i)
      insert_slot(i, entries()[i].hash);
}

HeaderMap::Result HeaderMap::reserve_one() {
  if (slot_count_ == 0) {
    // Up to kLinearNames names are found by a scan of the entries; the index is built when
    // one more would exceed that, at the size the growth rule gives for the names held.
    if (entry_count_ < kLinearNames) return Result::kOk;
    rebuild_index(slots_for(entry_count_), keyed_);
    return Result::kOk;
  }
  uint32_t cap = slot_count_;
  if (under_attack_) {
    if (!keyed_ && entry_count_ * 5 < cap) {
      under_attack_ = false;
      rebuild_index(cap, true);
    } else {
      if (cap * 2 > kMaxSlots) return Result::kFull;
      under_attack_ = false;
      rebuild_index(cap * 2, keyed_);
      cap *= 2;
    }
  }
  if (entry_count_ >= cap - cap / 4) {
    if (cap * 2 > kMaxSlots) return Result::kFull;
    rebuild_index(cap * 2, keyed_);
  }
  return Result::kOk;
}

// ---- insertion -----------------------------------------------------------------------------

HeaderMap::Result HeaderMap::append_entry(std::string_view name, std::string_view value) {
  return append_entry_hashed(name, value, hash_of(name));
}

HeaderMap::Result HeaderMap::append_entry_hashed(std::string_view name, std::string_view value,
                                                 uint32_t hash) {
  return append_entry_id(name, value, hash,
                         find_standard_header(name, keyed_ ? fast_hash(name) : hash));
}

HeaderMap::Result HeaderMap::append_entry_id(std::string_view name, std::string_view value,
                                             uint32_t hash, int id, bool indexed) {
  const size_t need = value.size() + (id < 0 ? name.size() : 0);
  if (!room_for_bytes(need) || !room_for_entry()) {
    if (indexed) rebuild_index(slot_count_, keyed_);  // drops the slot of the entry not made
    return Result::kTooLarge;
  }
  Entry e;
  if (id >= 0) {
    e.name = Span{kStandardBit | uint32_t(id), uint32_t(name.size())};
  } else {
    e.name = put(name);
  }
  e.value = put(value);
  e.hash = hash;
  entries()[entry_count_++] = e;
  if (slot_count_ && !indexed) insert_slot(entry_count_ - 1, e.hash);
  ++values_;
  return Result::kOk;
}

HeaderMap::Result HeaderMap::add(std::string_view name, std::string_view value) {
  Result r = reserve_one();
  if (r != Result::kOk) return r;
  // reserve_one() may switch the index to the keyed hash: hash after it.
  const uint32_t hash = hash_of(name);
  int32_t pos = find_hashed(name, hash);
  if (pos < 0) return append_entry_hashed(name, value, hash);
  return append_value(uint32_t(pos), value);
}

HeaderMap::Result HeaderMap::add_known(std::string_view name, uint32_t fast, int id,
                                       std::string_view value) {
  // Room for one more name first (reserve_one() is called only when it has something to do);
  // then one probe finds the name or enters it.
  const bool short_of_room = slot_count_
                                 ? entry_count_ >= slot_count_ - slot_count_ / 4 || under_attack_
                                 : entry_count_ >= kLinearNames;
  if (short_of_room)
    if (Result r = reserve_one(); r != Result::kOk) return r;
  const uint32_t hash = keyed_ ? keyed_hash(name) : fast;
  if (!slot_count_) {
    const int32_t pos = find_linear(name, hash);
    if (pos >= 0) return append_value(uint32_t(pos), value);
    return append_entry_id(name, value, hash, id);
  }
  const int32_t pos = find_or_insert_slot(name, hash, entry_count_, id);
  if (pos >= 0) return append_value(uint32_t(pos), value);
  // The index now holds a slot for the entry appended here.
  return append_entry_id(name, value, hash, id, true);
}

HeaderMap::Result HeaderMap::add_standard(int id, std::string_view value) {
  return add_known(kStandardHeaders[id], standard_header_hash(id), id, value);
}

HeaderMap::Result HeaderMap::append_value(uint32_t pos, std::string_view value) {
  if (!room_for_bytes(value.size())) return Result::kTooLarge;
  const Span stored = put(value);
  garbage_ += stored.len;  // until the chain holds it
  return append_span(pos, stored);
}

HeaderMap::Result HeaderMap::add_parsed(const std::string_view* names,
                                        const std::string_view* values, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (Result r = add(names[i], values[i]); r != Result::kOk) return r;
  return Result::kOk;
}

namespace {

// Lower-cases the `len` bytes at `p` (token characters) in place, 16 at a time; the bytes after
// them are written back unchanged, and at least 16 - len % 16 of them must be writable.
void lower_in_place(char* p, size_t len) {
#if defined(__SSE2__)
  const __m128i a1 = _mm_set1_epi8('A' - 1), z1 = _mm_set1_epi8('Z' + 1);
  const __m128i bit = _mm_set1_epi8(0x20);
  const __m128i iota = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (size_t k = 0; k < len; k += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
    __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, a1), _mm_cmplt_epi8(v, z1));
    const size_t left = len - k;
    if (left < 16) upper = _mm_and_si128(upper, _mm_cmpgt_epi8(_mm_set1_epi8(char(left)), iota));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + k), _mm_or_si128(v, _mm_and_si128(upper, bit)));
  }
#else
  for (size_t k = 0; k < len; ++k)
    p[k] = ascii_lower(p[k]);
#endif
}

}  // namespace

// The index, when the names are many, is made at once for all of them; the block is copied
// with 16 bytes of slack, so that names are lower-cased in whole 16-byte blocks.
HeaderMap::Result HeaderMap::add_block(std::string_view block, uint32_t base,
                                       const RawField* fields, size_t n, const bool* skip) {
  if (n == 0) return Result::kOk;
  if (block_ || block.size() > kMaxArena - 16) return Result::kTooLarge;
  const size_t most = n < kMaxNames ? n : kMaxNames;
  const uint32_t slots = most > kLinearNames ? slots_for(most) : 0;
  if (!reshape(uint32_t(most), 0, slots, block.size() + 16)) return Result::kTooLarge;
  std::memcpy(arena(), block.data(), block.size());
  arena_size_ = uint32_t(block.size());
  garbage_ = arena_size_;  // until referenced
  // Within the sizes chosen above no new name moves the storage (a repeated one may, when its
  // chain grows); past them (more names than a map holds), and once the index saw colliding
  // names, the rest takes the checked path.
  const uint32_t room = slots ? slots - slots / 4 : kLinearNames;
  for (size_t i = 0; i < n; ++i) {
    if (skip && skip[i]) continue;
    const Span name{fields[i].name.off - base, fields[i].name.len};
    const Span value{fields[i].value.off - base, fields[i].value.len};
    char* const p = arena() + name.off;
    lower_in_place(p, name.len);
    const std::string_view text(p, name.len);
    const uint32_t fast = fast_hash(text);
    const int id = find_standard_header(text, fast);
    if (entry_count_ >= room || entry_count_ >= entry_cap_ || under_attack_) {
      if (Result r = add_block_slow(name, fast, id, value); r != Result::kOk) return r;
      continue;
    }
    const uint32_t hash = keyed_ ? keyed_hash(text) : fast;
    const uint32_t pos = entry_count_;
    const int32_t found =
        slot_count_ ? find_or_insert_slot(text, hash, pos, id) : find_linear(text, hash);
    if (found >= 0) {
      if (Result r = append_span(uint32_t(found), value); r != Result::kOk) return r;
      continue;
    }
    Entry& e = entries()[pos];
    e.chain_head = e.chain_tail = kNone;
    e.count = 1;
    e.hash = hash;
    if (id >= 0) {
      e.name = Span{kStandardBit | uint32_t(id), name.len};
    } else {
      e.name = name;
      garbage_ -= name.len;
    }
    e.value = value;
    garbage_ -= value.len;
    ++entry_count_;
    ++values_;
  }
  return Result::kOk;
}

__attribute__((noinline)) HeaderMap::Result HeaderMap::add_block_slow(Span name, uint32_t fast,
                                                                      int id, Span value) {
  // Copies: the storage may move under the checked path.
  const std::string n(view(name)), v(view(value));
  return add_known(n, fast, id, v);
}

HeaderMap::Result HeaderMap::append_span(uint32_t pos, Span value) {
  if (!room_for_extra()) return Result::kTooLarge;
  const uint32_t xi = extra_count_++;
  extras()[xi] = Extra{value, kNone};
  garbage_ -= value.len;
  Entry& e = entries()[pos];
  if (e.chain_tail == kNone)
    e.chain_head = xi;
  else
    extras()[e.chain_tail].next = xi;
  e.chain_tail = xi;
  ++e.count;
  ++values_;
  return Result::kOk;
}

void HeaderMap::release_value_chain(Entry& e) {
  for (uint32_t x = e.chain_head; x != kNone; x = extras()[x].next) {
    garbage_ += extras()[x].value.len;
    ++free_extras_;
  }
  e.chain_head = e.chain_tail = kNone;
}

HeaderMap::Result HeaderMap::set(std::string_view name, std::string_view value) {
  Result r = reserve_one();
  if (r != Result::kOk) return r;
  const uint32_t hash = hash_of(name);
  int32_t pos = find_hashed(name, hash);
  if (pos < 0) return append_entry_hashed(name, value, hash);
  Span v;
  if (!store(value, v)) return Result::kTooLarge;
  Entry& e = entries()[pos];
  garbage_ += e.value.len;
  release_value_chain(e);
  values_ -= e.count - 1;
  e.count = 1;
  e.value = v;
  maybe_compact();
  return Result::kOk;
}

bool HeaderMap::erase(std::string_view name) {
  if (entry_count_ == 0) return false;
  if (slot_count_ == 0) {
    const int32_t found = find_linear(name, hash_of(name));
    if (found < 0) return false;
    remove_entry(uint32_t(found));
    return true;
  }
  int32_t slot = find_slot(name, hash_of(name));
  if (slot < 0) return false;
  Slot* sl = slots();
  const uint32_t mask = slot_count_ - 1;
  const uint32_t pos = sl[slot].pos1 - 1u;

  // Backward-shift deletion keeps the Robin Hood invariant without tombstones.
  uint32_t j = uint32_t(slot);
  for (;;) {
    uint32_t k = (j + 1) & mask;
    const Slot s = sl[k];
    if (s.pos1 == 0 || ((k - (s.hash & mask)) & mask) == 0) {
      sl[j] = Slot{0, 0};
      break;
    }
    sl[j] = s;
    j = k;
  }

  const uint32_t last = entry_count_ - 1;
  if (pos != last) {
    // The last entry moves into the freed position; repoint its slot.
    const uint16_t h16 = static_cast<uint16_t>(entries()[last].hash);
    for (uint32_t i = h16 & mask;; i = (i + 1) & mask) {
      if (sl[i].pos1 == last + 1) {
        sl[i].pos1 = static_cast<uint16_t>(pos + 1);
        break;
      }
    }
  }
  remove_entry(pos);
  return true;
}

void HeaderMap::remove_entry(uint32_t pos) {
  Entry& e = entries()[pos];
  if (!(e.name.off & kStandardBit)) garbage_ += e.name.len;
  garbage_ += e.value.len;
  release_value_chain(e);
  values_ -= e.count;
  const uint32_t last = entry_count_ - 1;
  if (pos != last) entries()[pos] = entries()[last];
  --entry_count_;
  maybe_compact();
}

void HeaderMap::maybe_compact() {
  const bool arena_waste = garbage_ > 4096 && garbage_ > arena_size_ / 2;
  const bool extra_waste = free_extras_ > 64 && free_extras_ > extra_count_ / 2;
  if (!arena_waste && !extra_waste) return;
  // A new block holding only what is referenced; the old one is read while it is filled.
  const uint32_t live_extras = extra_count_ - free_extras_;
  const uint32_t live_bytes = arena_size_ - garbage_;
  char* nb =
      static_cast<char*>(std::malloc(block_size(entry_cap_, live_extras, slot_count_, live_bytes)));
  if (!nb) return;  // the waste stays until the next change
  Entry* ne = reinterpret_cast<Entry*>(nb);
  Extra* nx = reinterpret_cast<Extra*>(nb + entry_cap_ * sizeof(Entry));
  Slot* ns = reinterpret_cast<Slot*>(nb + entry_cap_ * sizeof(Entry) + live_extras * sizeof(Extra));
  char* na = reinterpret_cast<char*>(ns + slot_count_);
  uint32_t used = 0, xcount = 0;
  auto keep = [&](Span& s) {
    if (s.len) std::memcpy(na + used, arena() + s.off, s.len);
    s.off = used;
    used += s.len;
  };
  const Extra* ox = extras();
  for (uint32_t i = 0; i < entry_count_; ++i) {
    Entry e = entries()[i];
    if (!(e.name.off & kStandardBit)) keep(e.name);
    keep(e.value);
    uint32_t head = kNone, tail = kNone;
    for (uint32_t x = e.chain_head; x != kNone; x = ox[x].next) {
      Extra y{ox[x].value, kNone};
      keep(y.value);
      const uint32_t yi = xcount++;
      nx[yi] = y;
      if (tail == kNone)
        head = yi;
      else
        nx[tail].next = yi;
      tail = yi;
    }
    e.chain_head = head;
    e.chain_tail = tail;
    ne[i] = e;
  }
  std::memcpy(static_cast<void*>(ns), slots(), slot_count_ * sizeof(Slot));
  std::free(block_);
  block_ = nb;
  extra_cap_ = live_extras;
  extra_count_ = xcount;
  arena_cap_ = live_bytes;
  arena_size_ = used;
  garbage_ = 0;
  free_extras_ = 0;
}

bool HeaderMap::equals(const HeaderMap& other) const {
  if (this == &other) return true;
  if (values_ != other.values_) return false;
  for (uint32_t i = 0; i < entry_count_; ++i) {
    int32_t j = other.find(name(i));
    if (j < 0) return false;
    const Entry& a = entries()[i];
    const Entry& b = other.entries()[j];
    if (a.count != b.count) return false;
    if (view(a.value) != other.view(b.value)) return false;
    for (uint32_t x = a.chain_head, y = b.chain_head; x != kNone;
         x = extras()[x].next, y = other.extras()[y].next) {
      if (view(extras()[x].value) != other.view(other.extras()[y].value)) return false;
    }
  }
  return true;
}

size_t HeaderMap::heap_bytes() const {
  return block_ ? block_size(entry_cap_, extra_cap_, slot_count_, arena_cap_) : 0;
}

}  // namespace velmora::http
