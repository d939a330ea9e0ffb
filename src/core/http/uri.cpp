#include "http/uri.hpp"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "http/chars.hpp"
#include "http/percent.hpp"
#include "http/utf8.hpp"

namespace velmora::http {
namespace {

constexpr std::array<std::string_view, 12> kUriErrorText = {
    "invalid uri character", "invalid scheme", "invalid authority",
    "invalid port",          "invalid format", "scheme missing",
    "authority missing",     "path missing",   "path does not start with slash",
    "uri too long",          "empty string",   "scheme too long",
};

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ascii_iequals(s.substr(0, prefix.size()), prefix);
}

// Authority rules: URI characters only; "%" only in the userinfo (percent-encoded
// credentials); brackets once each, in order, around the host; at most one ":" after the last
// "@" outside brackets and at most eight inside; no trailing "@".
std::optional<UriError> check_authority(std::string_view a) {
  size_t last_at = std::string_view::npos;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(a[i]);
    if (!is_uri_char(c) || c == '/' || c == '?' || c == '#') return UriError::kInvalidUriChar;
    if (c == '@') last_at = i;
  }
  if (!a.empty() && a.back() == '@') return UriError::kInvalidAuthority;
  const size_t host_start = last_at == std::string_view::npos ? 0 : last_at + 1;
  std::string_view userinfo = a.substr(0, host_start);
  std::string_view hostport = a.substr(host_start);
  if (userinfo.find_first_of("[]") != std::string_view::npos) return UriError::kInvalidAuthority;
  if (hostport.find('%') != std::string_view::npos) return UriError::kInvalidAuthority;

  size_t open = hostport.find('[');
  size_t close = hostport.find(']');
  if ((open == std::string_view::npos) != (close == std::string_view::npos))
    return UriError::kInvalidAuthority;
  size_t colons_outside = 0;
  if (open != std::string_view::npos) {
    if (open != 0 || close < open || hostport.find('[', open + 1) != std::string_view::npos ||
        hostport.find(']', close + 1) != std::string_view::npos)
      return UriError::kInvalidAuthority;
    std::string_view inside = hostport.substr(1, close - 1);
    size_t colons_inside = 0;
    for (char c : inside)
      colons_inside += c == ':';
    if (colons_inside > 8) return UriError::kInvalidAuthority;
    std::string_view rest = hostport.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return UriError::kInvalidAuthority;
    for (char c : rest)
      colons_outside += c == ':';
  } else {
    for (char c : hostport)
      colons_outside += c == ':';
  }
  if (colons_outside > 1) return UriError::kInvalidAuthority;
  return std::nullopt;
}

// Path, query and fragment: the fragment is validated like a query and dropped.
// The first position from `i` on holding a byte that is not visible ASCII or is one of `stops`
// (s.size() if none), found 16 bytes at a time where the text has them; the last block overlaps
// the one before. The byte-wise checks take over from the position returned.
template <size_t N>
size_t skip_plain(std::string_view s, size_t i, const char (&stops)[N]) {
#if defined(__SSE2__)
  static_assert(N >= 2);
  const size_t n = s.size();
  if (n < 16) return i;
  auto special = [&](size_t at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + at));
    // Signed compare: bytes of 0x80 and above count as below 0x21.
    __m128i bad = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x21)),
                               _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f)));
    for (size_t k = 0; k + 1 < N; ++k)
      bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(stops[k])));
    return uint32_t(_mm_movemask_epi8(bad));
  };
  for (; i + 16 <= n; i += 16)
    if (const uint32_t m = special(i)) return i + size_t(__builtin_ctz(m));
  if (i < n) {
    // The tail, as the last 16 bytes with the ones before `i` masked off.
    const uint32_t m = special(n - 16) >> (i - (n - 16));
    return m ? i + size_t(__builtin_ctz(m)) : n;
  }
#else
  (void)s;
  (void)stops;
#endif
  return i;
}

std::optional<UriError> split_path(std::string_view rest, std::string_view& path_and_query) {
  // Plain path bytes are visible ASCII other than "?", "#" and the query-only characters.
  size_t i = skip_plain(rest, 0, "?#\"<>\\^`{|}");
  for (; i < rest.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(rest[i]);
    if (c == '?' || c == '#') break;
    if (!is_uri_char(c)) return UriError::kInvalidUriChar;
  }
  if (i < rest.size() && rest[i] == '?') {
    for (i = skip_plain(rest, i + 1, "##"); i < rest.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(rest[i]);
      if (c == '#') break;
      if (!is_query_char(c)) return UriError::kInvalidUriChar;
    }
  }
  path_and_query = rest.substr(0, i);
  for (size_t j = i + 1; j < rest.size(); ++j) {
    unsigned char c = static_cast<unsigned char>(rest[j]);
    if (!is_query_char(c)) return UriError::kInvalidUriChar;
  }
  return std::nullopt;
}

}  // namespace

std::string_view uri_error_text(UriError e) {
  return kUriErrorText[static_cast<size_t>(e)];
}

std::string_view Uri::scheme_name() const {
  switch (scheme) {
    case Scheme::kHttp:
      return "http";
    case Scheme::kHttps:
      return "https";
    case Scheme::kOther:
      return scheme_text;
    case Scheme::kNone:
      break;
  }
  return {};
}

std::optional<UriError> parse_uri(std::string_view s, Uri& out) {
  out = Uri{};
  if (s.size() > kMaxUriLength) return UriError::kTooLong;
  if (s.empty()) return UriError::kEmpty;

  if (s.front() == '/') {
    out.form = Uri::Form::kOrigin;
    return split_path(s, out.path_and_query);
  }
  if (s == "*") {
    out.form = Uri::Form::kAsterisk;
    out.path_and_query = s;
    return std::nullopt;
  }

  size_t scheme_len = 0;
  if (starts_with_ci(s, "http://")) {
    out.scheme = Uri::Scheme::kHttp;
    scheme_len = 4;
  } else if (starts_with_ci(s, "https://")) {
    out.scheme = Uri::Scheme::kHttps;
    scheme_len = 5;
  } else {
    size_t n = 0;
    while (n < s.size() && is_scheme_char(static_cast<unsigned char>(s[n])))
      ++n;
    if (n > 0 && s.substr(n, 3) == "://") {
      if (n > kMaxSchemeLength) return UriError::kSchemeTooLong;
      out.scheme = Uri::Scheme::kOther;
      scheme_len = n;
    }
  }

  if (out.scheme == Uri::Scheme::kNone) {
    // Authority form: the whole text is host and port.
    if (s.find_first_of("/?#") != std::string_view::npos) return UriError::kInvalidFormat;
    if (auto e = check_authority(s)) return e;
    out.form = Uri::Form::kAuthority;
    out.has_authority = true;
    out.authority = s;
    return std::nullopt;
  }

  out.form = Uri::Form::kAbsolute;
  out.scheme_text = s.substr(0, scheme_len);
  std::string_view rest = s.substr(scheme_len + 3);
  size_t end = rest.find_first_of("/?#");
  if (end == std::string_view::npos) end = rest.size();
  std::string_view authority = rest.substr(0, end);
  if (authority.empty()) return UriError::kInvalidFormat;
  if (auto e = check_authority(authority)) return e;
  out.has_authority = true;
  out.authority = authority;
  return split_path(rest.substr(end), out.path_and_query);
}

std::string_view without_userinfo(std::string_view a) {
  size_t at = a.rfind('@');
  if (at != std::string_view::npos) a.remove_prefix(at + 1);
  return a;
}

std::string_view authority_host(std::string_view a) {
  a = without_userinfo(a);
  if (!a.empty() && a.front() == '[') {
    size_t close = a.find(']');
    return close == std::string_view::npos ? a : a.substr(0, close + 1);
  }
  return a.substr(0, a.find(':'));
}

std::optional<uint16_t> authority_port(std::string_view a) {
  size_t colon = a.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view p = a.substr(colon + 1);
  if (!p.empty() && p.front() == '+') p.remove_prefix(1);
  if (p.empty() || p.size() > 5) return std::nullopt;
  uint32_t v = 0;
  for (char c : p) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + uint32_t(c - '0');
  }
  if (v > 65535) return std::nullopt;
  return static_cast<uint16_t>(v);
}

std::optional<uint16_t> default_port(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  return std::nullopt;
}

TargetParts split_target(std::string_view t) {
  std::string_view raw = t;
  if (!(!t.empty() && t.front() == '/') && t != "*") {
    size_t scheme_end = t.find("://");
    if (scheme_end == std::string_view::npos) {
      raw = {};  // authority form: no path
    } else {
      size_t slash = t.find('/', scheme_end + 3);
      size_t qmark = t.find('?', scheme_end + 3);
      if (slash == std::string_view::npos || qmark < slash) {
        TargetParts p{"/", {}};
        if (qmark != std::string_view::npos) p.query = t.substr(qmark + 1);
        return p;
      }
      raw = t.substr(slash);
    }
  }
  size_t q = raw.find('?');
  if (q == std::string_view::npos) return {raw, {}};
  return {raw.substr(0, q), raw.substr(q + 1)};
}

std::string percent_decode_text(std::string_view s) {
  // Characters beyond ASCII are whole UTF-8 sequences and decoded bytes next to them cannot
  // join them: decoding the whole text reads as decoding each ASCII run by itself.
  return utf8_lossy(percent_decode(s));
}

RequestUrl request_url(const Uri& uri, bool need_request) {
  RequestUrl r;
  std::string_view scheme = uri.scheme_name();
  std::string_view host = authority_host(uri.authority);
  r.port = authority_port(uri.authority);
  std::optional<uint16_t> fallback = default_port(scheme);
  if (!r.port) r.port = fallback;
  r.host = host;
  while (!r.host.empty() && r.host.front() == '[')
    r.host.remove_prefix(1);
  while (!r.host.empty() && r.host.back() == ']')
    r.host.remove_suffix(1);
  if (r.port) r.authority = std::string(host) + ':' + std::to_string(*r.port);
  if (!need_request) return r;

  std::string_view hostport = without_userinfo(uri.authority);
  std::string default_suffix;
  if (fallback) default_suffix.append(":").append(std::to_string(*fallback));
  if (fallback && r.port == fallback && hostport.ends_with(default_suffix))
    hostport.remove_suffix(default_suffix.size());
  else if (hostport.ends_with(':'))
    hostport.remove_suffix(1);
  r.host_header = hostport;
  if (uri.path_and_query.starts_with('/'))
    r.target = uri.path_and_query;
  else
    r.target.append("/").append(uri.path_and_query);
  size_t at = uri.authority.rfind('@');
  if (at != std::string_view::npos) {
    // Credentials in the URL: "user:password" before the last "@", split at the first ":".
    std::string_view userinfo = uri.authority.substr(0, at);
    size_t colon = userinfo.find(':');
    r.credentials = percent_decode_text(userinfo.substr(0, colon));
    r.credentials += ':';
    if (colon != std::string_view::npos)
      r.credentials += percent_decode_text(userinfo.substr(colon + 1));
    r.has_credentials = true;
  }
  return r;
}

std::string quote_escaped(std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() + 2);
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u{";
          if (c >= 0x10) out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
          out.push_back('}');
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace velmora::http
