#include "http/base64.hpp"

#include <cstdint>

namespace velmora::http {

std::string base64_encode(std::string_view data) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(data[i])) << 16 | uint32_t(uint8_t(data[i + 1])) << 8 |
                       uint32_t(uint8_t(data[i + 2]));
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  const size_t rest = data.size() - i;
  if (rest == 0) return out;
  uint32_t v = uint32_t(uint8_t(data[i])) << 16;
  if (rest == 2) v |= uint32_t(uint8_t(data[i + 1])) << 8;
  out.push_back(kAlphabet[v >> 18]);
  out.push_back(kAlphabet[(v >> 12) & 63]);
  out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
  out.push_back('=');
  return out;
}

}  // namespace velmora::http
