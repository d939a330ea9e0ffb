// The HPACK static table (RFC 7541 Appendix A) and its lookups for the encoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <string_view>

#include "http2/hpack_tables.hpp"

namespace velmora::hpack {

inline constexpr uint32_t kStaticTableSize = 61;

// Entry `index`, 1-based; the caller checks 1 <= index <= 61.
inline const StaticEntry& static_entry(uint32_t index) {
  return kStaticTable[index - 1];
}

// Hash of a field name, shared by the static-table index and the encoder's caches. It reads
// only the length and the first and last eight bytes (a constant cost); the lookups compare the
// names themselves, so names that share those bytes merely collide.
constexpr uint64_t load_le(std::string_view s, size_t at, size_t n) {
  uint64_t w = 0;
  if (std::is_constant_evaluated()) {
    for (size_t k = 0; k < n; ++k)
      w |= uint64_t(uint8_t(s[at + k])) << (8 * k);
    return w;
  }
  // The same value from fixed-size loads (overlapping ones put the same byte at the same
  // place), without a call for a variable-length copy.
  const char* p = s.data() + at;
  if (n == 8) {
    std::memcpy(&w, p, 8);
  } else if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    w = lo | uint64_t(hi) << (8 * (n - 4));
  } else if (n != 0) {
    w = uint64_t(uint8_t(p[0])) | uint64_t(uint8_t(p[n / 2])) << (8 * (n / 2)) |
        uint64_t(uint8_t(p[n - 1])) << (8 * (n - 1));
  }
  return w;
}
constexpr uint32_t name_hash(std::string_view s) {
  size_t n = s.size() < 8 ? s.size() : 8;
  uint64_t h = (load_le(s, 0, n) * 0x9e3779b97f4a7c15ull) ^
               ((load_le(s, s.size() - n, n) + s.size()) * 0xff51afd7ed558ccdull);
  return uint32_t(h ^ (h >> 31) ^ (h >> 47));
}

// Looks `name` (whose name_hash is `hash`) and `value` up: returns the index of an entry
// matching both and sets `exact`, else the first index with the name, else 0.
uint32_t static_find(std::string_view name, uint32_t hash, std::string_view value, bool& exact);

}  // namespace velmora::hpack
