#include "http2/header_block.hpp"

#include "http/chars.hpp"
#include "http2/send_fields.hpp"

namespace velmora::http2 {
namespace {

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    uint32_t cp;
    if ((c & 0xe0) == 0xc0)
      n = 1, cp = c & 0x1f;
    else if ((c & 0xf0) == 0xe0)
      n = 2, cp = c & 0x0f;
    else if ((c & 0xf8) == 0xf0)
      n = 3, cp = c & 0x07;
    else
      return false;
    if (end - p <= n) return false;
    for (int i = 1; i <= n; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3f);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    p += n + 1;
  }
  return true;
}

// A regular field name: token characters, no upper case (RFC 9113 section 8.2.1).
bool valid_name(std::string_view n) {
  if (!http::is_valid_field_name(n)) return false;
  for (char c : n)
    if (c >= 'A' && c <= 'Z') return false;
  return true;
}

// A field value: no NUL, CR, LF or other controls, no leading or trailing whitespace.
bool valid_value(std::string_view v) {
  if (!http::is_valid_field_value(v)) return false;
  if (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t'))
    return false;
  return true;
}

std::optional<uint64_t> parse_u64(std::string_view s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + uint64_t(c - '0');
  }
  return v;
}

constexpr uint8_t kStatusBit = 0x80;

}  // namespace

hpack::Error HeaderBlock::field(std::string_view name, std::string_view value, bool) {
  if (!name.empty() && name[0] == ':') {
    int which = -1;
    std::string_view rest = name.substr(1);
    if (rest == "method")
      which = kMethod;
    else if (rest == "scheme")
      which = kScheme;
    else if (rest == "authority")
      which = kAuthority;
    else if (rest == "path")
      which = kPath;
    else if (rest == "protocol")
      which = kProtocol;
    else if (rest != "status") {
      // An unknown pseudo-header field (RFC 9113 section 8.3): a malformed message, not a
      // decoding failure; the block is still decoded to its end.
      malformed_ = true;
      return hpack::Error::kNone;
    }
    // Pseudo-header fields come first, once each, and belong to one kind of message.
    if (regular_seen_) malformed_ = true;
    if (which < 0) {
      if (value.size() != 3 || value[0] < '1' || value[0] > '9' || value[1] < '0' ||
          value[1] > '9' || value[2] < '0' || value[2] > '9') {
        malformed_ = true;
        return hpack::Error::kNone;
      }
      if (present_ & kStatusBit) malformed_ = true;
      present_ |= kStatusBit;
      status_ = (value[0] - '0') * 100 + (value[1] - '0') * 10 + (value[2] - '0');
      if (requests_) malformed_ = true;
      return hpack::Error::kNone;
    }
    if (!valid_utf8(value)) malformed_ = true;
    if (has(Pseudo(which))) malformed_ = true;
    if (!requests_) malformed_ = true;
    if (!valid_value(value)) malformed_ = true;
    present_ |= uint8_t(1u << which);
    spans_[which] = Span{uint32_t(arena_.size()), uint32_t(value.size())};
    arena_.append(value);
    return hpack::Error::kNone;
  }
  regular_seen_ = true;
  if (malformed_) return hpack::Error::kNone;  // the block is lost; just keep decoding
  if (!valid_name(name) || !valid_value(value) || is_connection_specific(name, value)) {
    malformed_ = true;
    return hpack::Error::kNone;
  }
  if (name.size() == 14 && name == "content-length") {
    // Several fields must agree on one value (RFC 9110 section 8.6).
    std::optional<uint64_t> n = parse_u64(value);
    if (!content_length_seen_) {
      content_length_seen_ = true;
      content_length_ = n;
      content_length_invalid_ = !n;
    } else if (n != content_length_) {
      content_length_invalid_ = true;
    }
  }
  if (fields_.add(name, value) != http::HeaderMap::Result::kOk) malformed_ = true;
  return hpack::Error::kNone;
}

void HeaderBlock::finish() {
  constexpr uint8_t kRequestBits =
      (1u << kMethod) | (1u << kScheme) | (1u << kAuthority) | (1u << kPath) | (1u << kProtocol);
  if (!(present_ & kRequestBits)) return;  // a response, or trailers
  // A request (RFC 9113 section 8.3.1; extended CONNECT, RFC 8441 section 4).
  if (!has(kMethod)) {
    malformed_ = true;
    return;
  }
  bool connect = pseudo(kMethod) == "CONNECT";
  if (has(kProtocol) && !connect) malformed_ = true;
  if (connect && !has(kProtocol)) {
    if (has(kScheme) || has(kPath) || !has(kAuthority)) malformed_ = true;
    return;
  }
  if (!has(kScheme) || !has(kPath) || pseudo(kPath).empty()) malformed_ = true;
}

}  // namespace velmora::http2
