// The chunked transfer coding, receiving side (RFC 9112 section 7.1): size lines with optional
// extensions, chunk data, and the trailer section.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http1/read_buffer.hpp"

namespace velmora::http1 {

class ChunkedDecoder {
 public:
  static constexpr uint32_t kMaxExtensionBytes = 16384;
  static constexpr uint32_t kMaxTrailerBytes = 16384;
  static constexpr uint32_t kMaxTrailerLines = 100;

  enum class Step : uint8_t { kData, kNeedInput, kFinished, kError };

  // Runs the state machine over `in`. kData: `take` bytes at the front of `in` are chunk data
  // to hand out (the caller consumes them). kFinished: the body ended; the bytes left in `in`
  // follow it. kError: `err` holds the failure.
  Step step(ReadBuffer& in, bool eof, size_t& take, std::optional<Error>& err);

  // The trailer fields, once finished with a trailer section.
  std::optional<http::HeaderMap> trailers;

 private:
  enum class State : uint8_t {
    kSizeStart,
    kSizeDigits,
    kSizeSpace,
    kExtension,
    kSizeLineEnd,
    kChunkData,
    kDataCr,
    kDataLf,
    kSectionCr,
    kTrailerLine,
    kTrailerLineEnd,
    kSectionLf,
    kFinished,
  };

  bool append_trailer(char c, std::optional<Error>& err);
  bool parse_trailers(std::optional<Error>& err);

  State state_ = State::kSizeStart;
  uint64_t size_ = 0;
  uint32_t extension_bytes_ = 0;
  uint32_t trailer_lines_ = 0;
  bool has_trailer_buf_ = false;
  std::string trailer_buf_;
};

// Body errors of a malformed or truncated chunked body.
Error body_error(IoKind io, std::string_view message);

}  // namespace velmora::http1
