#include "http1/codec.hpp"

#include "http/chars.hpp"

namespace velmora::http1 {

LastFrame frame_last(Codec& c, std::string_view body, const http::HeaderMap* trailers) {
  LastFrame out;
  if (!c.encoder) return out;
  out.in_flight = true;
  const bool was_eof = c.encoder->is_eof();
  if (!body.empty()) {
    out.error = frame_chunk(*c.encoder, body.size(), out.frame);
    if (out.error) {
      out.frame = ChunkFrame();  // nothing of the body passes
      out.ends = true;
      return out;
    }
  }
  std::optional<BodyEncoder> enc = std::move(c.encoder);
  c.encoder.reset();
  // Nothing more to send (the body is empty, or discarded by a message without content).
  if (was_eof) return out;
  out.ends = true;
  bool terminator_only = false;
  out.error = encode_end(*enc, c.allow_trailers ? trailers : nullptr, out.end, terminator_only);
  return out;
}

std::string_view body_kind_name(BodyKind k) {
  switch (k) {
    case BodyKind::kEmpty:
      return "empty";
    case BodyKind::kLength:
      return "length";
    case BodyKind::kChunked:
      return "chunked";
    case BodyKind::kClose:
      break;
  }
  return "close";
}

bool is_visible_ascii(std::string_view value) {
  for (unsigned char c : value)
    if (!(c == '\t' || (c >= 0x20 && c < 0x7f))) return false;
  return true;
}

namespace {
std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}
}  // namespace

bool value_has_token(std::string_view value, std::string_view token) {
  if (!is_visible_ascii(value)) return false;
  size_t i = 0;
  for (;;) {
    size_t comma = value.find(',', i);
    std::string_view item =
        trim(value.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
    if (http::ascii_iequals(item, token)) return true;
    if (comma == std::string_view::npos) return false;
    i = comma + 1;
  }
}

std::string_view last_element(std::string_view value) {
  size_t comma = value.rfind(',');
  return trim(comma == std::string_view::npos ? value : value.substr(comma + 1));
}

std::optional<uint64_t> parse_decimal(std::string_view s) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = uint64_t(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace velmora::http1
