#include "http2/send_fields.hpp"

#include "http/chars.hpp"
#include "http/uri.hpp"

namespace velmora::http2 {
namespace {

PendingError value_error(std::string message) {
  return PendingError(ExcClass::kValueError, ErrArg::text(std::move(message)));
}

PendingError forbidden_octet_error(std::string_view what) {
  return value_error("invalid " + std::string(what) + ": CR, LF and NUL are not allowed in " +
                     "HTTP/2 field values");
}

}  // namespace

bool is_connection_specific(std::string_view n, std::string_view v) {
  switch (n.size()) {
    case 2:
      return n == "te" && v != "trailers";
    case 7:
      return n == "upgrade";
    case 10:
      return n == "connection" || n == "keep-alive";
    case 16:
      return n == "proxy-connection";
    case 17:
      return n == "transfer-encoding";
  }
  return false;
}

PendingError malformed_headers_error() {
  return user_error(UserErrorKind::kMalformedHeaders);
}

bool FieldFilter::skips(std::string_view n) const {
  switch (n.size()) {
    case 2:
      return te && n == "te";
    case 4:
      return host && n == "host";
    default:
      return is_connection_specific(n, {});
  }
}

std::optional<PendingError> check_send_fields(const http::HeaderMap& map, FieldRule rule,
                                              FieldFilter& filter) {
  filter = FieldFilter{};
  for (uint32_t i = 0; i < map.name_count(); ++i) {
    std::string_view n = map.name(i);
    if (n == "te") {
      bool bad = false;
      map.for_each_value(i, [&](std::string_view v) { bad |= is_connection_specific(n, v); });
      if (!bad) continue;
      if (rule != FieldRule::kDropRequest) return malformed_headers_error();
      filter.active = filter.te = true;
    } else if (n == "host") {
      if (rule == FieldRule::kDropRequest) {
        filter.active = filter.host = true;
        filter.host_value = map.first_value(i);
      }
    } else if (is_connection_specific(n, {})) {
      if (rule == FieldRule::kRefuse) return malformed_headers_error();
      filter.active = true;
    }
  }
  return std::nullopt;
}

bool has_connection_specific(const http::HeaderMap& map) {
  FieldFilter unused;
  return check_send_fields(map, FieldRule::kRefuse, unused).has_value();
}

bool has_forbidden_octet(std::string_view v) {
  for (char c : v)
    if (c == '\r' || c == '\n' || c == '\0') return true;
  return false;
}

std::optional<PendingError> build_request_pseudo(std::string_view method, std::string_view target,
                                                 std::string_view scheme,
                                                 std::string_view authority,
                                                 const http::HeaderMap* fields, FieldRule rule,
                                                 FieldFilter& filter, RequestPseudo& out,
                                                 std::string_view protocol) {
  if (method.empty() || !http::is_valid_field_name(method))
    return value_error("method must be a non-empty token");
  if (!protocol.empty() && (method != "CONNECT" || !http::is_valid_field_name(protocol)))
    return value_error("protocol needs the CONNECT method and must be a token");
  filter = FieldFilter{};
  if (fields)
    if (auto err = check_send_fields(*fields, rule, filter)) return err;
  if (authority.empty() && filter.host) authority = filter.host_value;
  if (has_forbidden_octet(scheme)) return forbidden_octet_error("scheme");
  if (has_forbidden_octet(authority)) return forbidden_octet_error("authority");
  // RFC 9113 section 8.3.1: :authority never carries the userinfo of a URL.
  authority = http::without_userinfo(authority);
  out.count = 0;
  out.fields[out.count++] = {":method", method};
  if (method == "CONNECT" && protocol.empty() && !target.empty() && target[0] != '/' &&
      target.find("://") == std::string_view::npos) {
    // Authority-form target (RFC 9113 section 8.5): only :method and :authority.
    if (has_forbidden_octet(target)) return forbidden_octet_error("request target");
    out.fields[out.count++] = {":authority", http::without_userinfo(target)};
    return std::nullopt;
  }
  std::string_view path;
  if (target == "*") {
    path = "*";
  } else {
    http::Uri uri;
    if (auto err = http::parse_uri(target, uri))
      return value_error("invalid request target: " + std::string(http::uri_error_text(*err)));
    if (uri.form == http::Uri::Form::kAbsolute) {
      if (scheme.empty()) scheme = uri.scheme_name();
      if (authority.empty()) authority = http::without_userinfo(uri.authority);
    }
    path = uri.path_and_query.empty() ? std::string_view("/") : uri.path_and_query;
    // The URI rules already refuse these octets; checked again so that no later change to
    // them can let a field break out of its value.
    if (has_forbidden_octet(path)) return forbidden_octet_error("request target");
    if (has_forbidden_octet(scheme)) return forbidden_octet_error("scheme");
    if (has_forbidden_octet(authority)) return forbidden_octet_error("authority");
  }
  if (authority.empty())
    return user_error(UserErrorKind::kMissingUriSchemeAndAuthority,
                      "request target is a bare path but the connection has no authority; pass "
                      "authority=... to H2Connection or use an absolute-URL target");
  if (scheme.empty()) scheme = "https";
  out.fields[out.count++] = {":scheme", scheme};
  out.fields[out.count++] = {":authority", authority};
  out.fields[out.count++] = {":path", path};
  if (!protocol.empty()) out.fields[out.count++] = {":protocol", protocol};
  return std::nullopt;
}

std::optional<PendingError> status_digits(uint32_t status, char out[3]) {
  if (status < 100 || status > 999)
    return value_error("status must be in [100, 999], got " + std::to_string(status));
  out[0] = char('0' + status / 100);
  out[1] = char('0' + status / 10 % 10);
  out[2] = char('0' + status % 10);
  return std::nullopt;
}

void encode_header_block(FrameEncoder& encoder, uint32_t stream_id, bool end_stream,
                         const Field* pseudo, int npseudo, const http::HeaderMap* fields,
                         const FieldFilter* filter, std::string_view date, std::string& out) {
  encoder.begin_headers(out);
  for (int i = 0; i < npseudo; ++i)
    encoder.add_field(pseudo[i].first, pseudo[i].second, out);
  if (filter && !filter->active) filter = nullptr;
  if (fields)
    fields->for_each([&](uint32_t entry, std::string_view v) {
      std::string_view name = fields->name(entry);
      if (!filter || !filter->skips(name)) encoder.add_field(name, v, out);
    });
  if (!date.empty()) encoder.add_field("date", date, out);
  encoder.end_headers(stream_id, end_stream, out);
}

}  // namespace velmora::http2
