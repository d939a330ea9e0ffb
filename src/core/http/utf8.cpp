#include "http/utf8.hpp"

#include <cstdint>

namespace velmora::http {
namespace {

// Length of the well-formed sequence at s[i], or 0 with `consumed` set to the length of the
// maximal subpart (at least 1) when it is ill-formed.
size_t sequence_at(std::string_view s, size_t i, size_t& consumed) {
  const uint8_t b0 = static_cast<uint8_t>(s[i]);
  consumed = 1;
  if (b0 < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0)
      lo = 0xA0;  // no overlong forms
    else if (b0 == 0xED)
      hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0)
      lo = 0x90;  // no overlong forms
    else if (b0 == 0xF4)
      hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const uint8_t b = static_cast<uint8_t>(s[i + k]);
    const uint8_t min = k == 1 ? lo : 0x80;
    const uint8_t max = k == 1 ? hi : 0xBF;
    if (b < min || b > max) return 0;
    consumed = k + 1;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t consumed;
    size_t n = sequence_at(s, i, consumed);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t consumed;
    size_t n = sequence_at(s, i, consumed);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += consumed;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace velmora::http
