// WebSocket frame headers (RFC 6455 section 5.2): an incremental parser over the caller's
// buffer and the serializer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ws/mask.hpp"

namespace velmora::ws {

enum class Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

inline bool is_control(uint8_t opcode) {
  return opcode & 0x8;
}

// The largest frame header: 2 bytes, an 8-byte length, a 4-byte key.
inline constexpr size_t kMaxHeaderSize = 14;
// Control frames carry at most 125 bytes (RFC 6455 section 5.5).
inline constexpr size_t kMaxControlPayload = 125;

struct FrameHeader {
  bool fin = false;
  uint8_t rsv = 0;  // RSV1..RSV3 as bits 2..0 (RSV1 = 4)
  uint8_t opcode = 0;
  bool masked = false;
  MaskKey key{};
  uint64_t length = 0;
};

// Reads one frame header from pieces of any size. The header's structure is checked here (the
// 64-bit length's high bit, minimal length encodings); what depends on the connection's state
// (opcodes, RSV bits, masking per role, control-frame rules) is the connection's to check.
class FrameHeaderParser {
 public:
  enum class Result : uint8_t { kNeedMore, kDone, kInvalid };

  // Consumes header bytes from `p`; `used` receives how many. On kDone the header is in
  // `header()` and the parser is ready for the next one.
  Result feed(const uint8_t* p, size_t n, size_t& used);
  const FrameHeader& header() const { return header_; }
  // What kInvalid means, for a Close reason.
  const char* error() const { return error_; }

 private:
  Result parse(const uint8_t* p, size_t n, size_t& used);

  FrameHeader header_;
  uint8_t buf_[kMaxHeaderSize];
  uint8_t have_ = 0;
  const char* error_ = "";
};

// The header size of a frame with `length` payload bytes.
inline size_t frame_header_size(uint64_t length, bool masked) {
  return (length < 126 ? 2 : length < 65536 ? 4 : 10) + (masked ? 4 : 0);
}

// Writes a header to `out` (frame_header_size bytes) and returns its size. `key` masks when
// not null.
size_t write_frame_header(uint8_t* out, bool fin, uint8_t rsv, uint8_t opcode, uint64_t length,
                          const MaskKey* key);

}  // namespace velmora::ws
