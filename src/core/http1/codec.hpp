// The per-connection HTTP/1 codec state: the read buffer, the parser and serializer settings,
// the body encoder in flight and the verdicts the connection state reads back.
//
// The functions that operate on it live with their concept (request_head, response_head,
// head_serializer). The value has no lock of its own: its owner keeps it in a Locked<Codec>.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/header_map.hpp"
#include "http1/body_encoder.hpp"
#include "http1/head_scan.hpp"
#include "http1/read_buffer.hpp"
#include "http1/tokenizer.hpp"

namespace velmora::http1 {

inline constexpr uint64_t kDefaultMaxBufSize = 8192 + 100 * 4096;  // 417792
inline constexpr uint64_t kMinBufSize = 8192;
inline constexpr size_t kDefaultMaxHeaders = 100;

// The decoded body length of a head: a byte count, or one of two reserved values.
inline constexpr uint64_t kChunkedLength = UINT64_MAX - 1;
inline constexpr uint64_t kCloseLength = UINT64_MAX;
inline constexpr uint64_t kMaxDeclaredLength = UINT64_MAX - 2;

enum class BodyKind : uint8_t { kEmpty, kLength, kChunked, kClose };

inline BodyKind body_kind_of(uint64_t decoded) {
  if (decoded == kChunkedLength) return BodyKind::kChunked;
  if (decoded == kCloseLength) return BodyKind::kClose;
  return decoded == 0 ? BodyKind::kEmpty : BodyKind::kLength;
}
std::string_view body_kind_name(BodyKind k);

struct Codec {
  std::optional<uint64_t> max_headers;
  std::string scratch;
  std::optional<BodyEncoder> encoder;
  Method recorded_method = Method::kNone;
  ReadBuffer read;
  HeadScan scan;  // how far the head at the front of `read` is tokenized
  std::optional<uint16_t> parse_error_status;
  bool request_connection_close = false;
  bool allow_trailers = true;
  bool response_is_last = false;
  bool response_close_delimited = false;
  uint64_t max_buf_size = kDefaultMaxBufSize;
  bool ignore_invalid_headers = false;
  bool title_case_headers = false;
  bool date_header = true;

  void reset() {
    recorded_method = Method::kNone;
    encoder.reset();
    parse_error_status.reset();
    request_connection_close = false;
    allow_trailers = true;
  }
  // After the scratch has been copied out: a large one is released.
  void trim_scratch() {
    if (scratch.capacity() > ReadBuffer::kKeepCapacity) std::string().swap(scratch);
  }
  // Heap bytes held while idle (for memory accounting).
  size_t heap_bytes() const {
    return read.capacity() + scan.heap_bytes() +
           (scratch.capacity() > 15 ? scratch.capacity() + 1 : 0);
  }
};

// The framing of the last (or only) piece of a body: the encoder in flight takes `body`, then
// the body ends (with `trailers` when the message admits them). The encoder is taken out of the
// codec unless the body is refused.
struct LastFrame {
  bool in_flight = false;  // an encoder was in flight
  bool ends = false;       // the body is framed and ended here (false: nothing follows the head)
  ChunkFrame frame;        // how `body` is framed (frame.take bytes of it pass)
  std::string end;         // what follows the body: the chunked terminator and trailers
  std::optional<Error> error;
};
// A body longer than the declared length is refused before anything changes (the encoder
// stays in flight, `frame` passes nothing); one shorter than it is framed and fails when the
// body ends (`end` stays empty).
LastFrame frame_last(Codec& c, std::string_view body, const http::HeaderMap* trailers);

// Token test of RFC 9110 section 7.6.1 lists: the value (visible ASCII, space and tab only)
// has `token` among its members, compared case-insensitively.
bool value_has_token(std::string_view value, std::string_view token);
// Only HTAB, SP and visible ASCII.
bool is_visible_ascii(std::string_view value);
// One or more decimal digits without overflow of 64 bits.
std::optional<uint64_t> parse_decimal(std::string_view s);

}  // namespace velmora::http1
