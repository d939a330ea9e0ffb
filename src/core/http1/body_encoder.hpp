// The framing of an outgoing HTTP/1 body (RFC 9112 sections 6 and 7.1): a declared length, the
// chunked coding with an optional trailer allow-list, or delimited by closing the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/errors.hpp"
#include "http/header_map.hpp"

namespace velmora::http1 {

struct BodyEncoder {
  enum class Kind : uint8_t { kLength, kChunked, kClose };
  Kind kind = Kind::kLength;
  uint64_t remaining = 0;                                 // kLength
  std::optional<std::vector<std::string>> trailer_names;  // kChunked: lower-case allow-list
  // kLength 0 of a message that has no content by its kind (a response to HEAD, 1xx, 204, 304,
  // 2xx to CONNECT): the content a caller offers is discarded, as the protocol requires, where
  // any other length refuses bytes beyond what it declared.
  bool discards = false;

  static BodyEncoder length(uint64_t n) { return {Kind::kLength, n, std::nullopt, false}; }
  static BodyEncoder chunked() { return {Kind::kChunked, 0, std::nullopt, false}; }
  static BodyEncoder close() { return {Kind::kClose, 0, std::nullopt, false}; }
  static BodyEncoder no_content() { return {Kind::kLength, 0, std::nullopt, true}; }

  // No (more) body bytes to send.
  bool is_eof() const { return kind == Kind::kLength && remaining == 0; }
};

// How one chunk is framed: `take` bytes of the chunk pass (fewer than the chunk only for an
// encoder that discards content); for chunked coding the size line in `prefix` goes before them
// and CRLF after.
struct ChunkFrame {
  size_t take = 0;
  bool chunked = false;
  char prefix[20];
  size_t prefix_len = 0;
};
// Frames a chunk of `chunk_size` bytes into `out`. A chunk longer than what a declared length
// still takes fails with body_write_aborted and leaves the encoder as it was: bytes the head
// did not announce are never cut off silently, nor sent.
std::optional<Error> frame_chunk(BodyEncoder& enc, size_t chunk_size, ChunkFrame& out);

// The end of a body: for chunked coding the terminator, with the trailer fields the allow-list
// admits; empty otherwise. `trailers` may be null. Fails for a length body that is not filled.
// `terminator_only` is set when the result is exactly "0\r\n\r\n".
std::optional<Error> encode_end(const BodyEncoder& enc, const http::HeaderMap* trailers,
                                std::string& out, bool& terminator_only);

inline constexpr std::string_view kChunkedTerminator = "0\r\n\r\n";

// Names that may never be sent as trailer fields.
bool is_forbidden_trailer(std::string_view lower_name);

// Parses a Trailer field value into lower-case field names (invalid names are skipped).
void add_trailer_names(std::string_view value, std::vector<std::string>& out);

}  // namespace velmora::http1
