#include "http/ip_address.hpp"

namespace velmora::http {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// One dec-octet: "0", or 1-3 digits without a leading zero, at most 255.
bool parse_octet(std::string_view s, uint8_t& out) {
  if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0')) return false;
  unsigned v = 0;
  for (char c : s) {
    if (!is_digit(c)) return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > 255) return false;
  out = uint8_t(v);
  return true;
}

bool parse_v4_into(std::string_view s, uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    size_t dot = i < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos) return false;
    if (!parse_octet(s.substr(0, dot), out[i])) return false;
    s.remove_prefix(i < 3 ? dot + 1 : dot);
  }
  return s.empty();
}

// One group of 1-4 hex digits.
bool parse_group(std::string_view s, uint16_t& out) {
  if (s.empty() || s.size() > 4) return false;
  unsigned v = 0;
  for (char c : s) {
    int h = hex_value(c);
    if (h < 0) return false;
    v = v * 16 + unsigned(h);
  }
  out = uint16_t(v);
  return true;
}

// Parses colon-separated groups into `words` (at most `max` 16-bit words); the last piece
// may be a dotted IPv4 address when `allow_v4_tail`. Empty text gives no words.
bool parse_groups(std::string_view s, bool allow_v4_tail, uint16_t* words, int max, int& count) {
  count = 0;
  if (s.empty()) return true;
  for (;;) {
    size_t colon = s.find(':');
    std::string_view piece = s.substr(0, colon);
    const bool last = colon == std::string_view::npos;
    if (last && allow_v4_tail && piece.find('.') != std::string_view::npos) {
      if (count + 2 > max) return false;
      uint8_t v4[4];
      if (!parse_v4_into(piece, v4)) return false;
      words[count++] = uint16_t(v4[0] << 8 | v4[1]);
      words[count++] = uint16_t(v4[2] << 8 | v4[3]);
      return true;
    }
    if (count + 1 > max || !parse_group(piece, words[count])) return false;
    ++count;
    if (last) return true;
    s.remove_prefix(colon + 1);
  }
}

}  // namespace

std::optional<IpAddress> parse_ipv4(std::string_view s) {
  IpAddress a;
  if (!parse_v4_into(s, a.bytes.data())) return std::nullopt;
  return a;
}

std::optional<IpAddress> parse_ipv6(std::string_view s) {
  uint16_t head[8], tail[8];
  int nhead = 0, ntail = 0;
  const size_t gap = s.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_groups(s, true, head, 8, nhead) || nhead != 8) return std::nullopt;
  } else {
    // "::" stands for one or more zero groups, so at most seven are written around it.
    std::string_view before = s.substr(0, gap);
    std::string_view after = s.substr(gap + 2);
    if (!parse_groups(before, false, head, 7, nhead)) return std::nullopt;
    if (!parse_groups(after, true, tail, 7 - nhead, ntail)) return std::nullopt;
  }
  IpAddress a;
  a.v6 = true;
  for (int i = 0; i < nhead; ++i) {
    a.bytes[2 * i] = uint8_t(head[i] >> 8);
    a.bytes[2 * i + 1] = uint8_t(head[i]);
  }
  for (int i = 0; i < ntail; ++i) {
    const int at = 8 - ntail + i;
    a.bytes[2 * at] = uint8_t(tail[i] >> 8);
    a.bytes[2 * at + 1] = uint8_t(tail[i]);
  }
  return a;
}

std::optional<IpAddress> parse_ip(std::string_view s) {
  if (s.find(':') != std::string_view::npos) return parse_ipv6(s);
  return parse_ipv4(s);
}

std::optional<IpNetwork> parse_ip_network(std::string_view s) {
  const size_t slash = s.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::optional<IpAddress> base = parse_ip(s.substr(0, slash));
  if (!base) return std::nullopt;
  std::string_view len = s.substr(slash + 1);
  if (len.empty() || len.size() > 3) return std::nullopt;
  unsigned prefix = 0;
  for (char c : len) {
    if (!is_digit(c)) return std::nullopt;
    prefix = prefix * 10 + unsigned(c - '0');
  }
  if (prefix > (base->v6 ? 128u : 32u)) return std::nullopt;
  return IpNetwork{*base, uint8_t(prefix)};
}

bool IpNetwork::contains(const IpAddress& a) const {
  if (a.v6 != base.v6) return false;
  const unsigned whole = prefix / 8, bits = prefix % 8;
  for (unsigned i = 0; i < whole; ++i)
    if (a.bytes[i] != base.bytes[i]) return false;
  if (bits == 0) return true;
  const uint8_t mask = uint8_t(0xFF << (8 - bits));
  return (a.bytes[whole] & mask) == (base.bytes[whole] & mask);
}

}  // namespace velmora::http
