#include "http/standard_headers.hpp"

#include <array>

#include "http/hash.hpp"

namespace velmora::http {
namespace {

// Open-addressed table keyed by the names' fast hash, built on first use.
constexpr uint32_t kSlots = 512;

struct Table {
  std::array<int16_t, kSlots> slot;
  std::array<uint32_t, kStandardHeaderCount> hash;
  Table() {
    slot.fill(-1);
    for (int i = 0; i < kStandardHeaderCount; ++i) {
      hash[i] = fast_hash(kStandardHeaders[i]);
      uint32_t k = hash[i] & (kSlots - 1);
      while (slot[k] >= 0)
        k = (k + 1) & (kSlots - 1);
      slot[k] = static_cast<int16_t>(i);
    }
  }
};

// Built when the library loads, so that lookups need no first-use check.
const Table kTable;

const Table& table() {
  return kTable;
}

}  // namespace

int find_standard_header(std::string_view s, uint32_t fast) noexcept {
  if (s.size() < 2 || s.size() > 32) return -1;
  const Table& t = table();
  for (uint32_t k = fast & (kSlots - 1);; k = (k + 1) & (kSlots - 1)) {
    int i = t.slot[k];
    if (i < 0) return -1;
    if (t.hash[i] != fast) continue;
    std::string_view n = kStandardHeaders[i];
    if (n.size() == s.size() && same_bytes(n.data(), s.data(), s.size())) return i;
  }
}

uint32_t standard_header_hash(int id) noexcept {
  return table().hash[size_t(id)];
}

int find_standard_header(std::string_view s) noexcept {
  return find_standard_header(s, fast_hash(s));
}

}  // namespace velmora::http
