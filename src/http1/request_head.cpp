#include "http1/request_head.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "http/chars.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "http/uri.hpp"

namespace velmora::http1 {
namespace {

constexpr char kH2Preface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
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
  kTe
};

Interesting classify(std::string_view n) {
  switch (n.size()) {
    case 2:
      return name_is(n, "te") ? Interesting::kTe : Interesting::kNone;
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

}  // namespace

bool name_is(std::string_view name, std::string_view lower) {
  if (name.size() != lower.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if ((name[i] | 0x20) != lower[i]) return false;  // token characters and '-' fold safely
  return true;
}

bool fill_header_map(const char* base, size_t base_len, const RawField* fields, size_t count,
                     const bool* drop, http::HeaderMap& map) {
  // Names are lower-cased into one scratch buffer; values are views of the read buffer, copied
  // once, into the map's own storage.
  constexpr size_t kStack = 100;
  std::string_view stack_names[kStack], stack_values[kStack];
  std::unique_ptr<std::string_view[]> heap_names, heap_values;
  std::string_view* names = stack_names;
  std::string_view* values = stack_values;
  if (count > kStack) {
    heap_names.reset(new std::string_view[count]);
    heap_values.reset(new std::string_view[count]);
    names = heap_names.get();
    values = heap_values.get();
  }
  size_t name_bytes = 0;
  for (size_t i = 0; i < count; ++i)
    name_bytes += fields[i].name.len;
  // 16 bytes of slack: names are lower-cased in whole 16-byte blocks.
  char small[2048];
  std::unique_ptr<char[]> large;
  char* lower = small;
  if (name_bytes + 16 > sizeof(small)) {
    large.reset(new char[name_bytes + 16]);
    lower = large.get();
  }
  size_t kept = 0;
  for (size_t i = 0; i < count; ++i) {
    if (drop && drop[i]) continue;
    const char* src = base + fields[i].name.off;
    const size_t len = fields[i].name.len;
    size_t k = 0;
#if defined(__SSE2__)
    if (fields[i].name.off + ((len + 15) & ~size_t(15)) <= base_len) {
      const __m128i a1 = _mm_set1_epi8('A' - 1), z1 = _mm_set1_epi8('Z' + 1);
      const __m128i bit = _mm_set1_epi8(0x20);
      for (; k < len; k += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + k));
        __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, a1), _mm_cmplt_epi8(v, z1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lower + k),
                         _mm_or_si128(v, _mm_and_si128(upper, bit)));
      }
    }
#else
    (void)base_len;
#endif
    for (; k < len; ++k)
      lower[k] = http::ascii_lower(src[k]);
    names[kept] = std::string_view(lower, len);
    values[kept] = fields[i].value.in(base);
    lower += len;
    ++kept;
  }
  return map.add_parsed(names, values, kept) == http::HeaderMap::Result::kOk;
}

ParseOutcome parse_request_head(Codec& codec, RequestHead& out) {
  const char* p = codec.read.data();
  const size_t n = codec.read.size();
  ParseOutcome result;
  if (n == 0) return result;

  auto fail = [&](ParseKind kind) {
    if (n >= 24 && std::memcmp(p, kH2Preface, 24) == 0) kind = ParseKind::kVersionH2;
    codec.parse_error_status = automatic_status(kind);
    result.error = Error::parse(kind);
    return std::move(result);
  };
  auto incomplete = [&]() {
    if (n >= codec.max_buf_size) return fail(ParseKind::kTooLarge);
    return std::move(result);
  };
  if (n > UINT32_MAX) return fail(ParseKind::kTooLarge);

  size_t pos = 0;
  Scan s = skip_empty_lines(p, n, pos);
  if (s == Scan::kError) return fail(ParseKind::kHeaderToken);
  if (s == Scan::kPartial) return incomplete();

  RequestLine line;
  TokenError terr{};
  s = scan_request_line(p, n, pos, line, terr);
  if (s == Scan::kError) return fail(kind_of(terr));
  if (s == Scan::kPartial) return incomplete();

  // The field index lives on the stack for the usual limit; a larger limit gets a heap array
  // no longer than the buffer could fill (a field line takes at least three bytes).
  uint64_t limit = codec.max_headers.value_or(kDefaultMaxHeaders);
  RawField stack_fields[kDefaultMaxHeaders];
  std::unique_ptr<RawField[]> heap_fields;
  RawField* fields = stack_fields;
  if (limit > kDefaultMaxHeaders) {
    limit = std::min<uint64_t>(limit, n / 3 + 1);
    if (limit > kDefaultMaxHeaders) {
      heap_fields.reset(new RawField[limit]);
      fields = heap_fields.get();
    }
  }
  size_t count = 0;
  s = scan_fields(p, n, pos, fields, size_t(limit), count, codec.ignore_invalid_headers, terr);
  if (s == Scan::kError) return fail(kind_of(terr));
  if (s == Scan::kPartial) return incomplete();
  const size_t head_len = pos;

  // Request semantics.
  std::string_view target = line.target.in(p);
  if (target.size() > kMaxTarget) return fail(ParseKind::kUriTooLong);
  http::Uri uri;
  if (http::parse_uri(target, uri)) return fail(ParseKind::kUri);
  const bool is_connect = line.method_id == Method::kConnect;
  if (uri.form == http::Uri::Form::kAuthority && !is_connect) return fail(ParseKind::kUri);

  bool keep_alive = !line.http10;
  bool is_upgrade = is_connect;
  bool expect_continue = false;
  bool allow_trailers = false;
  bool has_te = false, te_chunked = false, has_cl = false;
  uint64_t length = 0;
  bool has_length = false;
  std::optional<size_t> first_cl;

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
        if (keep_alive) {
          if (value_has_token(value, "close")) keep_alive = false;
        } else if (value_has_token(value, "keep-alive")) {
          keep_alive = true;
        }
        break;
      case Interesting::kContentLength: {
        if (has_te) {
          drop[i] = true;
          has_cl = true;
          break;
        }
        std::optional<uint64_t> v = parse_decimal(value);
        if (!v) return fail(ParseKind::kHeaderContentLengthInvalid);
        if (*v > kMaxDeclaredLength) return fail(ParseKind::kTooLarge);
        if (has_length) {
          if (length != *v) return fail(ParseKind::kHeaderContentLengthInvalid);
          drop[i] = true;
          break;
        }
        length = *v;
        has_length = true;
        has_cl = true;
        first_cl = i;
        break;
      }
      case Interesting::kTransferEncoding:
        if (line.http10) return fail(ParseKind::kHeaderTransferEncodingUnexpected);
        if (first_cl) {
          // A length seen before: every stored content-length field goes.
          for (size_t k = 0; k < i; ++k)
            if (classify(fields[k].name.in(p)) == Interesting::kContentLength) drop[k] = true;
          first_cl.reset();
          length = 0;
          has_length = false;
        }
        has_te = true;
        te_chunked = is_visible_ascii(value) && http::ascii_iequals(last_element(value), "chunked");
        break;
      case Interesting::kExpect:
        expect_continue = value.size() == 12 && http::ascii_iequals(value, "100-continue");
        break;
      case Interesting::kUpgrade:
        is_upgrade = !line.http10;
        break;
      case Interesting::kTe:
        if (!allow_trailers && value_has_token(value, "trailers")) allow_trailers = true;
        break;
    }
  }
  if (has_te && !te_chunked) return fail(ParseKind::kHeaderTransferEncodingInvalid);
  if (has_te && has_cl) keep_alive = false;

  http::HeaderMap map;
  if (!fill_header_map(p, n, fields, count, drop, map)) return fail(ParseKind::kTooLarge);

  out.headers = std::move(map);
  out.method = line.method_id;
  if (line.method_id == Method::kOther) out.method_text.assign(line.method.in(p));
  switch (uri.form) {
    case http::Uri::Form::kOrigin:
    case http::Uri::Form::kAsterisk:
      out.target.assign(uri.path_and_query.empty() ? std::string_view("/") : uri.path_and_query);
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
      break;
    }
    case http::Uri::Form::kAuthority:
      out.target.assign(uri.authority);
      break;
  }
  out.decoded_length = te_chunked ? kChunkedLength : length;
  out.is_connect = is_connect;
  out.keep_alive = keep_alive;
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
