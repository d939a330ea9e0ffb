// Proxy selection on arbitrary text: proxy strings, NO_PROXY lists, IP addresses and networks,
// percent-decoding and the lossy UTF-8 decoder. The input is split at newlines into a proxy
// string, a bypass list and a URL; every piece is also fed to the lower layers alone.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "http/base64.hpp"
#include "http/ip_address.hpp"
#include "http/percent.hpp"
#include "http/proxy.hpp"
#include "http/uri.hpp"
#include "http/utf8.hpp"

namespace {

using namespace velmora::http;

void check(bool ok) {
  if (!ok) std::abort();
}

void lower_layers(std::string_view s) {
  std::string decoded = percent_decode(s);
  check(decoded.size() <= s.size());
  std::string lossy = utf8_lossy(decoded);
  check(is_valid_utf8(lossy));
  if (is_valid_utf8(decoded)) check(lossy == decoded);
  check(base64_encode(s).size() == (s.size() + 2) / 3 * 4);

  std::optional<IpAddress> addr = parse_ip(s);
  if (addr) {
    // A network of the full length holds exactly that address.
    check(IpNetwork{*addr, uint8_t(addr->v6 ? 128 : 32)}.contains(*addr));
    if (!addr->v6)
      for (size_t i = 4; i < 16; ++i)
        check(addr->bytes[i] == 0);
  }
  if (std::optional<IpNetwork> net = parse_ip_network(s)) {
    check(net->prefix <= (net->base.v6 ? 128 : 32));
    check(net->contains(net->base));
  }
}

void proxy_string(std::string_view s) {
  std::optional<ProxyRecord> r = parse_proxy(s);
  if (!r) return;
  check(r->uri.size() >= 4 && r->uri.back() == '/');
  check(r->uri.find("://") != std::string::npos);
  // The proxy URI never carries the user information.
  const std::string_view authority = std::string_view(r->uri).substr(
      r->uri.find("://") + 3, r->uri.size() - r->uri.find("://") - 4);
  check(authority.find('@') == std::string_view::npos);
  Uri uri;
  check(!parse_uri(r->uri, uri));
  switch (r->auth) {
    case ProxyRecord::Auth::kNone:
      check(r->basic.empty() && r->user.empty() && r->password.empty());
      break;
    case ProxyRecord::Auth::kBasic:
      check(r->basic.compare(0, 6, "Basic ") == 0 && (r->basic.size() - 6) % 4 == 0);
      break;
    case ProxyRecord::Auth::kRaw:
      check(is_valid_utf8(r->user) && is_valid_utf8(r->password));
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  for (int i = 0; i < 3; ++i) {
    const size_t nl = text.find('\n');
    parts[i] = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  }
  for (std::string_view p : parts) {
    lower_layers(p);
    proxy_string(p);
  }

  ProxyMatcher m = ProxyMatcher::from_parts(parts[0], parts[0], {}, parts[1]);
  if (const ProxyRecord* r = m.intercept(parts[2])) check(parse_proxy(parts[0]) == *r);
  (void)BypassList::parse(parts[1]).bypasses(parts[2]);

  ProxyMatcher env =
      ProxyMatcher::from_env([&](const char* name) -> std::optional<std::string_view> {
        if (std::string_view(name) == "https_proxy") return parts[0];
        if (std::string_view(name) == "NO_PROXY") return parts[1];
        return std::nullopt;
      });
  (void)env.intercept(parts[2]);
  return 0;
}
