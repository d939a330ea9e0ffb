#include "http2/hpack_static_table.hpp"

#include <array>

namespace velmora::hpack {
namespace {

constexpr uint32_t kSlots = 128;

// Open-addressed index from name to the first static entry with that name (entries of one name
// are consecutive in the table).
struct NameIndex {
  std::array<uint8_t, kSlots> slot{};  // static index, 0 for empty
  constexpr NameIndex() {
    for (uint32_t i = 1; i <= kStaticTableSize; ++i) {
      std::string_view n = kStaticTable[i - 1].name;
      if (i > 1 && kStaticTable[i - 2].name == n) continue;
      uint32_t at = name_hash(n) % kSlots;
      while (slot[at] != 0)
        at = (at + 1) % kSlots;
      slot[at] = uint8_t(i);
    }
  }
};

constexpr NameIndex kIndex;

}  // namespace

uint32_t static_find(std::string_view name, uint32_t hash, std::string_view value, bool& exact) {
  exact = false;
  uint32_t at = hash % kSlots;
  for (;;) {
    uint32_t i = kIndex.slot[at];
    if (i == 0) return 0;
    if (kStaticTable[i - 1].name == name) {
      for (uint32_t j = i; j <= kStaticTableSize && kStaticTable[j - 1].name == name; ++j) {
        if (kStaticTable[j - 1].value == value) {
          exact = true;
          return j;
        }
      }
      return i;
    }
    at = (at + 1) % kSlots;
  }
}

}  // namespace velmora::hpack
