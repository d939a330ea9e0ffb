// The registered header names that most messages carry. A header map stores a recognised name
// as its index here instead of a copy, and the Python layer hands out one interned string per
// name.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velmora::http {

inline constexpr int kStandardHeaderCount = 80;
inline constexpr std::string_view kStandardHeaders[kStandardHeaderCount] = {
    "accept",
    "accept-charset",
    "accept-encoding",
    "accept-language",
    "accept-ranges",
    "access-control-allow-credentials",
    "access-control-allow-headers",
    "access-control-allow-methods",
    "access-control-allow-origin",
    "access-control-expose-headers",
    "access-control-max-age",
    "access-control-request-headers",
    "access-control-request-method",
    "age",
    "allow",
    "alt-svc",
    "authorization",
    "cache-control",
    "connection",
    "content-disposition",
    "content-encoding",
    "content-language",
    "content-length",
    "content-location",
    "content-range",
    "content-security-policy",
    "content-type",
    "cookie",
    "date",
    "dnt",
    "etag",
    "expect",
    "expires",
    "forwarded",
    "from",
    "host",
    "if-match",
    "if-modified-since",
    "if-none-match",
    "if-range",
    "if-unmodified-since",
    "keep-alive",
    "last-modified",
    "link",
    "location",
    "max-forwards",
    "origin",
    "pragma",
    "proxy-authenticate",
    "proxy-authorization",
    "proxy-connection",
    "range",
    "referer",
    "referrer-policy",
    "refresh",
    "retry-after",
    "sec-ch-ua",
    "sec-ch-ua-mobile",
    "sec-ch-ua-platform",
    "sec-fetch-dest",
    "sec-fetch-mode",
    "sec-fetch-site",
    "sec-fetch-user",
    "sec-websocket-accept",
    "sec-websocket-key",
    "sec-websocket-version",
    "server",
    "set-cookie",
    "strict-transport-security",
    "te",
    "trailer",
    "transfer-encoding",
    "upgrade",
    "upgrade-insecure-requests",
    "user-agent",
    "vary",
    "via",
    "www-authenticate",
    "x-forwarded-for",
    "x-requested-with",
};

// Byte equality for short strings without a library call.
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  // Whole words, the last one overlapping the one before; short tails by two overlapping loads.
  auto eq = [](const char* x, const char* y, auto word) {
    decltype(word) u, v;
    __builtin_memcpy(&u, x, sizeof u);
    __builtin_memcpy(&v, y, sizeof v);
    return u == v;
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (!eq(a + i, b + i, uint64_t{})) return false;
    return eq(a + n - 8, b + n - 8, uint64_t{});
  }
  if (n >= 4) return eq(a, b, uint32_t{}) && eq(a + n - 4, b + n - 4, uint32_t{});
  if (n >= 2) return eq(a, b, uint16_t{}) && eq(a + n - 2, b + n - 2, uint16_t{});
  return n == 0 || *a == *b;
}

// Open-addressed table of the standard names keyed by their fast_hash (http/hash.hpp), built
// when the library loads.
struct StandardHeaderIndex {
  static constexpr uint32_t kSlots = 512;
  std::array<int16_t, kSlots> slot;                 // index into kStandardHeaders, or -1
  std::array<uint32_t, kStandardHeaderCount> hash;  // fast_hash of each name
};
extern const StandardHeaderIndex kStandardHeaderIndex;

// Index of the lower-case name `s` in kStandardHeaders, or -1. `fast` is fast_hash(s). Inline:
// every stored name is looked up here once.
inline int find_standard_header(std::string_view s, uint32_t fast) noexcept {
  if (s.size() < 2 || s.size() > 32) return -1;
  const StandardHeaderIndex& t = kStandardHeaderIndex;
  for (uint32_t k = fast & (t.kSlots - 1);; k = (k + 1) & (t.kSlots - 1)) {
    const int i = t.slot[k];
    if (i < 0) return -1;
    if (t.hash[i] != fast) continue;
    const std::string_view n = kStandardHeaders[i];
    if (n.size() == s.size() && same_bytes(n.data(), s.data(), s.size())) return i;
  }
}
int find_standard_header(std::string_view s) noexcept;

// fast_hash(kStandardHeaders[id]), computed once.
inline uint32_t standard_header_hash(int id) noexcept {
  return kStandardHeaderIndex.hash[size_t(id)];
}

}  // namespace velmora::http
