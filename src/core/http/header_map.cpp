#include "http/header_map.hpp"

#include <cstring>

#include "http/hash.hpp"
#include "http/standard_headers.hpp"

namespace velmora::http {
namespace {

// An insertion that displaces more occupants than this, or (with the unkeyed hash) probes more
// slots than kMaxProbe, marks the index as under attack.
constexpr uint32_t kMaxShift = 127;
constexpr uint32_t kMaxProbe = 511;
// Arena offsets stay below the standard-name bit.
constexpr size_t kMaxArena = 0x7fffffffu;

}  // namespace

uint32_t HeaderMap::hash_of(std::string_view name) const {
  return keyed_ ? keyed_hash(name) : fast_hash(name);
}

std::string_view HeaderMap::name(uint32_t entry) const {
  const Span& s = entries_[entry].name;
  if (s.off & kStandardBit) return kStandardHeaders[s.off & ~kStandardBit];
  return view(s);
}

int HeaderMap::standard_id(uint32_t entry) const {
  const Span& s = entries_[entry].name;
  return (s.off & kStandardBit) ? int(s.off & ~kStandardBit) : -1;
}

std::string_view HeaderMap::first_value(uint32_t entry) const {
  return view(entries_[entry].value);
}

uint32_t HeaderMap::value_count(uint32_t entry) const {
  return entries_[entry].count;
}

bool HeaderMap::store(std::string_view bytes, Span& out) {
  if (bytes.size() > kMaxArena - arena_.size()) return false;
  out.off = static_cast<uint32_t>(arena_.size());
  out.len = static_cast<uint32_t>(bytes.size());
  arena_.append(bytes.data(), bytes.size());
  return true;
}

int32_t HeaderMap::find_slot(std::string_view name, uint32_t hash) const {
  const uint32_t mask = uint32_t(slots_.size()) - 1;
  const uint16_t h16 = static_cast<uint16_t>(hash);
  uint32_t i = h16 & mask;
  for (uint32_t dist = 0;; ++dist, i = (i + 1) & mask) {
    const Slot s = slots_[i];
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
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (e.hash != hash || e.name.len != name.size()) continue;
    const char* n = (e.name.off & kStandardBit)
                        ? kStandardHeaders[e.name.off & ~kStandardBit].data()
                        : arena_.data() + e.name.off;
    if (same_bytes(n, name.data(), name.size())) return int32_t(i);
  }
  return -1;
}

int32_t HeaderMap::find(std::string_view name) const {
  if (entries_.empty()) return -1;
  return find_hashed(name, hash_of(name));
}

int32_t HeaderMap::find_hashed(std::string_view name, uint32_t hash) const {
  if (slots_.empty()) return find_linear(name, hash);
  int32_t slot = find_slot(name, hash);
  return slot < 0 ? -1 : int32_t(slots_[slot].pos1) - 1;
}

int32_t HeaderMap::find_standard(int id) const {
  if (slots_.empty()) {
    // Standard names are always stored by id (append_entry_hashed, add_parsed).
    const uint32_t want = kStandardBit | uint32_t(id);
    for (uint32_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].name.off == want) return int32_t(i);
    return -1;
  }
  const std::string_view n = kStandardHeaders[id];
  const uint32_t hash = keyed_ ? keyed_hash(n) : standard_header_hash(id);
  const uint32_t mask = uint32_t(slots_.size()) - 1;
  const uint16_t h16 = static_cast<uint16_t>(hash);
  const uint32_t want = kStandardBit | uint32_t(id);
  uint32_t i = h16 & mask;
  for (uint32_t dist = 0;; ++dist, i = (i + 1) & mask) {
    const Slot s = slots_[i];
    if (s.pos1 == 0) return -1;
    if (((i - (s.hash & mask)) & mask) < dist) return -1;
    // Standard names are always stored by id (append_entry_hashed, add_parsed).
    if (s.hash == h16 && entries_[s.pos1 - 1u].name.off == want) return int32_t(s.pos1) - 1;
  }
}

void HeaderMap::insert_slot(uint32_t pos, uint32_t hash) {
  const uint32_t mask = uint32_t(slots_.size()) - 1;
  Slot cur{static_cast<uint16_t>(pos + 1), static_cast<uint16_t>(hash)};
  uint32_t i = cur.hash & mask;
  uint32_t dist = 0, probes = 0, shifts = 0;
  bool displacing = false;
  for (;; i = (i + 1) & mask, ++dist, ++probes) {
    Slot& s = slots_[i];
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

void HeaderMap::rebuild_index(uint32_t slots, bool keyed) {
  if (keyed != keyed_) {
    keyed_ = keyed;
    for (Entry& e : entries_)
      e.hash = hash_of(name(uint32_t(&e - entries_.data())));
  }
  slots_.assign(slots, Slot{0, 0});
  for (uint32_t i = 0; i < entries_.size(); ++i)
    insert_slot(i, entries_[i].hash);
}

uint32_t HeaderMap::slots_for(size_t names) {
  uint32_t slots = kInitialSlots;
  while (slots < kMaxSlots && names >= slots - slots / 4)
    slots *= 2;
  return slots;
}

void HeaderMap::reserve(size_t names, size_t bytes) {
  if (names > kMaxNames) names = kMaxNames;
  entries_.reserve(names);
  if (bytes <= kMaxArena) arena_.reserve(bytes);
  // A map that will hold more names than a scan suits gets its index at once.
  if (slots_.empty() && names > kLinearNames) rebuild_index(slots_for(names), keyed_);
}

HeaderMap::Result HeaderMap::reserve_one() {
  if (slots_.empty()) {
    // Up to kLinearNames names are found by a scan of the entries; the index is built when
    // one more would exceed that, at the size the growth rule gives for the names held.
    if (entries_.size() < kLinearNames) return Result::kOk;
    rebuild_index(slots_for(entries_.size()), keyed_);
    return Result::kOk;
  }
  uint32_t cap = uint32_t(slots_.size());
  if (under_attack_) {
    if (!keyed_ && entries_.size() * 5 < cap) {
      under_attack_ = false;
      rebuild_index(cap, true);
    } else {
      if (cap * 2 > kMaxSlots) return Result::kFull;
      under_attack_ = false;
      rebuild_index(cap * 2, keyed_);
      cap *= 2;
    }
  }
  if (entries_.size() >= cap - cap / 4) {
    if (cap * 2 > kMaxSlots) return Result::kFull;
    rebuild_index(cap * 2, keyed_);
  }
  return Result::kOk;
}

HeaderMap::Result HeaderMap::append_entry(std::string_view name, std::string_view value) {
  return append_entry_hashed(name, value, hash_of(name));
}

HeaderMap::Result HeaderMap::append_entry_hashed(std::string_view name, std::string_view value,
                                                 uint32_t hash) {
  return append_entry_id(name, value, hash,
                         find_standard_header(name, keyed_ ? fast_hash(name) : hash));
}

HeaderMap::Result HeaderMap::append_entry_id(std::string_view name, std::string_view value,
                                             uint32_t hash, int id) {
  Entry e;
  size_t need = value.size() + (id < 0 ? name.size() : 0);
  if (need > kMaxArena - arena_.size()) return Result::kTooLarge;
  if (id >= 0) {
    e.name = Span{kStandardBit | uint32_t(id), uint32_t(name.size())};
  } else {
    store(name, e.name);
  }
  store(value, e.value);
  e.hash = hash;
  entries_.push_back(e);
  if (!slots_.empty()) insert_slot(uint32_t(entries_.size() - 1), e.hash);
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
  Result r = reserve_one();
  if (r != Result::kOk) return r;
  const uint32_t hash = keyed_ ? keyed_hash(name) : fast;
  int32_t pos = find_hashed(name, hash);
  if (pos < 0) return append_entry_id(name, value, hash, id);
  return append_value(uint32_t(pos), value);
}

HeaderMap::Result HeaderMap::add_standard(int id, std::string_view value) {
  Result r = reserve_one();
  if (r != Result::kOk) return r;
  int32_t pos = find_standard(id);
  if (pos >= 0) return append_value(uint32_t(pos), value);
  const std::string_view name = kStandardHeaders[id];
  return append_entry_id(name, value, keyed_ ? keyed_hash(name) : standard_header_hash(id), id);
}

HeaderMap::Result HeaderMap::append_value(uint32_t pos, std::string_view value) {
  Extra x;
  if (!store(value, x.value)) return Result::kTooLarge;
  const uint32_t xi = uint32_t(extras_.size());
  extras_.push_back(x);
  Entry& e = entries_[pos];
  if (e.chain_tail == kNone)
    e.chain_head = xi;
  else
    extras_[e.chain_tail].next = xi;
  e.chain_tail = xi;
  ++e.count;
  ++values_;
  return Result::kOk;
}

HeaderMap::Result HeaderMap::add_parsed(const std::string_view* names,
                                        const std::string_view* values, size_t n) {
  // One pass for the hashes, the standard-name ids and the exact arena size (a standard name
  // takes no arena bytes), then the pairs in order exactly as add() would insert them.
  constexpr size_t kStack = 128;
  uint32_t stack_hash[kStack];
  int16_t stack_id[kStack];
  std::vector<uint32_t> heap_hash;
  std::vector<int16_t> heap_id;
  uint32_t* hashes = stack_hash;
  int16_t* ids = stack_id;
  if (n > kStack) {
    heap_hash.resize(n);
    heap_id.resize(n);
    hashes = heap_hash.data();
    ids = heap_id.data();
  }
  size_t bytes = arena_.size();
  for (size_t i = 0; i < n; ++i) {
    hashes[i] = fast_hash(names[i]);
    ids[i] = static_cast<int16_t>(find_standard_header(names[i], hashes[i]));
    bytes += values[i].size() + (ids[i] < 0 ? names[i].size() : 0);
  }
  reserve(entries_.size() + n, bytes);
  // When the index (or the scan) already has room for every name, reserve_one() would change
  // nothing: it is called only if room is short, or once the index marked itself as under
  // attack.
  const size_t most = entries_.size() + n;  // distinct names once all are added, at most
  const size_t cap = slots_.size();
  const bool roomy = cap == 0 ? most <= kLinearNames : most - 1 < cap - cap / 4;
  for (size_t i = 0; i < n; ++i) {
    if (!roomy || under_attack_) {
      Result r = reserve_one();
      if (r != Result::kOk) return r;
    }
    Result r;
    const uint32_t hash = keyed_ ? keyed_hash(names[i]) : hashes[i];
    int32_t pos = find_hashed(names[i], hash);
    r = pos < 0 ? append_entry_id(names[i], values[i], hash, ids[i])
                : append_value(uint32_t(pos), values[i]);
    if (r != Result::kOk) return r;
  }
  return Result::kOk;
}

void HeaderMap::release_value_chain(Entry& e) {
  for (uint32_t x = e.chain_head; x != kNone; x = extras_[x].next) {
    garbage_ += extras_[x].value.len;
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
  Entry& e = entries_[pos];
  garbage_ += e.value.len;
  release_value_chain(e);
  values_ -= e.count - 1;
  e.count = 1;
  e.value = v;
  maybe_compact();
  return Result::kOk;
}

bool HeaderMap::erase(std::string_view name) {
  if (entries_.empty()) return false;
  if (slots_.empty()) {
    const int32_t found = find_linear(name, hash_of(name));
    if (found < 0) return false;
    remove_entry(uint32_t(found));
    return true;
  }
  int32_t slot = find_slot(name, hash_of(name));
  if (slot < 0) return false;
  const uint32_t mask = uint32_t(slots_.size()) - 1;
  const uint32_t pos = slots_[slot].pos1 - 1u;

  // Backward-shift deletion keeps the Robin Hood invariant without tombstones.
  uint32_t j = uint32_t(slot);
  for (;;) {
    uint32_t k = (j + 1) & mask;
    const Slot s = slots_[k];
    if (s.pos1 == 0 || ((k - (s.hash & mask)) & mask) == 0) {
      slots_[j] = Slot{0, 0};
      break;
    }
    slots_[j] = s;
    j = k;
  }

  const uint32_t last = uint32_t(entries_.size() - 1);
  if (pos != last) {
    // The last entry moves into the freed position; repoint its slot.
    const uint16_t h16 = static_cast<uint16_t>(entries_[last].hash);
    for (uint32_t i = h16 & mask;; i = (i + 1) & mask) {
      if (slots_[i].pos1 == last + 1) {
        slots_[i].pos1 = static_cast<uint16_t>(pos + 1);
        break;
      }
    }
  }
  remove_entry(pos);
  return true;
}

void HeaderMap::remove_entry(uint32_t pos) {
  Entry& e = entries_[pos];
  if (!(e.name.off & kStandardBit)) garbage_ += e.name.len;
  garbage_ += e.value.len;
  release_value_chain(e);
  values_ -= e.count;
  const uint32_t last = uint32_t(entries_.size() - 1);
  if (pos != last) entries_[pos] = entries_[last];
  entries_.pop_back();
  maybe_compact();
}

void HeaderMap::maybe_compact() {
  const bool arena_waste = garbage_ > 4096 && garbage_ > arena_.size() / 2;
  const bool extra_waste = free_extras_ > 64 && free_extras_ > extras_.size() / 2;
  if (!arena_waste && !extra_waste) return;
  std::string arena;
  arena.reserve(arena_.size() - garbage_);
  std::vector<Extra> extras;
  extras.reserve(extras_.size() - free_extras_);
  auto keep = [&](Span& s) {
    uint32_t off = uint32_t(arena.size());
    arena.append(arena_.data() + s.off, s.len);
    s.off = off;
  };
  for (Entry& e : entries_) {
    if (!(e.name.off & kStandardBit)) keep(e.name);
    keep(e.value);
    uint32_t head = kNone, tail = kNone;
    for (uint32_t x = e.chain_head; x != kNone; x = extras_[x].next) {
      Extra nx{extras_[x].value, kNone};
      keep(nx.value);
      uint32_t ni = uint32_t(extras.size());
      extras.push_back(nx);
      if (tail == kNone)
        head = ni;
      else
        extras[tail].next = ni;
      tail = ni;
    }
    e.chain_head = head;
    e.chain_tail = tail;
  }
  arena_.swap(arena);
  extras_.swap(extras);
  garbage_ = 0;
  free_extras_ = 0;
}

bool HeaderMap::equals(const HeaderMap& other) const {
  if (this == &other) return true;
  if (values_ != other.values_) return false;
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    int32_t j = other.find(name(i));
    if (j < 0) return false;
    const Entry& a = entries_[i];
    const Entry& b = other.entries_[j];
    if (a.count != b.count) return false;
    if (view(a.value) != other.view(b.value)) return false;
    for (uint32_t x = a.chain_head, y = b.chain_head; x != kNone;
         x = extras_[x].next, y = other.extras_[y].next) {
      if (view(extras_[x].value) != other.view(other.extras_[y].value)) return false;
    }
  }
  return true;
}

size_t HeaderMap::heap_bytes() const {
  size_t arena = arena_.capacity() > 15 ? arena_.capacity() + 1 : 0;  // beyond the SSO buffer
  return entries_.capacity() * sizeof(Entry) + extras_.capacity() * sizeof(Extra) +
         slots_.capacity() * sizeof(Slot) + arena;
}

}  // namespace velmora::http
