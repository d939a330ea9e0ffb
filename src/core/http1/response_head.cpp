#include "http1/response_head.hpp"

#include "http1/framing.hpp"

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

    Persistence persistence(line.http10);
    ResponseFraming framing;
    for (size_t i = 0; i < count; ++i) {
      std::string_view name = fields[i].name.in(p);
      std::string_view value = fields[i].value.in(p);
      if (name.size() == 10 && name_is(name, "connection")) {
        persistence.connection(value);
      } else if (name.size() == 17 && name_is(name, "transfer-encoding")) {
        framing.transfer_encoding(value);
      } else if (name.size() == 14 && name_is(name, "content-length")) {
        framing.content_length(value);
      }
    }
    const ResponseFraming::Body body = framing.decide(status, codec.recorded_method, line.http10);
    if (body.error) return fail(*body.error);

    http::HeaderMap map;
    if (!fill_header_map(p, fields, count, nullptr, map)) return fail(ParseKind::kTooLarge);
    out.headers = std::move(map);
    out.decoded_length = body.decoded_length;
    out.status = status;
    out.keep_alive = persistence.keep_alive() && !body.is_upgrade;
    out.is_upgrade = body.is_upgrade;
    out.http10 = line.http10;
    codec.read.consume(pos);
    result.complete = true;
    return result;
  }
}

}  // namespace velmora::http1
