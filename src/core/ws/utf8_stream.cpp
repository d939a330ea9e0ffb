#include "ws/utf8_stream.hpp"

#include <cstring>

#include "http/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::ws {
namespace {

// The offset of the first non-ASCII byte in [p + i, p + n), at least i.
size_t skip_ascii(const uint8_t* p, size_t i, size_t n) {
#if defined(__SSE2__)
  if (i + 16 <= n) {
    unsigned m =
        unsigned(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
    if (m) return i + unsigned(__builtin_ctz(m));
    i += 16;
  }
  for (; i + 32 <= n; i += 32) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    unsigned m = unsigned(_mm_movemask_epi8(_mm_or_si128(a, b)));
    if (m) {
      unsigned ma = unsigned(_mm_movemask_epi8(a));
      return ma ? i + unsigned(__builtin_ctz(ma))
                : i + 16 + unsigned(__builtin_ctz(unsigned(_mm_movemask_epi8(b))));
    }
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    w &= 0x8080808080808080ull;
    if (w) return i + size_t(__builtin_ctzll(w) >> 3);
  }
  while (i < n && p[i] < 0x80)
    ++i;
  return i;
}

}  // namespace

bool Utf8Stream::feed(const uint8_t* p, size_t n) {
  if (failed_) return false;
  size_t i = 0;
  // Finish a sequence left open by the previous piece.
  while (need_ && i < n) {
    uint8_t b = p[i++];
    if (b < lo_ || b > hi_) return !(failed_ = true);
    lo_ = 0x80, hi_ = 0xBF;
    --need_;
  }
  while (i < n) {
    const uint8_t b0 = p[i];
    if (b0 < 0x80) {
      i = skip_ascii(p, i + 1, n);
      continue;
    }
    ascii_ = false;
    uint8_t need, lo, hi;
    if (!http::utf8_lead(b0, need, lo, hi)) return !(failed_ = true);
    // A whole sequence in reach: checked without a loop.
    if (i + 4 <= n) {
      const uint8_t b1 = p[i + 1];
      if (b1 < lo || b1 > hi || (need >= 2 && (p[i + 2] & 0xC0) != 0x80) ||
          (need == 3 && (p[i + 3] & 0xC0) != 0x80))
        return !(failed_ = true);
      i += 1 + need;
      continue;
    }
    // Near the end of the piece: byte by byte, keeping an unfinished sequence for the next.
    ++i;
    for (; need && i < n; --need, ++i) {
      const uint8_t b = p[i];
      if (b < lo || b > hi) return !(failed_ = true);
      lo = 0x80, hi = 0xBF;
    }
    if (need) {
      need_ = need, lo_ = lo, hi_ = hi;
      return true;
    }
  }
  return true;
}

bool validate_utf8(const uint8_t* p, size_t n, bool& ascii) {
  Utf8Stream s;
  bool ok = s.feed(p, n) && s.complete();
  ascii = s.ascii();
  return ok;
}

}  // namespace velmora::ws
