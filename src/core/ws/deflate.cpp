#include "ws/deflate.hpp"

#include <algorithm>

#include <zlib.h>

namespace velmora::ws {
namespace {

constexpr uint8_t kTail[4] = {0x00, 0x00, 0xFF, 0xFF};
constexpr size_t kInflateStep = 64 * 1024;

}  // namespace

MessageCompressor::MessageCompressor(int window_bits, bool reset)
    // zlib refuses a raw deflate stream with an 8-bit window (since 1.2.9). A 9-bit one is
    // safe for a peer that inflates with 8 bits: zlib's compressor never emits a distance
    // beyond its window minus the 262-byte lookahead (250 for 9 bits), within 256.
    : window_bits_(std::max(window_bits, 9)), reset_(reset) {}

MessageCompressor::~MessageCompressor() {
  if (z_) {
    deflateEnd(z_);
    delete z_;
  }
}

bool MessageCompressor::compress(const uint8_t* p, size_t n, ByteBuffer& out) {
  out.clear();
  if (!z_) {
    z_ = new (std::nothrow) z_stream{};
    if (!z_) return false;
    // memLevel 8 is zlib's default; the window follows the negotiated bits.
    if (deflateInit2(z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -window_bits_, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      delete z_;
      z_ = nullptr;
      return false;
    }
  }
  z_->next_in = const_cast<uint8_t*>(p);
  z_->avail_in = 0;
  size_t left = n;
  for (;;) {
    // Feed at most 1 GiB per call: avail_in is 32-bit.
    if (z_->avail_in == 0 && left) {
      uInt chunk = uInt(std::min<size_t>(left, size_t(1) << 30));
      z_->avail_in = chunk;
      left -= chunk;
    }
    size_t room = std::max<size_t>(deflateBound(z_, z_->avail_in) + 16, 256);
    room = std::min<size_t>(room, size_t(1) << 30);
    uint8_t* dst = out.reserve_more(room);
    if (!dst) return false;
    z_->next_out = dst;
    z_->avail_out = uInt(room);
    int rc = deflate(z_, left ? Z_NO_FLUSH : Z_SYNC_FLUSH);
    out.commit(room - z_->avail_out);
    if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
    if (!left && z_->avail_in == 0 && z_->avail_out != 0) break;
  }
  // A sync flush ends with an empty stored block, 00 00 ff ff: the tail is left off the wire.
  if (out.size() >= 4 && std::equal(kTail, kTail + 4, out.data() + out.size() - 4))
    out.shrink_to(out.size() - 4);
  // An empty message right after a flush makes zlib write nothing (a repeated flush is not
  // progress). The peer appends the tail to what it gets: a lone 00 byte makes that an empty
  // stored block (RFC 7692 section 7.2.3), where an empty payload would leave the tail as
  // the start of a block and put the peer's stream out of step.
  if (out.size() == 0) {
    uint8_t* zero = out.reserve_more(1);
    if (!zero) return false;
    *zero = 0;
    out.commit(1);
  }
  if (reset_) deflateReset(z_);
  return true;
}

MessageDecompressor::MessageDecompressor(int window_bits, bool reset)
    : window_bits_(std::max(window_bits, 9)), reset_(reset) {}

MessageDecompressor::~MessageDecompressor() {
  if (z_) {
    inflateEnd(z_);
    delete z_;
  }
}

MessageDecompressor::Result MessageDecompressor::run(const uint8_t* p, size_t n, size_t limit,
                                                     ByteBuffer& out) {
  size_t left = n;
  z_->next_in = const_cast<uint8_t*>(p);
  z_->avail_in = 0;
  for (;;) {
    if (z_->avail_in == 0 && left) {
      uInt chunk = uInt(std::min<size_t>(left, size_t(1) << 30));
      z_->avail_in = chunk;
      left -= chunk;
    }
    // One more byte than the limit allows tells "too big" from "exactly the limit".
    size_t room = std::min(kInflateStep, limit + 1 - out.size());
    uint8_t* dst = out.reserve_more(room, limit + 1);
    if (!dst) return Result::kNoMemory;
    z_->next_out = dst;
    z_->avail_out = uInt(room);
    int rc = inflate(z_, Z_SYNC_FLUSH);
    out.commit(room - z_->avail_out);
    if (out.size() > limit) return Result::kTooBig;
    if (rc == Z_STREAM_END) {
      // A final block ends the message's data; what follows it (padding, the tail) is ignored.
      ended_ = true;
      return Result::kOk;
    }
    if (rc == Z_MEM_ERROR) return Result::kNoMemory;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return Result::kInvalid;
    if (z_->avail_out == 0) continue;  // the output was full: more may be pending
    if (z_->avail_in == 0 && !left) return Result::kOk;
    if (rc == Z_BUF_ERROR) return Result::kInvalid;  // no progress with input and room left
  }
}

MessageDecompressor::Result MessageDecompressor::decompress(const uint8_t* p, size_t n,
                                                            size_t limit, ByteBuffer& out) {
  out.clear();
  if (!z_) {
    z_ = new (std::nothrow) z_stream{};
    if (!z_) return Result::kNoMemory;
    if (inflateInit2(z_, -window_bits_) != Z_OK) {
      delete z_;
      z_ = nullptr;
      return Result::kNoMemory;
    }
  }
  Result r = run(p, n, limit, out);
  if (r == Result::kOk && !ended_) r = run(kTail, 4, limit, out);
  // A final block ends the peer's stream: the next message starts a new one, as it does
  // without context takeover.
  if (reset_ || ended_) {
    inflateReset(z_);
    ended_ = false;
  }
  return r;
}

}  // namespace velmora::ws
