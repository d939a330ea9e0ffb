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
  uint8_t need, lo, hi;  // lo..hi: the range of the second byte
  if (!utf8_lead(b0, need, lo, hi)) return 0;
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
