// Proxy fields on arbitrary bytes: the first line is a trusted-peer list, each further line a
// field value; a line's first byte chooses its field (F: Forwarded, X: X-Forwarded-For, P:
// X-Forwarded-Proto). The resolved client is an address the IP parser accepts, the scheme one
// of the two names.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "http/forwarded.hpp"
#include "http/ip_address.hpp"

namespace {

using namespace velmora::http;

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t nl = text.find('\n');
  const std::string_view list = text.substr(0, nl);
  text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
  std::optional<TrustedPeers> peers = TrustedPeers::parse(list);
  if (!peers) peers = TrustedPeers::parse("*");
  (void)peers->trusts(list);

  std::vector<std::string_view> fields[3];
  while (!text.empty()) {
    nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (line.empty()) continue;
    const int which = line[0] == 'F' ? 0 : line[0] == 'X' ? 1 : 2;
    fields[which].push_back(line.substr(1));
  }
  for (int only = -1; only < 3; ++only) {  // all fields together, then each alone
    const std::vector<std::string_view> none;
    auto pick = [&](int i) -> const std::vector<std::string_view>& {
      return only < 0 || only == i ? fields[i] : none;
    };
    const ForwardedOrigin o = resolve_forwarded(*peers, pick(0), pick(1), pick(2));
    check(o.scheme.empty() || o.scheme == "http" || o.scheme == "https");
    if (o.client == ForwardedOrigin::Client::kAddress)
      check(parse_ip(o.host).has_value());
    else
      check(o.host.empty() && o.port == 0);
  }
  return 0;
}
