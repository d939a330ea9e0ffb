#include "http/forwarded.hpp"

#include "http/chars.hpp"

namespace velmora::http {
namespace {

bool is_ows(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_ows(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && is_ows(s.back()))
    s.remove_suffix(1);
  return s;
}

// Calls f(entry) for every non-empty, trimmed entry of a comma-separated list.
template <class F>
void for_each_entry(std::string_view list, F&& f) {
  for (;;) {
    const size_t comma = list.find(',');
    std::string_view entry = trim(list.substr(0, comma));
    if (!entry.empty()) f(entry);
    if (comma == std::string_view::npos) return;
    list.remove_prefix(comma + 1);
  }
}

// A node of RFC 7239 section 6 (also the entries of X-Forwarded-For): an IPv4 address, an IPv6
// address (bracketed when a port follows), each with an optional ":port"; an obfuscated port
// ("_" and more) counts as no port.
struct Node {
  std::optional<IpAddress> ip;
  std::string_view host;
  uint16_t port = 0;
};

bool parse_port(std::string_view s, uint16_t& out) {
  if (!s.empty() && s[0] == '_') {  // obfport = "_" 1*(ALPHA / DIGIT / "." / "_" / "-")
    for (char c : s.substr(1))
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '_' || c == '-'))
        return false;
    out = 0;
    return s.size() > 1;
  }
  if (s.empty() || s.size() > 5) return false;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > 65535) return false;
  out = uint16_t(v);
  return true;
}

Node parse_node(std::string_view s) {
  Node n;
  if (!s.empty() && s[0] == '[') {
    const size_t close = s.find(']');
    if (close == std::string_view::npos) return n;
    std::string_view rest = s.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || !parse_port(rest.substr(1), n.port))) return n;
    n.host = s.substr(1, close - 1);
    n.ip = parse_ipv6(n.host);
    return n;
  }
  if ((n.ip = parse_ip(s))) {
    n.host = s;
    return n;
  }
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos || !parse_port(s.substr(colon + 1), n.port)) return n;
  n.host = s.substr(0, colon);
  n.ip = parse_ipv4(n.host);
  return n;
}

// One forwarded-element: the values of its "for" and "proto" parameters.
struct Element {
  std::string node;
  std::string proto;
  bool has_for = false;
  bool has_proto = false;
};

// forwarded-pair values: a token or a quoted-string (RFC 9110 section 5.6.4), unescaped into
// `out`. Advances `p`; false when malformed.
bool parse_value(std::string_view s, size_t& p, std::string& out) {
  out.clear();
  if (p < s.size() && s[p] == '"') {
    for (++p; p < s.size(); ++p) {
      const uint8_t c = uint8_t(s[p]);
      if (c == '"') {
        ++p;
        return true;
      }
      if (c == '\\') {
        if (++p == s.size()) return false;
        const uint8_t e = uint8_t(s[p]);
        if (e != '\t' && (e < 0x20 || e == 0x7F)) return false;
        out += char(e);
      } else if (c == '\t' || (c >= 0x20 && c != 0x7F)) {
        out += char(c);
      } else {
        return false;
      }
    }
    return false;
  }
  const size_t start = p;
  while (p < s.size() && is_token_char(uint8_t(s[p])))
    ++p;
  out.assign(s.substr(start, p - start));
  return p > start;
}

// Appends the elements of one Forwarded field value to `out` (RFC 7239 section 4); false when
// it does not parse. Empty list elements and empty pairs are allowed, as the list rule does.
bool parse_forwarded(std::string_view s, std::vector<Element>& out) {
  size_t p = 0;
  std::string value;
  auto skip_ows = [&] {
    while (p < s.size() && is_ows(s[p]))
      ++p;
  };
  for (;;) {
    Element e;
    bool any = false;
    for (;;) {  // the pairs of one element
      skip_ows();
      if (p < s.size() && s[p] != ',' && s[p] != ';') {
        const size_t start = p;
        while (p < s.size() && is_token_char(uint8_t(s[p])))
          ++p;
        const std::string_view name = s.substr(start, p - start);
        if (name.empty() || p == s.size() || s[p] != '=') return false;
        ++p;
        if (!parse_value(s, p, value)) return false;
        any = true;
        if (ascii_iequals(name, "for")) {
          if (e.has_for) return false;  // a parameter occurs once per element at most
          e.has_for = true;
          e.node = value;
        } else if (ascii_iequals(name, "proto")) {
          if (e.has_proto) return false;
          e.has_proto = true;
          e.proto = value;
        }
        skip_ows();
      }
      if (p < s.size() && s[p] == ';') {
        ++p;
        continue;
      }
      break;
    }
    if (any) out.push_back(std::move(e));
    if (p == s.size()) return true;
    if (s[p] != ',') return false;
    ++p;
  }
}

// The index of the client hop among `n` hops: the right-most untrusted one, or the left-most
// when all are trusted.
template <class Trusted>
size_t client_hop(size_t n, Trusted&& trusted) {
  size_t i = n;
  while (i > 1 && trusted(i - 1))
    --i;
  return i - 1;
}

void set_client(ForwardedOrigin& o, const Node& node) {
  if (node.ip) {
    o.client = ForwardedOrigin::Client::kAddress;
    o.host.assign(node.host);
    o.port = node.port;
  } else {
    o.client = ForwardedOrigin::Client::kUnknown;
  }
}

ForwardedOrigin from_forwarded(const TrustedPeers& trusted,
                               std::span<const std::string_view> values) {
  ForwardedOrigin o;
  std::vector<Element> elements;
  for (std::string_view v : values)
    if (!parse_forwarded(v, elements)) return o;
  if (elements.empty()) return o;
  bool any_for = false;
  for (const Element& e : elements)
    any_for |= e.has_for;
  size_t k = elements.size() - 1;
  if (any_for) {
    k = client_hop(elements.size(), [&](size_t i) {
      if (!elements[i].has_for) return false;
      const Node n = parse_node(elements[i].node);
      return n.ip && trusted.trusts(*n.ip);
    });
    if (elements[k].has_for)
      set_client(o, parse_node(elements[k].node));
    else
      o.client = ForwardedOrigin::Client::kUnknown;
  }
  if (elements[k].has_proto) o.scheme = forwarded_scheme(elements[k].proto);
  return o;
}

}  // namespace

std::optional<TrustedPeers> TrustedPeers::parse(std::string_view text, std::string_view* bad) {
  TrustedPeers t;
  bool ok = true;
  for_each_entry(text, [&](std::string_view entry) {
    if (!ok) return;
    if (entry == "*") {
      t.all_ = true;
    } else if (entry == "unix:") {
      t.unix_ = true;
    } else if (std::optional<IpAddress> a = parse_ip(entry)) {
      t.addresses_.push_back(*a);
    } else if (std::optional<IpNetwork> n = parse_ip_network(entry)) {
      t.networks_.push_back(*n);
    } else {
      ok = false;
      if (bad) *bad = entry;
    }
  });
  if (!ok) return std::nullopt;
  return t;
}

bool TrustedPeers::trusts(const IpAddress& a) const {
  if (all_) return true;
  for (const IpAddress& x : addresses_)
    if (x == a) return true;
  for (const IpNetwork& n : networks_)
    if (n.contains(a)) return true;
  return false;
}

bool TrustedPeers::trusts(std::string_view host) const {
  if (host.empty()) return all_ || unix_;
  if (all_) return true;
  std::optional<IpAddress> a = parse_ip(host);
  return a && trusts(*a);
}

std::string_view forwarded_scheme(std::string_view proto) {
  if (ascii_iequals(proto, "http") || ascii_iequals(proto, "ws")) return "http";
  if (ascii_iequals(proto, "https") || ascii_iequals(proto, "wss")) return "https";
  return {};
}

ForwardedOrigin resolve_forwarded(const TrustedPeers& trusted,
                                  std::span<const std::string_view> forwarded,
                                  std::span<const std::string_view> x_forwarded_for,
                                  std::span<const std::string_view> x_forwarded_proto) {
  if (!forwarded.empty()) return from_forwarded(trusted, forwarded);
  ForwardedOrigin o;
  std::vector<std::string_view> hops;
  for (std::string_view v : x_forwarded_for)
    for_each_entry(v, [&](std::string_view e) { hops.push_back(e); });
  size_t k = 0;
  if (!hops.empty()) {
    k = client_hop(hops.size(), [&](size_t i) {
      const Node n = parse_node(hops[i]);
      return n.ip && trusted.trusts(*n.ip);
    });
    set_client(o, parse_node(hops[k]));
  }
  std::vector<std::string_view> protos;
  for (std::string_view v : x_forwarded_proto)
    for_each_entry(v, [&](std::string_view e) { protos.push_back(e); });
  if (!protos.empty())
    o.scheme = forwarded_scheme(protos.size() == hops.size() ? protos[k] : protos.back());
  return o;
}

}  // namespace velmora::http
