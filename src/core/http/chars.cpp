#include "http/chars.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstring>

namespace velmora::http {
namespace {

constexpr bool in(std::string_view set, int c) {
  for (char s : set)
    if (static_cast<unsigned char>(s) == c) return true;
  return false;
}

constexpr std::array<uint8_t, 256> build_classes() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    uint8_t v = 0;
    if (alpha || digit || in("!#$%&'*+-.^_`|~", c)) v |= kTokenChar;
    if (c == '\t' || (c >= 0x20 && c != 0x7f)) v |= kFieldValueChar;
    if (alpha || digit || in("-._~!$&'()*+,;=:@/?#[]%", c)) v |= kUriChar;
    if (in("{}|\\^`\"<>", c)) v |= kQueryExtraChar;
    if (alpha || digit || in("+-.", c)) v |= kSchemeChar;
    if (digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) v |= kHexDigit;
    t[c] = v;
  }
  return t;
}

constexpr std::array<uint8_t, 256> kTable = build_classes();

// Lower-case form of each token byte; 0 for bytes that are not token characters.
constexpr std::array<char, 256> build_lower_token() {
  std::array<char, 256> t{};
  for (int c = 0; c < 256; ++c)
    if (kTable[c] & kTokenChar) t[c] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
  return t;
}

constexpr std::array<char, 256> kLowerToken = build_lower_token();

}  // namespace

const uint8_t kCharClass[256] = {
#define ROW(i)                                                                                    \
  kTable[i], kTable[i + 1], kTable[i + 2], kTable[i + 3], kTable[i + 4], kTable[i + 5],           \
      kTable[i + 6], kTable[i + 7], kTable[i + 8], kTable[i + 9], kTable[i + 10], kTable[i + 11], \
      kTable[i + 12], kTable[i + 13], kTable[i + 14], kTable[i + 15]
    ROW(0),   ROW(16),  ROW(32),  ROW(48),  ROW(64),  ROW(80),  ROW(96),  ROW(112),
    ROW(128), ROW(144), ROW(160), ROW(176), ROW(192), ROW(208), ROW(224), ROW(240),
#undef ROW
};

bool is_valid_field_name(std::string_view s) {
  if (s.empty() || s.size() > 65535) return false;
  for (unsigned char c : s)
    if (!is_token_char(c)) return false;
  return true;
}

bool is_valid_field_value(std::string_view s) {
  // Eight bytes at a time: a word with no byte below 0x20 and no 0x7F is valid as it is; a word
  // that may hold one (tab included) is checked byte by byte.
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const char* p = s.data();
  size_t n = s.size();
#if defined(__SSE2__)
  // Sixteen bytes at a time: a byte at or below 0x1F other than the tab, or 0x7F, is invalid.
  const __m128i ctl = _mm_set1_epi8(0x1f), tab = _mm_set1_epi8(0x09), del = _mm_set1_epi8(0x7f);
  auto bad_block = [&](const char* at) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, ctl), v);
    const __m128i bad =
        _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(v, tab), low), _mm_cmpeq_epi8(v, del));
    return _mm_movemask_epi8(bad) != 0;
  };
  if (n >= 16) {
    // Whole blocks, then the last 16 bytes as one block overlapping the one before.
    const char* last = p + n - 16;
    for (; p < last; p += 16)
      if (bad_block(p)) return false;
    return !bad_block(last);
  }
#endif
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t below_space = (w - kOnes * 0x20) & ~w & kHigh;
    uint64_t x = w ^ (kOnes * 0x7f);
    uint64_t del = (x - kOnes) & ~x & kHigh;
    if (below_space | del) {
      for (int i = 0; i < 8; ++i)
        if (!is_field_value_char(static_cast<unsigned char>(p[i]))) return false;
    }
    p += 8;
    n -= 8;
  }
  for (; n; --n, ++p)
    if (!is_field_value_char(static_cast<unsigned char>(*p))) return false;
  return true;
}

bool lower_field_name(std::string_view s, char* out) {
  if (s.empty() || s.size() > 65535) return false;
  bool ok = true;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = kLowerToken[static_cast<unsigned char>(s[i])];
    ok &= c != 0;
    out[i] = c;
  }
  return ok;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

}  // namespace velmora::http
