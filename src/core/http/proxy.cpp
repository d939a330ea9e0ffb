#include "http/proxy.hpp"

#include <cstdlib>

#include "http/base64.hpp"
#include "http/chars.hpp"
#include "http/percent.hpp"
#include "http/uri.hpp"
#include "http/utf8.hpp"

namespace velmora::http {
namespace {

bool is_socks_scheme(std::string_view s) {
  return s == "socks4" || s == "socks4a" || s == "socks5" || s == "socks5h";
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && is_space(s.back()))
    s.remove_suffix(1);
  return s;
}

// ASCII case-insensitive "`suffix` ends `s`".
bool ends_with_ci(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && ascii_iequals(s.substr(s.size() - suffix.size()), suffix);
}

bool domain_matches(std::string_view pattern, std::string_view host) {
  if (pattern == "*") return true;
  if (ascii_iequals(pattern, host)) return true;
  if (pattern.size() == host.size() + 1 && pattern.front() == '.' &&
      ascii_iequals(pattern.substr(1), host))
    return true;
  if (!ends_with_ci(host, pattern)) return false;
  if (pattern.front() == '.') return true;
  const size_t at = host.size() - pattern.size();
  return at > 0 && host[at - 1] == '.';
}

}  // namespace

std::optional<ProxyRecord> parse_proxy(std::string_view text) {
  Uri uri;
  if (parse_uri(text, uri)) return std::nullopt;
  std::string_view scheme;
  bool socks = false;
  switch (uri.scheme) {
    case Uri::Scheme::kNone:
    case Uri::Scheme::kHttp:
      scheme = "http";
      break;
    case Uri::Scheme::kHttps:
      scheme = "https";
      break;
    case Uri::Scheme::kOther:
      if (!is_socks_scheme(uri.scheme_text)) return std::nullopt;
      scheme = uri.scheme_text;
      socks = true;
      break;
  }
  if (!uri.has_authority) return std::nullopt;

  // The user information ends at the last "@", where the URI rules start the host: an "@"
  // inside a password then stays part of the password instead of reaching the proxy URI.
  std::string_view host_port = uri.authority;
  ProxyRecord record;
  const size_t at = host_port.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userinfo = host_port.substr(0, at);
    host_port.remove_prefix(at + 1);
    const size_t colon = userinfo.find(':');
    std::string_view user = userinfo.substr(0, colon);
    std::string_view password =
        colon == std::string_view::npos ? std::string_view() : userinfo.substr(colon + 1);
    record.user = utf8_lossy(percent_decode(user));
    record.password = utf8_lossy(percent_decode(password));
    if (socks) {
      record.auth = ProxyRecord::Auth::kRaw;
    } else {
      record.auth = ProxyRecord::Auth::kBasic;
      record.basic = "Basic " + base64_encode(record.user + ":" + record.password);
      record.user.clear();
      record.password.clear();
    }
  }
  record.uri.reserve(scheme.size() + 3 + host_port.size() + 1);
  record.uri.append(scheme).append("://").append(host_port).push_back('/');
  return record;
}

BypassList BypassList::parse(std::string_view text) {
  BypassList list;
  for (;;) {
    const size_t comma = text.find(',');
    std::string_view part = trim(text.substr(0, comma));
    if (auto net = parse_ip_network(part)) {
      list.networks_.push_back(*net);
    } else if (auto addr = parse_ip(part)) {
      list.addresses_.push_back(*addr);
    } else if (!part.empty()) {
      list.domains_.emplace_back(part);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

bool BypassList::bypasses(std::string_view host) const {
  if (auto addr = parse_ip(host)) {
    for (const IpAddress& a : addresses_)
      if (a == *addr) return true;
    for (const IpNetwork& n : networks_)
      if (n.contains(*addr)) return true;
    return false;
  }
  for (const std::string& d : domains_)
    if (domain_matches(d, host)) return true;
  return false;
}

ProxyMatcher ProxyMatcher::from_parts(std::string_view all, std::string_view http,
                                      std::string_view https, std::string_view no) {
  ProxyMatcher m;
  std::optional<ProxyRecord> all_proxy = all.empty() ? std::nullopt : parse_proxy(all);
  if (!http.empty()) m.http_ = parse_proxy(http);
  if (!m.http_) m.http_ = all_proxy;
  if (!https.empty()) m.https_ = parse_proxy(https);
  if (!m.https_) m.https_ = all_proxy;
  m.bypass_ = BypassList::parse(no);
  return m;
}

ProxyMatcher ProxyMatcher::from_env(const EnvLookup& lookup) {
  // In a CGI handler a client's "Proxy:" request header arrives as HTTP_PROXY, so the
  // environment cannot be trusted for proxies at all (the "httpoxy" attack).
  if (lookup("REQUEST_METHOD")) return ProxyMatcher();
  auto pick = [&](const char* upper, const char* lower) -> std::string_view {
    for (const char* name : {upper, lower}) {
      std::optional<std::string_view> v = lookup(name);
      if (v && is_valid_utf8(*v)) return *v;
    }
    return {};
  };
  return from_parts(pick("ALL_PROXY", "all_proxy"), pick("HTTP_PROXY", "http_proxy"),
                    pick("HTTPS_PROXY", "https_proxy"), pick("NO_PROXY", "no_proxy"));
}

ProxyMatcher ProxyMatcher::from_env() {
  return from_env([](const char* name) -> std::optional<std::string_view> {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string_view(v);
  });
}

const ProxyRecord* ProxyMatcher::intercept(std::string_view url) const {
  Uri uri;
  if (parse_uri(url, uri) || !uri.has_authority) return nullptr;
  std::string_view host = authority_host(uri.authority);
  if (!host.empty() && host.front() == '[') {
    host.remove_prefix(1);
    if (!host.empty() && host.back() == ']') host.remove_suffix(1);
  }
  if (host.empty()) return nullptr;
  if (bypass_.bypasses(host)) return nullptr;
  const std::optional<ProxyRecord>* chosen = nullptr;
  if (uri.scheme == Uri::Scheme::kHttp)
    chosen = &http_;
  else if (uri.scheme == Uri::Scheme::kHttps)
    chosen = &https_;
  if (!chosen || !*chosen) return nullptr;
  return &**chosen;
}

}  // namespace velmora::http
