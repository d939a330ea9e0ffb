#include "ws/frame.hpp"

#include <cstring>

namespace velmora::ws {

FrameHeaderParser::Result FrameHeaderParser::feed(const uint8_t* p, size_t n, size_t& used) {
  used = 0;
  if (have_ == 0) {
    // The common case: the whole header is in the caller's buffer.
    Result r = parse(p, n, used);
    if (r != Result::kNeedMore) return r;
  }
  // Gather the header in the parser's buffer, one piece at a time: take no more than the
  // header can hold, then parse what is there.
  size_t take = n < sizeof buf_ - have_ ? n : sizeof buf_ - have_;
  std::memcpy(buf_ + have_, p, take);
  size_t before = have_;
  have_ = uint8_t(have_ + take);
  size_t consumed = 0;
  Result r = parse(buf_, have_, consumed);
  if (r == Result::kNeedMore) {
    used = take;
    return r;
  }
  used = r == Result::kDone ? consumed - before : 0;  // the header ends inside this piece
  have_ = 0;
  return r;
}

FrameHeaderParser::Result FrameHeaderParser::parse(const uint8_t* p, size_t n, size_t& used) {
  if (n < 2) return Result::kNeedMore;
  const uint8_t len7 = p[1] & 0x7F;
  const bool masked = p[1] & 0x80;
  const size_t ext = len7 == 126 ? 2 : len7 == 127 ? 8 : 0;
  const size_t size = 2 + ext + (masked ? 4 : 0);
  if (n < size) return Result::kNeedMore;
  uint64_t length = len7;
  if (ext == 2) {
    length = uint64_t(p[2]) << 8 | p[3];
    // RFC 6455 section 5.2: "the minimal number of bytes MUST be used to encode the length".
    // A sender that does otherwise is broken or probing; it is refused like any malformed frame.
    if (length < 126) return error_ = "non-minimal 16-bit length", Result::kInvalid;
  } else if (ext == 8) {
    length = 0;
    for (size_t i = 0; i < 8; ++i)
      length = length << 8 | p[2 + i];
    if (length >> 63) return error_ = "64-bit length with the high bit set", Result::kInvalid;
    if (length < 65536) return error_ = "non-minimal 64-bit length", Result::kInvalid;
  }
  header_.fin = p[0] & 0x80;
  header_.rsv = (p[0] >> 4) & 0x7;
  header_.opcode = p[0] & 0x0F;
  header_.masked = masked;
  header_.length = length;
  if (masked) std::memcpy(header_.key.data(), p + 2 + ext, 4);
  used = size;
  return Result::kDone;
}

size_t write_frame_header(uint8_t* out, bool fin, uint8_t rsv, uint8_t opcode, uint64_t length,
                          const MaskKey* key) {
  out[0] = uint8_t((fin ? 0x80 : 0) | (rsv & 7) << 4 | (opcode & 0x0F));
  const uint8_t mask_bit = key ? 0x80 : 0;
  size_t at;
  if (length < 126) {
    out[1] = uint8_t(mask_bit | length);
    at = 2;
  } else if (length < 65536) {
    out[1] = mask_bit | 126;
    out[2] = uint8_t(length >> 8);
    out[3] = uint8_t(length);
    at = 4;
  } else {
    out[1] = mask_bit | 127;
    for (size_t i = 0; i < 8; ++i)
      out[2 + i] = uint8_t(length >> (56 - 8 * i));
    at = 10;
  }
  if (key) {
    std::memcpy(out + at, key->data(), 4);
    at += 4;
  }
  return at;
}

}  // namespace velmora::ws
