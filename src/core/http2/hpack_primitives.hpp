// HPACK integer representation (RFC 7541 section 5.1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::hpack {

enum class IntResult : uint8_t { kOk, kUnderflow, kOverflow };

// Decodes an integer with an N-bit prefix from p[0..n) (n >= 1). After a full prefix at most
// four continuation bytes are read; a fourth that still continues is an overflow.
inline IntResult decode_integer(const uint8_t* p, size_t n, int prefix_bits, uint32_t& value,
                                size_t& used) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  uint32_t v = p[0] & max_prefix;
  if (v < max_prefix) {
    value = v;
    used = 1;
    return IntResult::kOk;
  }
  for (size_t i = 1; i <= 4; ++i) {
    if (i >= n) return IntResult::kUnderflow;
    uint8_t b = p[i];
    v += uint32_t(b & 0x7f) << (7 * (i - 1));
    if (!(b & 0x80)) {
      value = v;
      used = i + 1;
      return IntResult::kOk;
    }
  }
  return IntResult::kOverflow;
}

// Appends `value` with an N-bit prefix; `first` holds the representation's pattern bits.
inline void encode_integer(uint64_t value, int prefix_bits, uint8_t first, std::string& out) {
  const uint32_t max_prefix = (1u << prefix_bits) - 1;
  if (value < max_prefix) {
    out.push_back(char(first | value));
    return;
  }
  out.push_back(char(first | max_prefix));
  value -= max_prefix;
  while (value >= 0x80) {
    out.push_back(char((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(char(value));
}

}  // namespace velmora::hpack
