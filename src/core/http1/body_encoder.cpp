#include "http1/body_encoder.hpp"

#include <algorithm>

#include "http/chars.hpp"
#include "http/field_list.hpp"
#include "http1/codec.hpp"

namespace velmora::http1 {

std::optional<Error> frame_chunk(BodyEncoder& enc, size_t n, ChunkFrame& f) {
  f = ChunkFrame{};
  switch (enc.kind) {
    case BodyEncoder::Kind::kLength: {
      if (n > enc.remaining && !enc.discards)
        return Error::user(UserKind::kBodyWriteAborted)
            .with_cause("too long, expected at most " + std::to_string(enc.remaining) +
                        " more bytes, got " + std::to_string(n));
      uint64_t take = std::min<uint64_t>(enc.remaining, n);
      enc.remaining -= take;
      f.take = size_t(take);
      break;
    }
    case BodyEncoder::Kind::kClose:
      f.take = n;
      break;
    case BodyEncoder::Kind::kChunked: {
      static const char kHex[] = "0123456789ABCDEF";
      f.take = n;
      f.chunked = true;
      char tmp[16];
      size_t len = 0;
      uint64_t v = n;
      do {
        tmp[len++] = kHex[v & 15];
        v >>= 4;
      } while (v);
      for (size_t i = 0; i < len; ++i)
        f.prefix[i] = tmp[len - 1 - i];
      f.prefix[len] = '\r';
      f.prefix[len + 1] = '\n';
      f.prefix_len = len + 2;
      break;
    }
  }
  return std::nullopt;
}

bool is_forbidden_trailer(std::string_view n) {
  static constexpr std::string_view kNames[] = {"authorization",
                                                "cache-control",
                                                "content-encoding",
                                                "content-length",
                                                "content-range",
                                                "content-type",
                                                "host",
                                                "max-forwards",
                                                "set-cookie",
                                                "te",
                                                "trailer",
                                                "transfer-encoding"};
  for (std::string_view k : kNames)
    if (k == n) return true;
  return false;
}

void add_trailer_names(std::string_view value, std::vector<std::string>& out) {
  if (!is_visible_ascii(value)) return;
  http::FieldList list(value);
  for (std::string_view name; list.next(name);) {
    if (!http::is_valid_field_name(name)) continue;
    std::string lower(name);
    for (char& c : lower)
      c = http::ascii_lower(c);
    out.push_back(std::move(lower));
  }
}

std::optional<Error> encode_end(const BodyEncoder& enc, const http::HeaderMap* trailers,
                                std::string& out, bool& terminator_only) {
  terminator_only = false;
  switch (enc.kind) {
    case BodyEncoder::Kind::kClose:
      return std::nullopt;
    case BodyEncoder::Kind::kLength:
      if (enc.remaining == 0) return std::nullopt;
      return Error::user(UserKind::kBodyWriteAborted)
          .with_cause("early end, expected " + std::to_string(enc.remaining) + " more bytes");
    case BodyEncoder::Kind::kChunked:
      break;
  }
  if (trailers && enc.trailer_names) {
    const auto& allowed = *enc.trailer_names;
    bool any = false;
    trailers->for_each([&](uint32_t entry, std::string_view value) {
      std::string_view name = trailers->name(entry);
      if (is_forbidden_trailer(name)) return;
      if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) return;
      if (!any) out += "0\r\n";
      any = true;
      out += name;
      out += ": ";
      out += value;
      out += "\r\n";
    });
    if (any) {
      out += "\r\n";
      return std::nullopt;
    }
  }
  out += kChunkedTerminator;
  terminator_only = true;
  return std::nullopt;
}

}  // namespace velmora::http1
