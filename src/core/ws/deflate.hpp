// permessage-deflate compression and decompression of whole messages (RFC 7692 section 7.2),
// with zlib's raw deflate streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ws/byte_buffer.hpp"

typedef struct z_stream_s z_stream;

namespace velmora::ws {

class MessageCompressor {
 public:
  // `window_bits` 8..15: the window the peer agreed to; `reset` drops the context after each
  // message (no_context_takeover).
  MessageCompressor(int window_bits, bool reset);
  ~MessageCompressor();
  MessageCompressor(const MessageCompressor&) = delete;
  MessageCompressor& operator=(const MessageCompressor&) = delete;

  // Replaces `out` with the compressed form of one message, without the 00 00 ff ff tail
  // (RFC 7692 section 7.2.1). False when memory is exhausted.
  bool compress(const uint8_t* p, size_t n, ByteBuffer& out);

 private:
  z_stream* z_ = nullptr;
  int window_bits_;
  bool reset_;
};

class MessageDecompressor {
 public:
  enum class Result : uint8_t { kOk, kTooBig, kInvalid, kNoMemory };

  MessageDecompressor(int window_bits, bool reset);
  ~MessageDecompressor();
  MessageDecompressor(const MessageDecompressor&) = delete;
  MessageDecompressor& operator=(const MessageDecompressor&) = delete;

  // Replaces `out` with one decompressed message (its compressed payload, the tail appended
  // here, RFC 7692 section 7.2.2). Output is produced in bounded steps and stops with kTooBig
  // as soon as it passes `limit` bytes, so a small bomb never takes more than about `limit`.
  Result decompress(const uint8_t* p, size_t n, size_t limit, ByteBuffer& out);

 private:
  Result run(const uint8_t* p, size_t n, size_t limit, ByteBuffer& out);

  z_stream* z_ = nullptr;
  int window_bits_;
  bool reset_;
  bool ended_ = false;  // the peer closed its deflate stream (a final block)
};

}  // namespace velmora::ws
