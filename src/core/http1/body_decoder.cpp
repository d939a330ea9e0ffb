#include "http1/body_decoder.hpp"

#include <algorithm>

namespace velmora::http1 {

BodyDecoder::BodyDecoder(Kind kind, uint64_t length) : kind_(kind), remaining_(length) {
  complete_ = kind == Kind::kEmpty || (kind == Kind::kLength && length == 0);
}

void BodyDecoder::restart(Kind kind, uint64_t length) {
  kind_ = kind;
  remaining_ = length;
  chunked_ = ChunkedDecoder();
  input_ = ReadBuffer();
  pending_ = 0;
  eof_ = false;
  failure_.reset();
  complete_ = kind == Kind::kEmpty || (kind == Kind::kLength && length == 0);
}

BodyDecoder::Kind BodyDecoder::kind_from_name(std::string_view name) {
  if (name == "length") return Kind::kLength;
  if (name == "chunked") return Kind::kChunked;
  if (name == "close") return Kind::kClose;
  return Kind::kEmpty;
}

namespace {
Error copy_of(const Error& e) {
  // Errors are move-only values; a failed decoder hands out the same failure again.
  Error out = e.kind() == Kind::kBody ? Error(Kind::kBody) : Error(e.kind());
  if (const Cause* c = e.cause()) {
    if (c->io) return std::move(out).with_io_cause(*c->io, c->message);
    return std::move(out).with_cause(c->message);
  }
  return out;
}
}  // namespace

BodyDecoder::Result BodyDecoder::decode(std::string_view& data, std::optional<Error>& err) {
  if (failure_) {
    err = copy_of(*failure_);
    return Result::kError;
  }
  if (complete_) return Result::kNone;
  switch (kind_) {
    case Kind::kEmpty:
      complete_ = true;
      return Result::kNone;
    case Kind::kLength: {
      if (input_.empty()) {
        if (!eof_) return Result::kNone;
        err = body_error(IoKind::kUnexpectedEof, "end of file before message length reached");
        break;
      }
      size_t take = size_t(std::min<uint64_t>(remaining_, input_.size()));
      remaining_ -= take;
      if (remaining_ == 0) complete_ = true;
      data = std::string_view(input_.data(), take);
      pending_ = take;
      return Result::kData;
    }
    case Kind::kClose: {
      if (input_.empty()) {
        if (eof_) complete_ = true;
        return Result::kNone;
      }
      size_t take = std::min(kClosePiece, input_.size());
      data = std::string_view(input_.data(), take);
      pending_ = take;
      return Result::kData;
    }
    case Kind::kChunked: {
      size_t take = 0;
      switch (chunked_.step(input_, eof_, take, err)) {
        case ChunkedDecoder::Step::kData:
          data = std::string_view(input_.data(), take);
          pending_ = take;
          return Result::kData;
        case ChunkedDecoder::Step::kNeedInput:
          return Result::kNone;
        case ChunkedDecoder::Step::kFinished:
          complete_ = true;
          return Result::kNone;
        case ChunkedDecoder::Step::kError:
          break;
      }
      break;
    }
  }
  // A failure: keep it, and drop the input so no byte after a framing error is ever handed on.
  failure_ = copy_of(*err);
  input_.take_all();
  return Result::kError;
}

}  // namespace velmora::http1
