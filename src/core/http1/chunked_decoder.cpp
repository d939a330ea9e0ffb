#include "http1/chunked_decoder.hpp"

#include <memory>

#include "http/chars.hpp"
#include "http1/request_head.hpp"
#include "http1/tokenizer.hpp"

namespace velmora::http1 {
namespace {

inline int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr uint64_t kMaxSizeBeforeDigit = (uint64_t(1) << 60) - 1;

}  // namespace

Error body_error(IoKind io, std::string_view message) {
  return Error(Kind::kBody).with_io_cause(io, std::string(message));
}

bool ChunkedDecoder::append_trailer(char c, std::optional<Error>& err) {
  if (!has_trailer_buf_) {
    has_trailer_buf_ = true;
    trailer_buf_.reserve(64);
  }
  trailer_buf_.push_back(c);
  if (trailer_buf_.size() >= kMaxTrailerBytes) {
    err = body_error(IoKind::kInvalidData, "chunk trailers bytes over limit");
    return false;
  }
  return true;
}

bool ChunkedDecoder::parse_trailers(std::optional<Error>& err) {
  const char* p = trailer_buf_.data();
  const size_t n = trailer_buf_.size();
  std::unique_ptr<RawField[]> fields(new RawField[trailer_lines_ + 1]);
  size_t pos = 0, count = 0;
  TokenError terr{};
  Scan s = scan_fields(p, n, pos, fields.get(), trailer_lines_, count, false, terr);
  if (s == Scan::kPartial) {
    err = body_error(IoKind::kInvalidInput, "Partial header");
    return false;
  }
  if (s == Scan::kError) {
    err = body_error(IoKind::kInvalidInput, token_error_text(terr));
    return false;
  }
  if (pos != n) {
    // The block ended before the section did: the rest would be lost.
    err = body_error(IoKind::kInvalidInput, "Partial header");
    return false;
  }
  http::HeaderMap map;
  if (!fill_header_map(p, fields.get(), count, nullptr, map)) {
    err = body_error(IoKind::kInvalidInput, "chunk trailers count overflow");
    return false;
  }
  trailers = std::move(map);
  std::string().swap(trailer_buf_);
  return true;
}

ChunkedDecoder::Step ChunkedDecoder::step(ReadBuffer& in, bool eof, size_t& take,
                                          std::optional<Error>& err) {
  auto fail = [&](IoKind io, std::string_view msg) {
    err = body_error(io, msg);
    return Step::kError;
  };
  for (;;) {
    if (state_ == State::kFinished) return Step::kFinished;
    if (in.empty()) {
      if (!eof) return Step::kNeedInput;
      return fail(IoKind::kUnexpectedEof, state_ == State::kChunkData
                                              ? "end of file before message length reached"
                                              : "unexpected EOF during chunk size line");
    }
    if (state_ == State::kChunkData) {
      take = size_t(std::min<uint64_t>(size_, in.size()));
      size_ -= take;
      if (size_ == 0) state_ = State::kDataCr;
      return Step::kData;
    }
    // Framing bytes, one at a time.
    const unsigned char c = static_cast<unsigned char>(in.data()[0]);
    in.consume(1);
    switch (state_) {
      case State::kSizeStart: {
        int h = hex_value(c);
        if (h < 0)
          return fail(IoKind::kInvalidInput, "Invalid chunk size line: missing size digit");
        size_ = uint64_t(h);
        state_ = State::kSizeDigits;
        break;
      }
      case State::kSizeDigits: {
        int h = hex_value(c);
        if (h >= 0) {
          if (size_ > kMaxSizeBeforeDigit)
            return fail(IoKind::kInvalidData, "invalid chunk size: overflow");
          size_ = size_ * 16 + uint64_t(h);
        } else if (c == ' ' || c == '\t') {
          state_ = State::kSizeSpace;
        } else if (c == ';') {
          state_ = State::kExtension;
        } else if (c == '\r') {
          state_ = State::kSizeLineEnd;
        } else {
          return fail(IoKind::kInvalidInput, "Invalid chunk size line: Invalid Size");
        }
        break;
      }
      case State::kSizeSpace:
        if (c == ' ' || c == '\t') break;
        if (c == ';') {
          state_ = State::kExtension;
        } else if (c == '\r') {
          state_ = State::kSizeLineEnd;
        } else {
          return fail(IoKind::kInvalidInput, "Invalid chunk size linear white space");
        }
        break;
      case State::kExtension:
        if (c == '\r') {
          state_ = State::kSizeLineEnd;
        } else if (c == '\n') {
          return fail(IoKind::kInvalidData, "invalid chunk extension contains newline");
        } else if (++extension_bytes_ >= kMaxExtensionBytes) {
          return fail(IoKind::kInvalidData, "chunk extensions over limit");
        }
        break;
      case State::kSizeLineEnd:
        if (c != '\n') return fail(IoKind::kInvalidInput, "Invalid chunk size LF");
        state_ = size_ ? State::kChunkData : State::kSectionCr;
        break;
      case State::kDataCr:
        if (c != '\r') return fail(IoKind::kInvalidInput, "Invalid chunk body CR");
        state_ = State::kDataLf;
        break;
      case State::kDataLf:
        if (c != '\n') return fail(IoKind::kInvalidInput, "Invalid chunk body LF");
        state_ = State::kSizeStart;
        break;
      // Every line of the body ends in CRLF, the trailer section's included: a bare LF here
      // would let the section run on into the bytes of the next message.
      case State::kSectionCr:
        if (c == '\r') {
          if (has_trailer_buf_ && !append_trailer(char(c), err)) return Step::kError;
          state_ = State::kSectionLf;
        } else if (c == '\n') {
          return fail(IoKind::kInvalidInput, "Invalid chunk end LF");
        } else {
          if (!append_trailer(char(c), err)) return Step::kError;
          state_ = State::kTrailerLine;
        }
        break;
      case State::kTrailerLine:
        if (c == '\n') return fail(IoKind::kInvalidInput, "Invalid trailer end LF");
        if (!append_trailer(char(c), err)) return Step::kError;
        if (c == '\r') state_ = State::kTrailerLineEnd;
        break;
      case State::kTrailerLineEnd:
        if (c != '\n') return fail(IoKind::kInvalidInput, "Invalid trailer end LF");
        if (++trailer_lines_ > kMaxTrailerLines)
          return fail(IoKind::kInvalidData, "chunk trailers count overflow");
        if (!append_trailer(char(c), err)) return Step::kError;
        state_ = State::kSectionCr;
        break;
      case State::kSectionLf:
        if (c != '\n') return fail(IoKind::kInvalidInput, "Invalid chunk end LF");
        if (has_trailer_buf_) {
          if (!append_trailer(char(c), err)) return Step::kError;
          if (!parse_trailers(err)) return Step::kError;
        }
        state_ = State::kFinished;
        return Step::kFinished;
      case State::kChunkData:
      case State::kFinished:
        break;
    }
  }
}

}  // namespace velmora::http1
