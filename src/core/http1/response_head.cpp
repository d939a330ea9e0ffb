#include "http1/response_head.hpp"

#include "http/chars.hpp"

namespace velmora::http1 {
namespace {

constexpr size_t kMaxResponseHeaders = 100;

ParseKind kind_of(TokenError e) {
  switch (e) {
    case TokenError::kVersion:
      return ParseKind::kVersion;
    case TokenError::kStatus:
      return ParseKind::kStatus;
    case TokenError::kTooMany:
    case TokenError::kNameTooLong:
      return ParseKind::kTooLarge;
    default:
      return ParseKind::kHeaderToken;
  }
}

// All Content-Length values of the head agree: every line split at commas, each element a
// decimal number, all equal. nullopt when they do not (or do not parse).
std::optional<uint64_t> agreed_length(const char* p, const RawField* fields, size_t count) {
  std::optional<uint64_t> common;
  for (size_t i = 0; i < count; ++i) {
    if (!name_is(fields[i].name.in(p), "content-length")) continue;
    std::string_view v = fields[i].value.in(p);
    size_t start = 0;
    for (;;) {
      size_t comma = v.find(',', start);
      std::string_view item =
          v.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
      while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
        item.remove_prefix(1);
      while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
        item.remove_suffix(1);
      std::optional<uint64_t> n = parse_decimal(item);
      if (!n || (common && *common != *n)) return std::nullopt;
      common = n;
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }
  return common;
}

}  // namespace

ParseOutcome parse_response_head(Codec& codec, ResponseHead& out) {
  ParseOutcome result;
  for (;;) {
    const char* p = codec.read.data();
    const size_t n = codec.read.size();
    if (n == 0) return result;
    auto fail = [&](ParseKind kind) {
      codec.scan.invalidate();
      result.error = Error::parse(kind);
      return std::move(result);
    };
    auto incomplete = [&]() {
      if (n >= codec.max_buf_size) return fail(ParseKind::kTooLarge);
      return std::move(result);
    };
    if (n > UINT32_MAX) return fail(ParseKind::kTooLarge);

    TokenError terr{};
    size_t pos = 0;
    Scan s = scan_head(codec.read, codec.scan, StartLine::kStatus, kMaxResponseHeaders, false, terr,
                       pos);
    if (s == Scan::kError) return fail(kind_of(terr));
    if (s == Scan::kPartial) return incomplete();
    // The cap holds for a head however it arrives (see parse_request_head).
    if (pos > codec.max_buf_size) return fail(ParseKind::kTooLarge);
    const StatusLine& line = codec.scan.status;
    const RawField* fields = codec.scan.fields.data();
    const size_t count = codec.scan.fields.size();

    const uint16_t status = line.status;
    if (status == 100 || (status >= 102 && status <= 199)) {
      // An interim response: dropped, and the next head (if any) is parsed.
      codec.read.consume(pos);
      continue;
    }

    bool keep_alive = !line.http10;
    bool has_te = false, has_cl = false;
    std::string_view last_te;
    for (size_t i = 0; i < count; ++i) {
      std::string_view name = fields[i].name.in(p);
      std::string_view value = fields[i].value.in(p);
      if (name.size() == 10 && name_is(name, "connection")) {
        if (keep_alive) {
          if (value_has_token(value, "close")) keep_alive = false;
        } else if (value_has_token(value, "keep-alive")) {
          keep_alive = true;
        }
      } else if (name.size() == 17 && name_is(name, "transfer-encoding")) {
        has_te = true;
        last_te = value;
      } else if (name.size() == 14 && name_is(name, "content-length")) {
        has_cl = true;
      }
    }

    const Method req = codec.recorded_method;
    uint64_t decoded = 0;
    bool is_upgrade = false;
    if (status == 101) {
      is_upgrade = true;
    } else if (status == 204 || status == 304 || req == Method::kHead) {
      decoded = 0;
    } else if (req == Method::kConnect && status >= 200 && status <= 299) {
      is_upgrade = true;
    } else if (has_te) {
      if (line.http10) return fail(ParseKind::kHeaderTransferEncodingUnexpected);
      bool chunked =
          is_visible_ascii(last_te) && http::ascii_iequals(last_element(last_te), "chunked");
      decoded = chunked ? kChunkedLength : kCloseLength;
    } else if (has_cl) {
      std::optional<uint64_t> len = agreed_length(p, fields, count);
      if (!len) return fail(ParseKind::kHeaderContentLengthInvalid);
      if (*len > kMaxDeclaredLength) return fail(ParseKind::kTooLarge);
      decoded = *len;
    } else {
      decoded = kCloseLength;
    }
    if (is_upgrade) keep_alive = false;

    http::HeaderMap map;
    if (!fill_header_map(p, n, fields, count, nullptr, map)) return fail(ParseKind::kTooLarge);
    out.headers = std::move(map);
    out.decoded_length = decoded;
    out.status = status;
    out.keep_alive = keep_alive;
    out.is_upgrade = is_upgrade;
    out.http10 = line.http10;
    codec.read.consume(pos);
    result.complete = true;
    return result;
  }
}

}  // namespace velmora::http1
