// The decoder of one incoming HTTP/1 message body (RFC 9112 section 6.3): a declared length,
// chunked coding, or everything up to the end of the transport.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http1/chunked_decoder.hpp"
#include "http1/read_buffer.hpp"

namespace velmora::http1 {

// The value has no lock of its own: its owner keeps it in a Locked<BodyDecoder>.
class BodyDecoder {
 public:
  enum class Kind : uint8_t { kEmpty, kLength, kChunked, kClose };
  static constexpr size_t kClosePiece = 8192;

  BodyDecoder(Kind kind, uint64_t length);
  // Starts over as a fresh decoder of `kind`, so an object made ahead of time (before the head
  // that decides the framing was parsed) can be set up once the head is known.
  void restart(Kind kind, uint64_t length);
  // "length", "chunked", "close"; anything else is an empty body.
  static Kind kind_from_name(std::string_view name);

  void feed(std::string_view data) { input_.append(data); }
  void feed(ReadBuffer&& data) { input_.append(std::move(data)); }
  void mark_eof() { eof_ = true; }

  enum class Result : uint8_t { kData, kNone, kError };
  // One step of decoding. kData: `data` views the piece, valid until `commit()` drops it from
  // the input. kError: `err` holds the failure; the decoder then stays failed and keeps no
  // input, so nothing after the error can be read as a next message.
  Result decode(std::string_view& data, std::optional<Error>& err);
  void commit() {
    input_.consume(pending_);
    pending_ = 0;
  }

  bool is_complete() const { return complete_; }
  // Every byte of the body is here, decoded or not (a chunked body counts once decoded).
  bool all_received() const {
    return complete_ || kind_ == Kind::kEmpty ||
           (kind_ == Kind::kLength && input_.size() - pending_ >= remaining_);
  }
  size_t buffered() const { return input_.size(); }
  std::optional<http::HeaderMap> take_trailers() {
    std::optional<http::HeaderMap> t = std::move(chunked_.trailers);
    chunked_.trailers.reset();
    return t;
  }
  // Every byte of the input (after completion, the bytes past the body).
  ReadBuffer take_input() { return input_.take_all(); }

 private:
  Kind kind_;
  uint64_t remaining_ = 0;
  ChunkedDecoder chunked_;
  ReadBuffer input_;
  size_t pending_ = 0;
  bool eof_ = false;
  bool complete_ = false;
  std::optional<Error> failure_;
};

}  // namespace velmora::http1
