#include "http/standard_headers.hpp"

#include <array>
#include <cstring>

namespace velmora::http {

namespace {

// Open-addressed table keyed by (length, first byte, last byte): a cheap key that separates
// the standard names well; the final memcmp decides.
constexpr size_t kSlots = 512;

constexpr uint32_t slot_of(size_t len, unsigned char first, unsigned char last) {
  return static_cast<uint32_t>((len * 31u + first * 7u + last * 131u) & (kSlots - 1));
}

struct Table {
  std::array<int16_t, kSlots> slot{};
  constexpr Table() {
    for (auto& s : slot) s = -1;
    for (int i = 0; i < kStandardHeaderCount; ++i) {
      std::string_view n = kStandardHeaders[i];
      uint32_t k = slot_of(n.size(), n.front(), n.back());
      while (slot[k] >= 0) k = (k + 1) & (kSlots - 1);
      slot[k] = static_cast<int16_t>(i);
    }
  }
};

constexpr Table kTable{};

}  // namespace

int find_standard_header(std::string_view s) noexcept {
  if (s.size() < 2 || s.size() > 32) return -1;
  uint32_t k = slot_of(s.size(), s.front(), s.back());
  for (;;) {
    int i = kTable.slot[k];
    if (i < 0) return -1;
    std::string_view n = kStandardHeaders[i];
    if (n.size() == s.size() && std::memcmp(n.data(), s.data(), s.size()) == 0) return i;
    k = (k + 1) & (kSlots - 1);
  }
}

}  // namespace velmora::http
