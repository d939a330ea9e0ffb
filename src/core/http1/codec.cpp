#include "http1/codec.hpp"

#include "http/chars.hpp"
#include "http/field_list.hpp"

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

bool value_has_token(std::string_view value, std::string_view token) {
  if (!is_visible_ascii(value)) return false;
  http::FieldList list(value);
  for (std::string_view member; list.next(member);)
    if (http::ascii_iequals(member, token)) return true;
  return false;
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
