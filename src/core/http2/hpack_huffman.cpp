#include "http2/hpack_huffman.hpp"

#include <cstring>

#include "http2/hpack_tables.hpp"

namespace velmora::hpack {

size_t huffman_encoded_length(std::string_view s) {
  uint64_t bits = 0;
  for (unsigned char c : s)
    bits += kHuffmanCode[c].bits;
  return size_t((bits + 7) / 8);
}

void huffman_encode(std::string_view s, std::string& out) {
  size_t at = out.size();
  out.resize(at + huffman_encoded_length(s));
  char* w = out.data() + at;
  uint64_t acc = 0;  // pending bits, right-aligned
  int n = 0;
  for (unsigned char c : s) {
    const HuffmanCode& h = kHuffmanCode[c];
    acc = (acc << h.bits) | h.code;
    n += h.bits;
    while (n >= 8) {
      n -= 8;
      *w++ = char(acc >> n);
    }
  }
  if (n > 0) *w++ = char((acc << (8 - n)) | (0xffu >> n));
}

namespace {

// Decodes one code of 13..30 bits from the top of `window` (32 bits, top-aligned). Returns the
// symbol and sets `len`, or returns -1.
inline int decode_long(uint32_t window, int& len) {
  for (int n = kHuffmanFastBits + 1; n <= 30; ++n) {
    uint32_t code = window >> (32 - n);
    uint32_t rel = code - kHuffmanFirstCode[n];
    if (code >= kHuffmanFirstCode[n] && rel < kHuffmanCount[n]) {
      len = n;
      return kHuffmanSorted[kHuffmanOffset[n] + rel];
    }
  }
  return -1;
}

}  // namespace

// The input is held in a 64-bit accumulator, top-aligned, with `bits` valid bits; past the end
// of the input the window reads as ones, which is what valid padding looks like. Each step looks
// up 12 bits and emits up to two symbols; codes longer than 12 bits take the canonical-code
// path. A code that would need bits past the end must be padding: at most 7 bits, all ones.
//
// While eight input bytes remain, the accumulator is refilled with one unaligned load (the bits
// below `bits` then hold the start of the next byte, which the next refill ORs in again) and up
// to four lookups run without further checks; the last bytes take the careful path.
ptrdiff_t huffman_decode(const uint8_t* p, size_t n, char* out) {
  const uint8_t* end = p + n;
  char* w = out;
  uint64_t acc = 0;
  int bits = 0;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    acc |= __builtin_bswap64(word) >> bits;
    p += (63 - bits) >> 3;
    bits |= 56;
    // Every step uses at most 30 bits (a long code), so steps run while 30 remain.
    while (bits >= 30) {
      uint32_t e = kHuffmanFast[acc >> (64 - kHuffmanFastBits)];
      if (e & 0xf0000) {
        w[0] = char(e);
        w[1] = char(e >> 8);
        w += (e >> 16) & 0xf;
        int total = int(e >> 26);
        acc <<= total;
        bits -= total;
        continue;
      }
      int len = 0;
      int sym = decode_long(uint32_t(acc >> 32), len);
      if (sym < 0 || sym == 256) return -1;  // no code (EOS prefix) or EOS inside a string
      *w++ = char(sym);
      acc <<= len;
      bits -= len;
    }
  }
  // Clear the look-ahead bits so the tail's byte-wise refill sees a clean accumulator.
  if (bits < 64) acc &= bits == 0 ? 0 : ~uint64_t(0) << (64 - bits);
  for (;;) {
    while (bits <= 56 && p < end) {
      acc |= uint64_t(*p++) << (56 - bits);
      bits += 8;
    }
    if (bits == 0) break;
    uint32_t win = uint32_t(acc >> (64 - kHuffmanFastBits));
    if (bits < kHuffmanFastBits) win |= (1u << (kHuffmanFastBits - bits)) - 1;
    uint32_t e = kHuffmanFast[win];
    uint32_t count = (e >> 16) & 0xf;
    if (count != 0) {
      int total = int(e >> 26);
      if (total <= bits) {
        *w++ = char(e & 0xff);
        if (count == 2) *w++ = char((e >> 8) & 0xff);
        acc <<= total;
        bits -= total;
        continue;
      }
      int first = int((e >> 20) & 0x3f);
      if (first <= bits) {
        *w++ = char(e & 0xff);
        acc <<= first;
        bits -= first;
        continue;
      }
    } else {
      uint32_t win32 = uint32_t(acc >> 32);
      if (bits < 32) win32 |= uint32_t((uint64_t(1) << (32 - bits)) - 1);
      int len = 0;
      int sym = decode_long(win32, len);
      if (sym >= 0 && len <= bits) {
        if (sym == 256) return -1;  // EOS inside a string
        *w++ = char(sym);
        acc <<= len;
        bits -= len;
        continue;
      }
    }
    // Only padding can remain: fewer than 8 bits, all ones.
    if (p != end || bits > 7) return -1;
    uint64_t mask = ~uint64_t(0) << (64 - bits);
    if ((acc & mask) != mask) return -1;
    break;
  }
  return w - out;
}

}  // namespace velmora::hpack
