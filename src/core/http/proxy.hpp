// Proxy selection: for a destination URL, whether the request goes through a proxy and which,
// from the process environment (HTTP_PROXY, HTTPS_PROXY, ALL_PROXY, NO_PROXY and their lower-case
// forms) or from explicit strings. Only the decision is made here; the driver dials.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/ip_address.hpp"

namespace velmora::http {

// A selected proxy: its URI (scheme, host and port, path "/") and its credentials.
struct ProxyRecord {
  enum class Auth : uint8_t {
    kNone,
    kBasic,  // HTTP-style proxy: a ready Proxy-Authorization value in `basic`
    kRaw,    // SOCKS proxy: `user` and `password`
  };
  std::string uri;
  Auth auth = Auth::kNone;
  std::string basic;
  std::string user;
  std::string password;

  bool operator==(const ProxyRecord&) const = default;
};

// One proxy string to a record, or nothing when it is unusable: the URI rules must accept it;
// the scheme must be http or https (or absent, meaning http) or one of socks4, socks4a, socks5,
// socks5h; it must have an authority. User information ("user:password@") becomes Basic or Raw
// credentials after percent-decoding.
std::optional<ProxyRecord> parse_proxy(std::string_view text);

// The NO_PROXY list: IP addresses, IP networks and domain patterns.
class BypassList {
 public:
  BypassList() = default;
  // Comma-separated; white space around each entry is trimmed and empty entries are dropped.
  static BypassList parse(std::string_view text);

  // `host` is the host of a URL with any IPv6 brackets removed. An IP address is matched
  // against the IP entries only; a name against the domain patterns only.
  bool bypasses(std::string_view host) const;

  bool empty() const { return addresses_.empty() && networks_.empty() && domains_.empty(); }

 private:
  std::vector<IpAddress> addresses_;
  std::vector<IpNetwork> networks_;
  std::vector<std::string> domains_;
};

class ProxyMatcher {
 public:
  // Returns the value of an environment variable, or nothing when it is unset.
  using EnvLookup = std::function<std::optional<std::string_view>(const char* name)>;

  ProxyMatcher() = default;  // no proxies at all

  // Empty strings count as unset.
  static ProxyMatcher from_parts(std::string_view all, std::string_view http,
                                 std::string_view https, std::string_view no);
  static ProxyMatcher from_env(const EnvLookup& lookup);
  static ProxyMatcher from_env();  // the process environment

  // The proxy for `url`, or null: for URLs that do not parse, have no host, are bypassed,
  // or whose scheme is neither http nor https.
  const ProxyRecord* intercept(std::string_view url) const;

 private:
  std::optional<ProxyRecord> http_;
  std::optional<ProxyRecord> https_;
  BypassList bypass_;
};

}  // namespace velmora::http
