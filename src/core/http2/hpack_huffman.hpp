// The HPACK Huffman code (RFC 7541 section 5.2 and Appendix B).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::hpack {

// Number of bytes `s` takes Huffman-coded (the last byte padded).
size_t huffman_encoded_length(std::string_view s);

// Appends the Huffman coding of `s` to `out`, padding the last byte with the most significant
// bits of EOS (all ones).
void huffman_encode(std::string_view s, std::string& out);

// Decodes `n` bytes at `p`, writing the symbols to `out`, which must have room for
// huffman_decoded_bound(n) bytes (the decoder may write a little past the last symbol). Returns the
// number of bytes written, or -1 when the input is not a valid Huffman string: an EOS symbol,
// padding longer than 7 bits, or padding that is not all ones.
ptrdiff_t huffman_decode(const uint8_t* p, size_t n, char* out);

// Upper bound of the decoded length of `n` coded bytes (the shortest code is 5 bits).
inline size_t huffman_decoded_bound(size_t n) {
  return n * 8 / 5 + 1;
}

}  // namespace velmora::hpack
