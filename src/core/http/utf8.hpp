// UTF-8 validation and lossy decoding (RFC 3629).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::http {

// The rule of a sequence's lead byte (RFC 3629 section 4): how many continuation bytes follow
// it and the range of the first of them (no overlong forms, no surrogates, nothing above
// U+10FFFF; the others are 80..BF). False when `b0` cannot start a multi-byte sequence.
inline bool utf8_lead(uint8_t b0, uint8_t& need, uint8_t& lo, uint8_t& hi) {
  lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    lo = b0 == 0xE0 ? 0xA0 : 0x80;
    hi = b0 == 0xED ? 0x9F : 0xBF;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    lo = b0 == 0xF0 ? 0x90 : 0x80;
    hi = b0 == 0xF4 ? 0x8F : 0xBF;
  } else {
    return false;
  }
  return true;
}

bool is_valid_utf8(std::string_view s);

// `s` with every ill-formed sequence replaced by U+FFFD, one replacement per maximal subpart
// (Unicode 15, section 3.9, "U+FFFD Substitution of Maximal Subparts").
std::string utf8_lossy(std::string_view s);

}  // namespace velmora::http
