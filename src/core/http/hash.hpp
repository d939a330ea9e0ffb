// Hashes for header-name lookup: a fast unkeyed mix for ordinary input and SipHash-1-3 with a
// random per-process key for maps that have seen colliding names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmora::http {

namespace hash_detail {

inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);  // host byte order: it only affects hash values
  return w;
}

inline uint32_t load4(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// The last n (1..7) bytes at p as one word, without reading outside them.
inline uint64_t load_tail(const char* p, size_t n) {
  if (n >= 4) return (uint64_t(load4(p)) << 32) | load4(p + n - 4);
  return uint64_t(uint8_t(p[0])) << 16 | uint64_t(uint8_t(p[n >> 1])) << 8 | uint8_t(p[n - 1]);
}

}  // namespace hash_detail

// Inline: every header name a map stores or looks up is hashed once.
inline uint32_t fast_hash(std::string_view s) noexcept {
  using namespace hash_detail;
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * 0xff51afd7ed558ccdull);
  while (n > 8) {
    h = (h ^ load8(p)) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
    p += 8;
    n -= 8;
  }
  if (n) {
    h = (h ^ (n == 8 ? load8(p) : load_tail(p, n))) * 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
  }
  h *= 0x94d049bb133111ebull;
  h ^= h >> 32;
  return static_cast<uint32_t>(h);
}
uint32_t keyed_hash(std::string_view s) noexcept;

}  // namespace velmora::http
