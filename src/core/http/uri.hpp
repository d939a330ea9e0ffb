// URI rules for request targets and URLs (RFC 3986 as HTTP uses it, RFC 9112 section 3.2).
//
// The parser only validates and slices: every view points into the caller's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::http {

enum class UriError : uint8_t {
  kInvalidUriChar,
  kInvalidScheme,
  kInvalidAuthority,
  kInvalidPort,
  kInvalidFormat,
  kSchemeMissing,
  kAuthorityMissing,
  kPathMissing,
  kPathNotSlash,
  kTooLong,
  kEmpty,
  kSchemeTooLong,
};

std::string_view uri_error_text(UriError e);

struct Uri {
  enum class Scheme : uint8_t { kNone, kHttp, kHttps, kOther };
  enum class Form : uint8_t { kOrigin, kAsterisk, kAbsolute, kAuthority };

  Form form = Form::kOrigin;
  Scheme scheme = Scheme::kNone;
  std::string_view scheme_text;  // as written; empty without a scheme
  bool has_authority = false;
  std::string_view authority;       // userinfo, host and port as written
  std::string_view path_and_query;  // fragment removed; may be empty

  // "http", "https" (lower case) or the custom scheme as written; empty without a scheme.
  std::string_view scheme_name() const;
};

inline constexpr size_t kMaxUriLength = 65534;
inline constexpr size_t kMaxSchemeLength = 64;

std::optional<UriError> parse_uri(std::string_view text, Uri& out);

// The authority without its userinfo (everything up to and including the last "@"): what a
// request may carry (RFC 9110 section 4.2.4, RFC 9112 section 3.2, RFC 9113 section 8.3.1).
std::string_view without_userinfo(std::string_view authority);
// Host of an authority: after the last "@"; a bracketed IPv6 literal keeps its brackets.
std::string_view authority_host(std::string_view authority);
// Explicit port: the text after the last ":" read as a decimal number in 0-65535 (one leading
// "+" allowed), or nothing.
std::optional<uint16_t> authority_port(std::string_view authority);
// The port a scheme implies: 80 for "http" and "ws", 443 for "https" and "wss" (exact case).
std::optional<uint16_t> default_port(std::string_view scheme);

// A request-target as the server hands it to applications: the path (with its raw form) and
// the query of origin form; the path and query of absolute form ("/" when it has no path);
// "*" of asterisk form; nothing of authority form. No validation: any text splits.
struct TargetParts {
  std::string_view raw_path;  // a view of the target, or "/"
  std::string_view query;     // after the first "?" of the path and query
};
TargetParts split_target(std::string_view target);

// Percent-decoding of UTF-8 text for applications: every "%" with two hex digits becomes that
// byte, then every ill-formed UTF-8 sequence becomes U+FFFD (one per maximal subpart).
std::string percent_decode_text(std::string_view utf8);

// What a client needs of a URL with an authority (parse_uri succeeded).
struct RequestUrl {
  std::string_view host;         // without its brackets
  std::optional<uint16_t> port;  // explicit, or the scheme's default
  std::string authority;         // host:port (brackets kept) when the port is known
  std::string_view host_header;  // authority without userinfo; ":" or the default port dropped
  std::string target;            // path and query, starting with "/"
  std::string credentials;       // "user:password" percent-decoded, when has_credentials
  bool has_credentials = false;
};
// `need_request` false fills only host, port and authority.
RequestUrl request_url(const Uri& uri, bool need_request);

// `s` as a double-quoted string literal with backslash escapes (for error messages).
std::string quote_escaped(std::string_view s);

}  // namespace velmora::http
