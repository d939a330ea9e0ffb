#include "ws/mask.hpp"

#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::ws {
namespace {

// The key as 8 bytes starting at `phase`.
uint64_t rotated_key(const MaskKey& key, size_t phase) {
  uint8_t b[8];
  for (size_t i = 0; i < 8; ++i)
    b[i] = key[(phase + i) & 3];
  uint64_t w;
  std::memcpy(&w, b, 8);
  return w;
}

}  // namespace

size_t mask_copy(uint8_t* dst, const uint8_t* src, size_t n, const MaskKey& key, size_t phase) {
  const uint64_t k64 = rotated_key(key, phase);
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i k128 = _mm_set1_epi64x(int64_t(k64));
  for (; i + 64 <= n; i += 64) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_xor_si128(a, k128));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16), _mm_xor_si128(b, k128));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 32), _mm_xor_si128(c, k128));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 48), _mm_xor_si128(d, k128));
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    w ^= k64;
    std::memcpy(dst + i, &w, 8);
  }
  // Fewer than 8 bytes remain; every block above was a multiple of 4, so the phase is intact.
  for (size_t j = 0; i < n; ++i, ++j)
    dst[i] = src[i] ^ key[(phase + j) & 3];
  return (phase + n) & 3;
}

size_t mask_in_place(uint8_t* p, size_t n, const MaskKey& key, size_t phase) {
  return mask_copy(p, p, n, key, phase);
}

MaskKey random_mask_key() {
  // 64 keys per refill: one getrandom call per 64 client frames.
  thread_local uint8_t pool[256];
  thread_local size_t used = sizeof pool;
  if (used == sizeof pool) {
    size_t got = 0;
    while (got < sizeof pool) {
      ssize_t r = getrandom(pool + got, sizeof pool - got, 0);
      if (r > 0) {
        got += size_t(r);
        continue;
      }
      // No getrandom (old kernel, seccomp): read the device instead.
      int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      while (fd >= 0 && got < sizeof pool) {
        ssize_t m = read(fd, pool + got, sizeof pool - got);
        if (m <= 0) break;
        got += size_t(m);
      }
      if (fd >= 0) close(fd);
      break;
    }
    used = 0;
  }
  MaskKey k;
  std::memcpy(k.data(), pool + used, 4);
  used += 4;
  return k;
}

}  // namespace velmora::ws
