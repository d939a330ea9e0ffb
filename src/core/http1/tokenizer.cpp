#include "http1/tokenizer.hpp"

#include <cstring>

#include "http/chars.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMORA_HAVE_SSSE3_PATH 1
#endif

namespace velmora::http1 {
namespace {

using http::is_token_char;

constexpr bool value_stop(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7f;
}
inline bool target_stop(unsigned char c) {
  return c <= 0x20 || c == 0x7f;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

[[maybe_unused]] inline uint64_t load64(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}
// Bytes below `n` (n <= 128); exact for the lowest flagged byte, which is all callers use.
inline uint64_t has_less(uint64_t x, uint8_t n) {
  return (x - kOnes * n) & ~x & kHighs;
}
[[maybe_unused]] inline uint64_t has_byte(uint64_t x, uint8_t b) {
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
// The header block is classified 64 bytes at a time into two bitmaps (bit k for byte k): the
// bytes that end a field name (anything but a token character) and the bytes that end a field
// value (controls but HTAB, and DEL). Finding the end of a name or a value is then a shift and a
// count of trailing zeros instead of a vector scan per field, which on short fields is a chain
// of dependent operations.
//
// Both classes come from one lookup per byte: the row of its low nibble in a bitmap of 16 rows
// by 8 high nibbles, ANDed with the bit of its high nibble. Bytes 0x80 and up select no row
// (pshufb zeroes them): not token characters, valid in values.
struct NibbleRows {
  alignas(16) uint8_t token[16];  // set: a token character
  alignas(16) uint8_t stop[16];   // set: ends a value
};
constexpr NibbleRows build_rows() {
  NibbleRows t{};
  constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  for (int c = 0; c < 0x80; ++c) {
    bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    bool token = alpha || digit || (c > 0x20 && kExtra.find(char(c)) != std::string_view::npos);
    if (token) t.token[c & 15] = uint8_t(t.token[c & 15] | (1u << (c >> 4)));
    if (value_stop(static_cast<unsigned char>(c)))
      t.stop[c & 15] = uint8_t(t.stop[c & 15] | (1u << (c >> 4)));
  }
  return t;
}
constexpr NibbleRows kRows = build_rows();

// Classify 64 bytes at `p` into both bitmaps (a set bit ends a name or a value).
struct ClassifySsse3 {
  __attribute__((target("ssse3"))) static void run(const char* p, uint64_t& name_stop,
                                                   uint64_t& value_stop) {
    const __m128i token = _mm_load_si128(reinterpret_cast<const __m128i*>(kRows.token));
    const __m128i stop = _mm_load_si128(reinterpret_cast<const __m128i*>(kRows.stop));
    const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i low4 = _mm_set1_epi8(0x0f);
    const __m128i zero = _mm_setzero_si128();
    uint64_t names = 0, values = 0;
    for (int k = 0; k < 4; ++k) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
      __m128i bit = _mm_shuffle_epi8(bits, _mm_and_si128(_mm_srli_epi16(v, 4), low4));
      __m128i tok = _mm_cmpeq_epi8(_mm_and_si128(_mm_shuffle_epi8(token, v), bit), zero);
      __m128i val = _mm_cmpeq_epi8(_mm_and_si128(_mm_shuffle_epi8(stop, v), bit), zero);
      names |= uint64_t(uint16_t(_mm_movemask_epi8(tok))) << (16 * k);
      values |= uint64_t(uint16_t(_mm_movemask_epi8(val))) << (16 * k);
    }
    name_stop = names;
    value_stop = ~values;
  }
};

struct ClassifyAvx2 {
  __attribute__((target("avx2"))) static void run(const char* p, uint64_t& name_stop,
                                                  uint64_t& value_stop) {
    const __m256i token =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kRows.token)));
    const __m256i stop =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kRows.stop)));
    const __m256i bits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                                          2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i low4 = _mm256_set1_epi8(0x0f);
    const __m256i zero = _mm256_setzero_si256();
    uint64_t names = 0, values = 0;
    for (int k = 0; k < 2; ++k) {
      __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
      __m256i bit = _mm256_shuffle_epi8(bits, _mm256_and_si256(_mm256_srli_epi16(v, 4), low4));
      __m256i tok = _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(token, v), bit), zero);
      __m256i val = _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(stop, v), bit), zero);
      names |= uint64_t(uint32_t(_mm256_movemask_epi8(tok))) << (32 * k);
      values |= uint64_t(uint32_t(_mm256_movemask_epi8(val))) << (32 * k);
    }
    name_stop = names;
    value_stop = ~values;
  }
};

// Answers "where does the name / the value starting at `i` end" from the bitmaps of the 64-byte
// window at base_, classifying the next window when the answer lies beyond it. Positions asked
// for only grow, so one window is enough. A window that would run past `n` is moved back to end
// at `n`; a buffer shorter than 64 bytes is classified from a copy padded with NUL, which ends
// names and values alike. Either way a stop at or past `n` reads as `n` (the field is cut short),
// as with the plain scans.
template <class Classify>
class BitmapCursor {
 public:
  [[gnu::always_inline]] BitmapCursor(const char* p, size_t n, size_t pos) : p_(p), n_(n) {
    load(pos < n ? pos : n);
  }
  [[gnu::always_inline]] size_t name_end(size_t i) { return find(i, name_stop_); }
  [[gnu::always_inline]] size_t value_end(size_t i) { return find(i, value_stop_); }

 private:
  [[gnu::always_inline]] size_t find(size_t i, const uint64_t& mask) {
    for (;;) {
      if (i - base_ >= 64) {
        if (i >= n_) return n_;
        load(i);
      }
      if (uint64_t m = mask >> (i - base_)) {
        size_t at = i + size_t(__builtin_ctzll(m));
        return at < n_ ? at : n_;
      }
      i = base_ + 64;
    }
  }
  [[gnu::always_inline]] void load(size_t at) {
    base_ = at;
    if (n_ - at >= 64) {
      Classify::run(p_ + at, name_stop_, value_stop_);
      return;
    }
    if (n_ >= 64) {  // the last 64 bytes: nothing at or past n is ever flagged
      base_ = n_ - 64;
      Classify::run(p_ + base_, name_stop_, value_stop_);
      return;
    }
    base_ = 0;
    alignas(32) char tail[64];
    std::memcpy(tail, p_, n_);
    std::memset(tail + n_, 0, 64 - n_);
    Classify::run(tail, name_stop_, value_stop_);
  }

  const char* p_;
  size_t n_;
  size_t base_ = 0;
  uint64_t name_stop_ = 0;
  uint64_t value_stop_ = 0;
};
#endif

// The plain scans, for CPUs without SSSE3 and other architectures.
class PlainCursor {
 public:
  PlainCursor(const char* p, size_t n, size_t) : p_(p), n_(n) {}
  size_t name_end(size_t i) const { return find_name_end_scalar(p_, i, n_); }
  size_t value_end(size_t i) const { return find_value_end(p_, i, n_); }

 private:
  const char* p_;
  size_t n_;
};

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

namespace {

template <class Cursor>
[[gnu::always_inline]] inline Scan scan_fields_with(Cursor cursor, const char* p, size_t n,
                                                    size_t& pos, RawField* fields, size_t limit,
                                                    size_t& count, bool skip_invalid,
                                                    TokenError& err) {
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
    size_t name_end = cursor.name_end(i);
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
      i = cursor.value_end(i);
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

using FieldScan = Scan (*)(const char*, size_t, size_t&, RawField*, size_t, size_t&, bool,
                           TokenError&);

Scan scan_fields_plain(const char* p, size_t n, size_t& pos, RawField* fields, size_t limit,
                       size_t& count, bool skip_invalid, TokenError& err) {
  return scan_fields_with(PlainCursor(p, n, pos), p, n, pos, fields, limit, count, skip_invalid,
                          err);
}

#if defined(VELMORA_HAVE_SSSE3_PATH)
__attribute__((target("ssse3"))) Scan scan_fields_ssse3(const char* p, size_t n, size_t& pos,
                                                        RawField* fields, size_t limit,
                                                        size_t& count, bool skip_invalid,
                                                        TokenError& err) {
  return scan_fields_with(BitmapCursor<ClassifySsse3>(p, n, pos), p, n, pos, fields, limit, count,
                          skip_invalid, err);
}

__attribute__((target("avx2"))) Scan scan_fields_avx2(const char* p, size_t n, size_t& pos,
                                                      RawField* fields, size_t limit, size_t& count,
                                                      bool skip_invalid, TokenError& err) {
  return scan_fields_with(BitmapCursor<ClassifyAvx2>(p, n, pos), p, n, pos, fields, limit, count,
                          skip_invalid, err);
}

// VELMORA_FIELD_SCAN (a build flag for tests and fuzzing) caps the choice: 0 the plain scans,
// 1 SSSE3, 2 AVX2 (the default).
#ifndef VELMORA_FIELD_SCAN
#define VELMORA_FIELD_SCAN 2
#endif
FieldScan pick_field_scan() {
  __builtin_cpu_init();
  if (VELMORA_FIELD_SCAN >= 2 && __builtin_cpu_supports("avx2")) return scan_fields_avx2;
  if (VELMORA_FIELD_SCAN >= 1 && __builtin_cpu_supports("ssse3")) return scan_fields_ssse3;
  return scan_fields_plain;
}
#else
FieldScan pick_field_scan() {
  return scan_fields_plain;
}
#endif

const FieldScan kScanFields = pick_field_scan();

}  // namespace

Scan scan_fields(const char* p, size_t n, size_t& pos, RawField* fields, size_t limit,
                 size_t& count, bool skip_invalid, TokenError& err) {
  return kScanFields(p, n, pos, fields, limit, count, skip_invalid, err);
}

}  // namespace velmora::http1
