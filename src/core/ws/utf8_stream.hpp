// Incremental UTF-8 validation (RFC 3629) of a message that arrives in pieces: a sequence may
// be split between pieces, and the first byte that cannot start or continue a well-formed
// sequence fails at once, before the rest of its sequence arrives (RFC 6455 section 8.1).
// Runs of ASCII are skipped 16 bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::ws {

class Utf8Stream {
 public:
  // Validates the next piece; false at the first invalid byte (the stream then stays failed).
  bool feed(const uint8_t* p, size_t n);
  // True when the bytes so far end on a sequence boundary (a message may end here).
  bool complete() const { return need_ == 0 && !failed_; }
  // Every byte so far was ASCII.
  bool ascii() const { return ascii_; }
  void reset() { *this = Utf8Stream(); }

 private:
  uint8_t need_ = 0;               // continuation bytes still expected
  uint8_t lo_ = 0x80, hi_ = 0xBF;  // the range of the next continuation byte
  bool failed_ = false;
  bool ascii_ = true;
};

// Validates a whole buffer; `ascii` tells whether every byte was below 0x80.
bool validate_utf8(const uint8_t* p, size_t n, bool& ascii);

}  // namespace velmora::ws
