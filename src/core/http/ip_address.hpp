// IPv4 and IPv6 addresses and networks in their textual forms.
//
// IPv4: exactly four dotted decimal octets without leading zeros (the dec-octet of RFC 3986
// section 3.2.2). IPv6: the text forms of RFC 4291 section 2.2 (one "::" at most, one to four
// hex digits per group, a dotted IPv4 tail in the last 32 bits); zone identifiers (RFC 4007)
// are not part of an address. Networks are an address, "/" and a decimal prefix length of at
// most 32 or 128; bits beyond the prefix are ignored.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::http {

struct IpAddress {
  bool v6 = false;
  std::array<uint8_t, 16> bytes{};  // IPv4 uses the first four

  bool operator==(const IpAddress&) const = default;
};

struct IpNetwork {
  IpAddress base;
  uint8_t prefix = 0;

  bool contains(const IpAddress& a) const;
};

std::optional<IpAddress> parse_ipv4(std::string_view s);
std::optional<IpAddress> parse_ipv6(std::string_view s);
std::optional<IpAddress> parse_ip(std::string_view s);
std::optional<IpNetwork> parse_ip_network(std::string_view s);

}  // namespace velmora::http
