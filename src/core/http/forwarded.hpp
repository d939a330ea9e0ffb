// Requests that reach the server through proxies: which peers are trusted to say where a request
// came from, and the client and scheme their fields name (RFC 7239 Forwarded, and the
// X-Forwarded-For / X-Forwarded-Proto fields that predate it).
//
// The client is the right-most hop that is not a trusted peer: each proxy appends the address it
// received the request from, so hops to the right of the first untrusted one were written by
// trusted proxies and everything to its left may have been sent by the client itself.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/ip_address.hpp"

namespace velmora::http {

class TrustedPeers {
 public:
  TrustedPeers() = default;  // trusts no one

  // Comma-separated entries, white space around each trimmed and empty ones dropped: "*" (every
  // peer), an IP address, an IP network ("10.0.0.0/8", "fd00::/8") or "unix:" (peers connected
  // over a unix socket). Nothing when an entry is none of these; `bad` then names it.
  static std::optional<TrustedPeers> parse(std::string_view text, std::string_view* bad = nullptr);

  // `host`: the peer's address as text, or empty for a peer over a unix socket.
  bool trusts(std::string_view host) const;
  bool trusts(const IpAddress& a) const;
  bool everyone() const { return all_; }

 private:
  bool all_ = false;
  bool unix_ = false;
  std::vector<IpAddress> addresses_;
  std::vector<IpNetwork> networks_;
};

// The origin of a request as its trusted proxies tell it.
struct ForwardedOrigin {
  enum class Client : uint8_t {
    kUnchanged,  // no usable hop: the client stays the connection's peer
    kAddress,    // `host` and `port` (0 when not given)
    kUnknown,    // the hop is "unknown", obfuscated or not an address: no client
  };
  Client client = Client::kUnchanged;
  std::string host;  // the address as written, IPv6 without brackets
  uint16_t port = 0;
  std::string_view scheme;  // "http" or "https" ("ws"/"wss" mapped to them); empty: unchanged
};

// The values of the fields of one request, each in field order (several field lines of one name
// form one list). The Forwarded field, when present, is used alone; a Forwarded field that does
// not parse changes nothing. Without it, X-Forwarded-For gives the client, and X-Forwarded-Proto
// the scheme (its entry of the chosen hop when it lists as many entries, else its last).
ForwardedOrigin resolve_forwarded(const TrustedPeers& trusted,
                                  std::span<const std::string_view> forwarded,
                                  std::span<const std::string_view> x_forwarded_for,
                                  std::span<const std::string_view> x_forwarded_proto);

// "http" or "https" for the scheme names http, https, ws and wss in any case; empty otherwise.
std::string_view forwarded_scheme(std::string_view proto);

}  // namespace velmora::http
