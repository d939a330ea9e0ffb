#include "http/hash.hpp"

#include <cstring>
#include <random>

namespace velmora::http {
namespace {

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
  uint64_t w =
      uint64_t(uint8_t(p[0])) << 16 | uint64_t(uint8_t(p[n >> 1])) << 8 | uint8_t(p[n - 1]);
  return w;
}

inline uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct SipKey {
  uint64_t k0, k1;
};

const SipKey& sip_key() {
  static const SipKey key = [] {
    std::random_device rd;
    SipKey k{};
    k.k0 = (uint64_t(rd()) << 32) ^ rd();
    k.k1 = (uint64_t(rd()) << 32) ^ rd();
    return k;
  }();
  return key;
}

}  // namespace

uint32_t fast_hash(std::string_view s) noexcept {
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

uint32_t keyed_hash(std::string_view s) noexcept {
  const SipKey& key = sip_key();
  uint64_t v0 = 0x736f6d6570736575ull ^ key.k0;
  uint64_t v1 = 0x646f72616e646f6dull ^ key.k1;
  uint64_t v2 = 0x6c7967656e657261ull ^ key.k0;
  uint64_t v3 = 0x7465646279746573ull ^ key.k1;
  auto round = [&] {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  };
  const char* p = s.data();
  size_t n = s.size();
  const uint64_t b = uint64_t(n) << 56;
  while (n >= 8) {
    uint64_t m = load8(p);
    v3 ^= m;
    round();
    v0 ^= m;
    p += 8;
    n -= 8;
  }
  uint64_t m = b;
  for (size_t i = 0; i < n; ++i)
    m |= uint64_t(uint8_t(p[i])) << (8 * i);
  v3 ^= m;
  round();
  v0 ^= m;
  v2 ^= 0xff;
  round();
  round();
  round();
  uint64_t h = v0 ^ v1 ^ v2 ^ v3;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace velmora::http
