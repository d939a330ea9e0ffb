#include "http1/tokenizer.hpp"

#include <cstring>

#include "http/chars.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#define VELMORA_HAVE_SSSE3_PATH 1
#endif

namespace velmora::http1 {
namespace {

using http::is_token_char;

inline bool value_stop(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7f;
}
inline bool target_stop(unsigned char c) {
  return c <= 0x20 || c == 0x7f;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t load64(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}
// Bytes below `n` (n <= 128); exact for the lowest flagged byte, which is all callers use.
inline uint64_t has_less(uint64_t x, uint8_t n) {
  return (x - kOnes * n) & ~x & kHighs;
}
inline uint64_t has_byte(uint64_t x, uint8_t b) {
  return has_less(x ^ (kOnes * b), 1);
}

// First byte at or after `i` for which `target_stop` holds; `high` collects whether any byte
// scanned before it is 0x80 or above.
size_t find_target_end(const char* p, size_t i, size_t n, bool& high) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i del = _mm_set1_epi8(0x7f);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, space), v);
    unsigned stop = unsigned(_mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(v, del))));
    unsigned hi = unsigned(_mm_movemask_epi8(v));
    if (stop) {
      unsigned at = unsigned(__builtin_ctz(stop));
      if (hi & ((1u << at) - 1)) high = true;
      return i + at;
    }
    if (hi) high = true;
  }
#else
  for (; i + 8 <= n; i += 8) {
    uint64_t x = load64(p + i);
    if (has_less(x, 0x21) | has_byte(x, 0x7f)) break;
    if (x & kHighs) high = true;
  }
#endif
  for (; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (target_stop(c)) return i;
    if (c >= 0x80) high = true;
  }
  return n;
}

// Field names: the first byte at or after `i` that is not a token character, or `n`.
size_t find_name_end_scalar(const char* p, size_t i, size_t n) {
  for (; i + 4 <= n; i += 4) {
    if (!is_token_char(static_cast<unsigned char>(p[i]))) return i;
    if (!is_token_char(static_cast<unsigned char>(p[i + 1]))) return i + 1;
    if (!is_token_char(static_cast<unsigned char>(p[i + 2]))) return i + 2;
    if (!is_token_char(static_cast<unsigned char>(p[i + 3]))) return i + 3;
  }
  while (i < n && is_token_char(static_cast<unsigned char>(p[i])))
    ++i;
  return i;
}

#if defined(VELMORA_HAVE_SSSE3_PATH)
// Token classification of 16 bytes at once: a byte is a token character when the bit of its
// high nibble is set in the low-nibble row of a 16 x 8 bitmap (high nibbles 8-15 never are).
struct NibbleTable {
  alignas(16) uint8_t lo[16];
};
constexpr NibbleTable build_token_rows() {
  NibbleTable t{};
  constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  for (int c = 0x21; c < 0x7f; ++c) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    bool token = alpha || digit || kExtra.find(char(c)) != std::string_view::npos;
    if (token) t.lo[c & 15] = uint8_t(t.lo[c & 15] | (1u << (c >> 4)));
  }
  return t;
}
constexpr NibbleTable kTokenRows = build_token_rows();

__attribute__((target("ssse3"))) size_t find_name_end_ssse3(const char* p, size_t i, size_t n) {
  const __m128i rows = _mm_load_si128(reinterpret_cast<const __m128i*>(kTokenRows.lo));
  const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i low4 = _mm_set1_epi8(0x0f);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i row = _mm_shuffle_epi8(rows, _mm_and_si128(v, low4));
    __m128i bit = _mm_shuffle_epi8(bits, _mm_and_si128(_mm_srli_epi16(v, 4), low4));
    __m128i hit = _mm_cmpeq_epi8(_mm_and_si128(row, bit), _mm_setzero_si128());
    unsigned stop = unsigned(_mm_movemask_epi8(hit));
    if (stop) return i + unsigned(__builtin_ctz(stop));
  }
  return find_name_end_scalar(p, i, n);
}

using NameScan = size_t (*)(const char*, size_t, size_t);
const NameScan kFindNameEnd =
    __builtin_cpu_supports("ssse3") ? find_name_end_ssse3 : find_name_end_scalar;
inline size_t find_name_end(const char* p, size_t i, size_t n) {
  return kFindNameEnd(p, i, n);
}
#else
inline size_t find_name_end(const char* p, size_t i, size_t n) {
  return find_name_end_scalar(p, i, n);
}
#endif

}  // namespace

size_t find_value_end(const char* p, size_t i, size_t n) {
#if defined(__SSE2__)
  const __m128i c1f = _mm_set1_epi8(0x1f);
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i del = _mm_set1_epi8(0x7f);
  for (; i + 16 <= n; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i ctl = _mm_andnot_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(_mm_min_epu8(v, c1f), v));
    unsigned stop = unsigned(_mm_movemask_epi8(_mm_or_si128(ctl, _mm_cmpeq_epi8(v, del))));
    if (stop) return i + unsigned(__builtin_ctz(stop));
  }
#else
  for (; i + 8 <= n; i += 8) {
    // A tab is below 0x20 too: its word goes to the byte loop, which sorts it out.
    uint64_t x = load64(p + i);
    if (has_less(x, 0x20) | has_byte(x, 0x7f)) break;
  }
#endif
  for (; i < n; ++i)
    if (value_stop(static_cast<unsigned char>(p[i]))) return i;
  return n;
}

std::string_view token_error_text(TokenError e) {
  switch (e) {
    case TokenError::kMethod:
      return "invalid token";
    case TokenError::kTarget:
      return "invalid token";
    case TokenError::kVersion:
      return "invalid HTTP version";
    case TokenError::kStatus:
      return "invalid response status";
    case TokenError::kHeaderName:
      return "invalid header name";
    case TokenError::kHeaderValue:
      return "invalid header value";
    case TokenError::kNewLine:
      return "invalid new line";
    case TokenError::kTooMany:
      return "too many headers";
    case TokenError::kNameTooLong:
      return "header name too long";
  }
  return "invalid token";
}

Method classify_method(std::string_view m) {
  switch (m.size()) {
    case 3:
      if (m == "GET") return Method::kGet;
      if (m == "PUT") return Method::kPut;
      break;
    case 4:
      if (m == "POST") return Method::kPost;
      if (m == "HEAD") return Method::kHead;
      break;
    case 5:
      if (m == "PATCH") return Method::kPatch;
      if (m == "TRACE") return Method::kTrace;
      if (m == "QUERY") return Method::kQuery;
      break;
    case 6:
      if (m == "DELETE") return Method::kDelete;
      break;
    case 7:
      if (m == "OPTIONS") return Method::kOptions;
      if (m == "CONNECT") return Method::kConnect;
      break;
  }
  return Method::kOther;
}

std::string_view method_name(Method m) {
  switch (m) {
    case Method::kGet:
      return "GET";
    case Method::kPost:
      return "POST";
    case Method::kPut:
      return "PUT";
    case Method::kDelete:
      return "DELETE";
    case Method::kHead:
      return "HEAD";
    case Method::kOptions:
      return "OPTIONS";
    case Method::kConnect:
      return "CONNECT";
    case Method::kPatch:
      return "PATCH";
    case Method::kTrace:
      return "TRACE";
    case Method::kQuery:
      return "QUERY";
    case Method::kNone:
    case Method::kOther:
      break;
  }
  return {};
}

bool valid_utf8(std::string_view s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10ffff)))
      return false;
    i += len;
  }
  return true;
}

Scan skip_empty_lines(const char* p, size_t n, size_t& pos) {
  while (pos < n) {
    if (p[pos] == '\n') {
      ++pos;
    } else if (p[pos] == '\r') {
      if (pos + 1 == n) return Scan::kPartial;
      if (p[pos + 1] != '\n') return Scan::kError;
      pos += 2;
    } else {
      return Scan::kComplete;
    }
  }
  return Scan::kPartial;
}

namespace {

// "HTTP/1.0" or "HTTP/1.1" at `i`: 0 or 1 for the minor version, -1 partial, -2 invalid.
int scan_version(const char* p, size_t n, size_t i) {
  static const char kPrefix[] = "HTTP/1.";
  size_t avail = n - i;
  if (avail >= 8) {
    if (std::memcmp(p + i, kPrefix, 7) != 0) return -2;
    if (p[i + 7] == '0') return 0;
    if (p[i + 7] == '1') return 1;
    return -2;
  }
  if (std::memcmp(p + i, kPrefix, avail < 7 ? avail : 7) != 0) return -2;
  if (avail == 7) return -1;
  return -1;
}

// A line end at `i`: the number of bytes (1 or 2), 0 partial, -1 invalid.
inline int line_end(const char* p, size_t n, size_t i) {
  if (i >= n) return 0;
  if (p[i] == '\n') return 1;
  if (p[i] != '\r') return -1;
  if (i + 1 >= n) return 0;
  return p[i + 1] == '\n' ? 2 : -1;
}

}  // namespace

Scan scan_request_line(const char* p, size_t n, size_t& pos, RequestLine& out, TokenError& err) {
  size_t i = pos;
  // The two methods of almost every request, with their space, by direct comparison.
  if (n - i >= 4 && std::memcmp(p + i, "GET ", 4) == 0) {
    out.method = {uint32_t(i), 3};
    out.method_id = Method::kGet;
    i += 4;
  } else if (n - i >= 5 && std::memcmp(p + i, "POST ", 5) == 0) {
    out.method = {uint32_t(i), 4};
    out.method_id = Method::kPost;
    i += 5;
  } else {
    size_t start = i;
    while (i < n && is_token_char(static_cast<unsigned char>(p[i])))
      ++i;
    if (i == n) return Scan::kPartial;
    if (i == start || p[i] != ' ') {
      err = TokenError::kMethod;
      return Scan::kError;
    }
    out.method = {uint32_t(start), uint32_t(i - start)};
    out.method_id = classify_method(out.method.in(p));
    ++i;
  }

  size_t tstart = i;
  bool high = false;
  i = find_target_end(p, i, n, high);
  if (i == n) return Scan::kPartial;
  if (i == tstart || p[i] != ' ') {
    err = TokenError::kTarget;
    return Scan::kError;
  }
  out.target = {uint32_t(tstart), uint32_t(i - tstart)};
  if (high && !valid_utf8(out.target.in(p))) {
    err = TokenError::kTarget;
    return Scan::kError;
  }
  ++i;

  int v = scan_version(p, n, i);
  if (v == -1) return Scan::kPartial;
  if (v == -2) {
    err = TokenError::kVersion;
    return Scan::kError;
  }
  out.http10 = v == 0;
  i += 8;
  int le = line_end(p, n, i);
  if (le == 0) return Scan::kPartial;
  if (le < 0) {
    err = TokenError::kNewLine;
    return Scan::kError;
  }
  pos = i + size_t(le);
  return Scan::kComplete;
}

Scan scan_status_line(const char* p, size_t n, size_t& pos, StatusLine& out, TokenError& err) {
  size_t i = pos;
  int v = scan_version(p, n, i);
  if (v == -1) return Scan::kPartial;
  if (v == -2) {
    err = TokenError::kVersion;
    return Scan::kError;
  }
  out.http10 = v == 0;
  i += 8;
  if (i >= n) return Scan::kPartial;
  if (p[i] != ' ') {
    err = TokenError::kVersion;
    return Scan::kError;
  }
  ++i;
  uint32_t code = 0;
  for (int k = 0; k < 3; ++k, ++i) {
    if (i >= n) return Scan::kPartial;
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < '0' || c > '9') {
      err = TokenError::kStatus;
      return Scan::kError;
    }
    code = code * 10 + (c - '0');
  }
  if (i >= n) return Scan::kPartial;
  if (p[i] == ' ') {
    ++i;
    size_t e = find_value_end(p, i, n);
    if (e == n) return Scan::kPartial;
    i = e;
  }
  int le = line_end(p, n, i);
  if (le == 0) return Scan::kPartial;
  if (le < 0) {
    err = p[i] == '\r' ? TokenError::kNewLine : TokenError::kStatus;
    return Scan::kError;
  }
  if (code < 100) {
    err = TokenError::kStatus;
    return Scan::kError;
  }
  out.status = static_cast<uint16_t>(code);
  pos = i + size_t(le);
  return Scan::kComplete;
}

Scan scan_fields(const char* p, size_t n, size_t& pos, RawField* fields, size_t limit,
                 size_t& count, bool skip_invalid, TokenError& err) {
  size_t i = pos;
  count = 0;
  for (;;) {
    if (i >= n) return Scan::kPartial;
    // End of the block.
    if (p[i] == '\n') {
      pos = i + 1;
      return Scan::kComplete;
    }
    if (p[i] == '\r') {
      if (i + 1 >= n) return Scan::kPartial;
      if (p[i + 1] != '\n') {
        err = TokenError::kNewLine;
        return Scan::kError;
      }
      pos = i + 2;
      return Scan::kComplete;
    }

    const size_t line = i;
    TokenError bad{};
    bool invalid = false;

    // Name: token characters up to the colon.
    size_t name_end = find_name_end(p, i, n);
    if (name_end - line >= 65536) {
      err = TokenError::kNameTooLong;
      return Scan::kError;
    }
    if (name_end == n) return Scan::kPartial;
    if (name_end == line || p[name_end] != ':') {
      invalid = true;
      bad = TokenError::kHeaderName;
    }

    size_t vstart = 0, vend = 0, next = 0;
    if (!invalid) {
      i = name_end + 1;
      while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
      vstart = i;
      i = find_value_end(p, i, n);
      if (i == n) return Scan::kPartial;
      int le = line_end(p, n, i);
      if (le == 0) return Scan::kPartial;
      if (le < 0) {
        if (p[i] == '\r') {
          err = TokenError::kNewLine;
          return Scan::kError;
        }
        invalid = true;
        bad = TokenError::kHeaderValue;
      } else {
        vend = i;
        next = i + size_t(le);
      }
    }

    if (invalid) {
      // Without skipping, the line is an error as soon as it is seen; when skipping, the rest
      // of the line must still be free of NUL and bare CR.
      if (!skip_invalid) {
        err = bad;
        return Scan::kError;
      }
      size_t j = line;
      for (;; ++j) {
        if (j >= n) return Scan::kPartial;
        char c = p[j];
        if (c == '\0') {
          err = TokenError::kHeaderValue;
          return Scan::kError;
        }
        if (c == '\n') break;
        if (c == '\r') {
          if (j + 1 >= n) return Scan::kPartial;
          if (p[j + 1] != '\n') {
            err = TokenError::kNewLine;
            return Scan::kError;
          }
          ++j;
          break;
        }
      }
      i = j + 1;
      continue;
    }

    while (vend > vstart && (p[vend - 1] == ' ' || p[vend - 1] == '\t'))
      --vend;
    if (count == limit) {
      err = TokenError::kTooMany;
      return Scan::kError;
    }
    fields[count].name = {uint32_t(line), uint32_t(name_end - line)};
    fields[count].value = {uint32_t(vstart), uint32_t(vend - vstart)};
    ++count;
    i = next;
  }
}

}  // namespace velmora::http1
