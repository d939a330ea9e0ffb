#include "http1/request_head.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "http/chars.hpp"
#include "http1/framing.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "http/uri.hpp"

namespace velmora::http1 {
namespace {

constexpr std::string_view kH2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr size_t kMaxTarget = 65534;

std::optional<uint16_t> automatic_status(ParseKind k) {
  switch (k) {
    case ParseKind::kUriTooLong:
      return 414;
    case ParseKind::kTooLarge:
      return 431;
    case ParseKind::kVersionH2:
    case ParseKind::kStatus:
    case ParseKind::kInternal:
      return std::nullopt;
    default:
      return 400;
  }
}

ParseKind kind_of(TokenError e) {
  switch (e) {
    case TokenError::kMethod:
      return ParseKind::kMethod;
    case TokenError::kTarget:
      return ParseKind::kUri;
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

// Names the request rules interpret.
enum class Interesting : uint8_t {
  kNone,
  kConnection,
  kContentLength,
  kTransferEncoding,
  kExpect,
  kUpgrade,
  kTe,
  kHost
};

Interesting classify(std::string_view n) {
  switch (n.size()) {
    case 2:
      return name_is(n, "te") ? Interesting::kTe : Interesting::kNone;
    case 4:
      return name_is(n, "host") ? Interesting::kHost : Interesting::kNone;
    case 6:
      return name_is(n, "expect") ? Interesting::kExpect : Interesting::kNone;
    case 7:
      return name_is(n, "upgrade") ? Interesting::kUpgrade : Interesting::kNone;
    case 10:
      return name_is(n, "connection") ? Interesting::kConnection : Interesting::kNone;
    case 14:
      return name_is(n, "content-length") ? Interesting::kContentLength : Interesting::kNone;
    case 17:
      return name_is(n, "transfer-encoding") ? Interesting::kTransferEncoding : Interesting::kNone;
  }
  return Interesting::kNone;
}

bool is_unreserved_or_sub_delim(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=").find(char(c)) != std::string_view::npos;
}

bool is_hex(unsigned char c) {
  return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// RFC 9110 section 7.2: Host = uri-host [ ":" port ], with the host an IP literal in brackets
// or a reg-name / IPv4 address (unreserved, sub-delims and percent-encoded bytes); empty is
// allowed (a target without an authority).
bool valid_host(std::string_view v) {
  size_t i = 0;
  if (!v.empty() && v.front() == '[') {
    size_t close = v.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (size_t k = 1; k < close; ++k) {
      unsigned char c = static_cast<unsigned char>(v[k]);
      if (!is_unreserved_or_sub_delim(c) && c != ':') return false;
    }
    i = close + 1;
  } else {
    while (i < v.size() && v[i] != ':') {
      unsigned char c = static_cast<unsigned char>(v[i]);
      if (c == '%') {
        if (i + 2 >= v.size() || !is_hex(static_cast<unsigned char>(v[i + 1])) ||
            !is_hex(static_cast<unsigned char>(v[i + 2])))
          return false;
        i += 3;
        continue;
      }
      if (!is_unreserved_or_sub_delim(c)) return false;
      ++i;
    }
  }
  if (i == v.size()) return true;
  if (v[i] != ':') return false;
  for (++i; i < v.size(); ++i)
    if (v[i] < '0' || v[i] > '9') return false;
  return true;
}

}  // namespace

bool name_is(std::string_view name, std::string_view lower) {
  if (name.size() != lower.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if ((name[i] | 0x20) != lower[i]) return false;  // token characters and '-' fold safely
  return true;
}

bool fill_header_map(const char* base, const RawField* fields, size_t count, const bool* drop,
                     http::HeaderMap& map) {
  // One copy of the header block into the map's storage; names are lower-cased there and
  // values stay where they are.
  if (count == 0) return true;
  const uint32_t first = fields[0].name.off;
  const uint32_t end = fields[count - 1].value.off + fields[count - 1].value.len;
  return map.add_block(std::string_view(base + first, end - first), first, fields, count, drop) ==
         http::HeaderMap::Result::kOk;
}

ParseOutcome parse_request_head(Codec& codec, RequestHead& out) {
  const char* p = codec.read.data();
  const size_t n = codec.read.size();
  ParseOutcome result;
  if (n == 0) return result;

  auto fail = [&](ParseKind kind) {
    codec.scan.invalidate();
    if (n < kH2Preface.size() && kH2Preface.substr(0, n) == std::string_view(p, n)) {
      // The start of an HTTP/2 preface: which error it is waits for the rest of it.
      return std::move(result);
    }
    if (n >= kH2Preface.size() && std::string_view(p, kH2Preface.size()) == kH2Preface)
      kind = ParseKind::kVersionH2;
    codec.parse_error_status = automatic_status(kind);
    result.error = Error::parse(kind);
    return std::move(result);
  };
  auto incomplete = [&]() {
    if (n >= codec.max_buf_size) return fail(ParseKind::kTooLarge);
    return std::move(result);
  };
  if (n > UINT32_MAX) return fail(ParseKind::kTooLarge);

  const uint64_t limit = codec.max_headers.value_or(kDefaultMaxHeaders);
  TokenError terr{};
  size_t head_len = 0;
  Scan s = scan_head(codec.read, codec.scan, StartLine::kRequest,
                     size_t(std::min<uint64_t>(limit, SIZE_MAX)), codec.ignore_invalid_headers,
                     terr, head_len);
  if (s == Scan::kError) return fail(kind_of(terr));
  if (s == Scan::kPartial) return incomplete();
  const RequestLine& line = codec.scan.request;
  const RawField* fields = codec.scan.fields.data();
  const size_t count = codec.scan.fields.size();

  // Request semantics.
  std::string_view target = line.target.in(p);
  if (target.size() > kMaxTarget) return fail(ParseKind::kUriTooLong);
  // The cap holds for a head however it arrives: one that completes in a single read is not
  // let through at a size an incomplete one is refused at.
  if (head_len > codec.max_buf_size) return fail(ParseKind::kTooLarge);
  http::Uri uri;
  if (http::parse_uri(target, uri)) return fail(ParseKind::kUri);
  const bool is_connect = line.method_id == Method::kConnect;
  if (uri.form == http::Uri::Form::kAuthority && !is_connect) return fail(ParseKind::kUri);
  // RFC 9110 section 4.2.4: userinfo in a received target is treated as an error (it serves to
  // disguise the authority), as it is in Host.
  if (uri.has_authority && uri.authority.find('@') != std::string_view::npos)
    return fail(ParseKind::kUri);

  Persistence persistence(line.http10);
  RequestFraming framing(line.http10);
  bool is_upgrade = is_connect;
  bool expect_continue = false;
  bool allow_trailers = false;
  bool has_host = false;

  bool stack_drop[kDefaultMaxHeaders] = {};
  std::unique_ptr<bool[]> heap_drop;
  bool* drop = stack_drop;
  if (count > kDefaultMaxHeaders) {
    heap_drop.reset(new bool[count]());
    drop = heap_drop.get();
  }

  for (size_t i = 0; i < count; ++i) {
    std::string_view name = fields[i].name.in(p);
    std::string_view value = fields[i].value.in(p);
    switch (classify(name)) {
      case Interesting::kNone:
        break;
      case Interesting::kConnection:
        persistence.connection(value);
        break;
      case Interesting::kContentLength:
        if (auto kind = framing.content_length(value, drop[i])) return fail(*kind);
        break;
      case Interesting::kTransferEncoding: {
        bool drop_lengths = false;
        if (auto kind = framing.transfer_encoding(value, drop_lengths)) return fail(*kind);
        if (drop_lengths) {
          for (size_t k = 0; k < i; ++k)
            if (classify(fields[k].name.in(p)) == Interesting::kContentLength) drop[k] = true;
        }
        break;
      }
      case Interesting::kExpect:
        expect_continue = value.size() == 12 && http::ascii_iequals(value, "100-continue");
        break;
      case Interesting::kUpgrade:
        is_upgrade = !line.http10;
        break;
      case Interesting::kTe:
        if (!allow_trailers && value_has_token(value, "trailers")) allow_trailers = true;
        break;
      case Interesting::kHost:
        // RFC 9112 section 3.2: one Host line, with a valid value.
        if (has_host || !valid_host(value)) return fail(ParseKind::kHeaderToken);
        has_host = true;
        break;
    }
  }
  if (auto kind = framing.finish()) return fail(*kind);

  http::HeaderMap map;
  if (!fill_header_map(p, fields, count, drop, map)) return fail(ParseKind::kTooLarge);

  out.headers = std::move(map);
  out.method = line.method_id;
  if (line.method_id == Method::kOther) out.method_text.assign(line.method.in(p));
  switch (uri.form) {
    case http::Uri::Form::kOrigin:
    case http::Uri::Form::kAsterisk:
      target = uri.path_and_query.empty() ? std::string_view("/") : uri.path_and_query;
      break;
    case http::Uri::Form::kAbsolute: {
      std::string_view scheme = uri.scheme_name();
      const size_t len = scheme.size() + 3 + uri.authority.size() + uri.path_and_query.size();
      out.target.resize(len);
      char* w = out.target.data();
      std::memcpy(w, scheme.data(), scheme.size());
      std::memcpy(w + scheme.size(), "://", 3);
      std::memcpy(w + scheme.size() + 3, uri.authority.data(), uri.authority.size());
      std::memcpy(w + scheme.size() + 3 + uri.authority.size(), uri.path_and_query.data(),
                  uri.path_and_query.size());
      target = out.target;
      break;
    }
    case http::Uri::Form::kAuthority:
      target = uri.authority;
      break;
  }
  if (out.target_sink)
    out.target_sink(out.target_ctx, target);
  else if (uri.form != http::Uri::Form::kAbsolute)
    out.target.assign(target);
  out.decoded_length = framing.decoded_length();
  out.is_connect = is_connect;
  out.keep_alive = persistence.keep_alive() && !framing.forces_close();
  out.expect_continue = expect_continue;
  out.is_upgrade = is_upgrade;
  out.http10 = line.http10;
  out.allow_trailers = allow_trailers;

  codec.recorded_method = line.method_id;
  codec.allow_trailers = allow_trailers;
  codec.read.consume(head_len);
  result.complete = true;
  return result;
}

}  // namespace velmora::http1
