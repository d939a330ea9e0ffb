// Ordered, case-insensitive, multi-valued header collection.
//
// Layout: one entry per distinct name in first-insertion order (name, first value, a chain of
// further values), all bytes in one arena, and a Robin Hood hash index of 16-bit slots from name
// to entry. The entries, the chain links, the index and the arena share one heap block, so a
// map costs one allocation (a parsed head's map is sized exactly, once). Callers pass names
// already validated and lower-cased and values already validated (chars.hpp); this class only
// stores and orders them.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "http/raw_field.hpp"

namespace velmora::http {

class HeaderMap {
 public:
  static constexpr uint32_t kInitialSlots = 8;
  static constexpr uint32_t kMaxSlots = 32768;
  static constexpr uint32_t kMaxNames = kMaxSlots - kMaxSlots / 4;  // 24576
  // Maps of up to this many names have no index: a scan of the entries (comparing stored
  // hashes first) is cheaper than building and probing one.
  static constexpr uint32_t kLinearNames = 8;

  enum class Result : uint8_t { kOk, kFull, kTooLarge };

  HeaderMap() = default;
  HeaderMap(const HeaderMap& o);
  HeaderMap(HeaderMap&& o) noexcept;
  HeaderMap& operator=(const HeaderMap& o);
  HeaderMap& operator=(HeaderMap&& o) noexcept;
  ~HeaderMap();

  // Capacity hint before adding about `names` pairs holding `bytes` bytes in all.
  void reserve(size_t names, size_t bytes);

  // Makes room for one more distinct name; kFull when the index would outgrow kMaxSlots.
  Result reserve_one();

  // Appends `value` under `name` (a new entry at the end, or the name's chain).
  Result add(std::string_view name, std::string_view value);
  // add() for a name whose fast_hash and standard id (find_standard_header, -1 for none) the
  // caller has already computed.
  Result add_known(std::string_view name, uint32_t fast, int id, std::string_view value);
  // add() for the standard name kStandardHeaders[id].
  Result add_standard(int id, std::string_view value);
  // Replaces all values of `name` with `value`, keeping the name's position.
  Result set(std::string_view name, std::string_view value);
  // Removes `name` and its values; the last entry takes the freed position. False if absent.
  bool erase(std::string_view name);

  // Entry position of `name`, or -1.
  int32_t find(std::string_view name) const;
  // Entry position of the standard name kStandardHeaders[id], or -1: no hashing of the name
  // while the index uses the unkeyed hash, and entries are matched by their standard id.
  int32_t find_standard(int id) const;
  // Appends a new entry; the caller has called reserve_one() and checked that find() fails.
  Result append_entry(std::string_view name, std::string_view value);

  // Hash of `name` for this map's index; pass it to the *_hashed forms to hash a name once.
  uint32_t hash_of(std::string_view name) const;
  int32_t find_hashed(std::string_view name, uint32_t hash) const;
  Result append_entry_hashed(std::string_view name, std::string_view value, uint32_t hash);

  // Adds `n` pairs in order exactly as add() would (pair by pair).
  Result add_parsed(const std::string_view* names, const std::string_view* values, size_t n);

  // Builds this new, empty map from the fields of a parsed header block in one pass over one
  // copy of it: `block` is copied into the storage once, and each field not marked in `skip`
  // (which may be null) is stored in order as add() would store it, its name lower-cased in
  // place there (a name's bytes must be token characters), hashed, recognised, and found or
  // entered with one probe, its value left where it is. The fields' offsets count from `base`
  // (the offset of the block's first byte in the buffer they were found in). Unreferenced bytes
  // of the block (separators, standard names, fields left out) count as garbage for compaction.
  // kTooLarge when the map is not new and empty or memory is short.
  Result add_block(std::string_view block, uint32_t base, const RawField* fields, size_t n,
                   const bool* skip);

  uint32_t size() const { return values_; }  // all values
  uint32_t name_count() const { return entry_count_; }
  bool empty() const { return values_ == 0; }

  std::string_view name(uint32_t entry) const;
  // Index into kStandardHeaders, or -1 for a name stored in the arena.
  int standard_id(uint32_t entry) const;
  std::string_view first_value(uint32_t entry) const { return view(entries()[entry].value); }
  uint32_t value_count(uint32_t entry) const;

  // Calls f(value) for every value of an entry, first value first.
  template <class F>
  void for_each_value(uint32_t entry, F&& f) const {
    const Entry& e = entries()[entry];
    f(view(e.value));
    for (uint32_t x = e.chain_head; x != kNone; x = extras()[x].next)
      f(view(extras()[x].value));
  }

  // Calls f(entry, value) for every pair in listing order (names in entry order, each followed
  // by all of its values).
  template <class F>
  void for_each(F&& f) const {
    for (uint32_t i = 0; i < entry_count_; ++i)
      for_each_value(i, [&](std::string_view v) { f(i, v); });
  }

  // Same length, and the same value sequence under every name; name order is ignored.
  bool equals(const HeaderMap& other) const;

  // True once the index has switched to the keyed hash after colliding names.
  bool keyed() const { return keyed_; }
  uint32_t slot_count() const { return slot_count_; }

  // Bytes held by this map's own storage (for memory accounting).
  size_t heap_bytes() const;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kStandardBit = 0x80000000u;

  struct Span {
    uint32_t off = 0;
    uint32_t len = 0;
  };
  struct Entry {
    Span name;   // name.off has kStandardBit set for a standard name (off = its index)
    Span value;  // first value
    uint32_t chain_head = kNone;
    uint32_t chain_tail = kNone;
    uint32_t hash = 0;
    uint32_t count = 1;
  };
  struct Extra {
    Span value;
    uint32_t next = kNone;
  };
  struct Slot {
    uint16_t pos1;  // entry position + 1; 0 marks an empty slot
    uint16_t hash;  // low 16 bits of the name hash (the ideal slot is hash & mask)
  };

  // The block: Entry[entry_cap_], Extra[extra_cap_], Slot[slot_count_], char[arena_cap_].
  Entry* entries() const { return reinterpret_cast<Entry*>(block_); }
  Extra* extras() const { return reinterpret_cast<Extra*>(block_ + entry_cap_ * sizeof(Entry)); }
  Slot* slots() const {
    return reinterpret_cast<Slot*>(block_ + entry_cap_ * sizeof(Entry) +
                                   extra_cap_ * sizeof(Extra));
  }
  char* arena() const {
    return block_ + entry_cap_ * sizeof(Entry) + extra_cap_ * sizeof(Extra) +
           slot_count_ * sizeof(Slot);
  }
  static size_t block_size(uint32_t entries, uint32_t extras, uint32_t slots, size_t arena) {
    return entries * sizeof(Entry) + extras * sizeof(Extra) + slots * sizeof(Slot) + arena;
  }
  // Moves the storage into a new block of the given capacities (each at least what is in use).
  // The index slots are copied when their count is unchanged, otherwise left empty for the
  // caller to rebuild. False when memory is short.
  bool reshape(uint32_t entries, uint32_t extras, uint32_t slots, size_t arena);
  // Room for one more entry, one more extra, or `bytes` more arena bytes.
  bool room_for_entry() { return entry_count_ < entry_cap_ || grow_entries(); }
  bool room_for_extra() { return extra_count_ < extra_cap_ || grow_extras(); }
  bool room_for_bytes(size_t bytes) {
    return bytes <= arena_cap_ - arena_size_ || grow_arena(bytes);
  }
  bool grow_entries();
  bool grow_extras();
  bool grow_arena(size_t bytes);
  void release();
  // add_block() for a field past the sizes it chose.
  Result add_block_slow(Span name, uint32_t fast, int id, Span value);

  // append_value() for a value already in the arena.
  Result append_span(uint32_t pos, Span value);

  std::string_view view(Span s) const { return {arena() + s.off, s.len}; }
  bool store(std::string_view bytes, Span& out);
  // store() where room_for_bytes() was checked.
  Span put(std::string_view bytes) {
    const Span out{arena_size_, uint32_t(bytes.size())};
    if (!bytes.empty()) std::memcpy(arena() + arena_size_, bytes.data(), bytes.size());
    arena_size_ += out.len;
    return out;
  }
  void insert_slot(uint32_t pos, uint32_t hash);
  // One probe for both: the entry position of `name` (whose standard id is `id`, -1 for none)
  // if the index holds it, otherwise -1 after entering `new_pos` (the entry the caller appends
  // next) under `hash`.
  int32_t find_or_insert_slot(std::string_view name, uint32_t hash, uint32_t new_pos, int id);
  // Appends a new entry; `indexed`: the index already holds its slot (find_or_insert_slot()).
  Result append_entry_id(std::string_view name, std::string_view value, uint32_t hash, int id,
                         bool indexed = false);
  Result append_value(uint32_t pos, std::string_view value);
  int32_t find_slot(std::string_view name, uint32_t hash) const;
  int32_t find_linear(std::string_view name, uint32_t hash) const;
  // Slots of an index holding `names` names under the growth rule (8 first, doubling at 3/4).
  static uint32_t slots_for(size_t names);
  // Drops entry `pos` and its values; the last entry takes its position (index not updated).
  void remove_entry(uint32_t pos);
  void rebuild_index(uint32_t slots, bool keyed);
  void release_value_chain(Entry& e);
  void maybe_compact();

  char* block_ = nullptr;
  uint32_t entry_cap_ = 0, entry_count_ = 0;
  uint32_t extra_cap_ = 0, extra_count_ = 0;
  uint32_t slot_count_ = 0;  // 0: no index (a small map is scanned)
  uint32_t arena_cap_ = 0, arena_size_ = 0;
  uint32_t values_ = 0;
  uint32_t garbage_ = 0;       // arena bytes no longer referenced
  uint32_t free_extras_ = 0;   // extras no longer referenced
  bool keyed_ = false;         // the index uses the keyed hash
  bool under_attack_ = false;  // long probes seen: rebuild or grow at the next reserve
};

}  // namespace velmora::http
