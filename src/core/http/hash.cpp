#include "http/hash.hpp"

#include <cstring>
#include <random>

namespace velmora::http {
namespace {

using hash_detail::load8;

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
