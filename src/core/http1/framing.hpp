// The message framing and persistence rules of RFC 9112 sections 6 and 9.3, each in one place:
// where chunked stands in a Transfer-Encoding value, the agreement of Content-Length values, the
// body length of a received request (server side) and of a received response (client side), and
// whether the connection persists after a received message.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "http/errors.hpp"
#include "http1/codec.hpp"
#include "http1/tokenizer.hpp"

namespace velmora::http1 {

// Where chunked stands among the codings of one Transfer-Encoding value.
struct ChunkedPlace {
  bool last = false;         // the value is visible ASCII and its final member is chunked
  bool before_last = false;  // a member that a comma follows is chunked
};
ChunkedPlace chunked_place(std::string_view value);

// Content-Length values that must all name one length (RFC 9112 section 6.3; RFC 9110 section
// 8.6 lets a recipient take a list of equal numbers as that number).
class AgreedLength {
 public:
  enum class Check : uint8_t { kOk, kInvalid, kTooLarge };

  // One field value: a decimal number, or with `lists` a comma-separated list of them (an empty
  // member refuses the list). A number above `max` is kTooLarge, checked before the agreement;
  // a value that does not parse, or a number other than the one before, is kInvalid. Once
  // refused, the values stay refused.
  Check add(std::string_view value, bool lists, uint64_t max = UINT64_MAX) {
    if (refused_) return Check::kInvalid;
    const Check c = lists ? add_list(value, max) : member(value, max);
    refused_ = c != Check::kOk;
    return c;
  }
  // The agreed length: nullopt before any value, and after a refused one.
  std::optional<uint64_t> value() const { return refused_ ? std::nullopt : value_; }

 private:
  Check member(std::string_view s, uint64_t max) {
    const std::optional<uint64_t> n = parse_decimal(s);
    if (!n) return Check::kInvalid;
    if (*n > max) return Check::kTooLarge;
    if (value_ && *value_ != *n) return Check::kInvalid;
    value_ = n;
    return Check::kOk;
  }
  Check add_list(std::string_view value, uint64_t max);

  std::optional<uint64_t> value_;
  bool refused_ = false;
};

// Whether the connection persists after a received message (RFC 9112 section 9.3), from its
// version and its Connection fields: never with the close option in any of them; otherwise
// always on HTTP/1.1, and on HTTP/1.0 only with the keep-alive option.
class Persistence {
 public:
  explicit Persistence(bool http10) : http10_(http10) {}
  void connection(std::string_view value);
  bool keep_alive() const { return !close_ && (!http10_ || keep_alive_); }

 private:
  bool http10_;
  bool close_ = false;
  bool keep_alive_ = false;
};

// The body framing of a received request (RFC 9112 section 6.3), fed its framing fields in
// order: Transfer-Encoding overrides Content-Length (whose fields are then not kept) and must
// end in chunked, applied once; Content-Length fields must agree.
class RequestFraming {
 public:
  explicit RequestFraming(bool http10) : http10_(http10) {}

  // Sets `drop` when the field is not kept (a repeat of the length, or one beside
  // Transfer-Encoding).
  std::optional<ParseKind> content_length(std::string_view value, bool& drop);
  // Sets `drop_lengths` when the Content-Length fields before this one are not kept.
  std::optional<ParseKind> transfer_encoding(std::string_view value, bool& drop_lengths);
  // After the last field.
  std::optional<ParseKind> finish() const {
    if (has_te_ && !te_chunked_) return ParseKind::kHeaderTransferEncodingInvalid;
    return std::nullopt;
  }

  // A byte count or kChunkedLength.
  uint64_t decoded_length() const {
    return te_chunked_ ? kChunkedLength : length_.value().value_or(0);
  }
  // Both framing fields arrived: the connection closes after the response (RFC 9112 section
  // 6.1), since an intermediary may have framed the body otherwise.
  bool forces_close() const { return has_te_ && has_cl_; }

 private:
  AgreedLength length_;
  bool http10_;
  bool has_te_ = false;
  bool te_chunked_ = false;
  bool has_cl_ = false;
};

// The body framing of a received response (RFC 9112 section 6.3), from its framing fields, its
// status and the method of the request it answers.
class ResponseFraming {
 public:
  void content_length(std::string_view value) {
    has_cl_ = true;
    length_.add(value, true);
  }
  // Only the last Transfer-Encoding field tells whether chunked ends the codings.
  void transfer_encoding(std::string_view value) {
    has_te_ = true;
    last_te_ = value;
  }

  struct Body {
    uint64_t decoded_length = 0;  // a byte count, kChunkedLength or kCloseLength
    bool is_upgrade = false;      // the connection is handed over after the head
    std::optional<ParseKind> error;
  };
  Body decide(uint16_t status, Method request, bool http10) const;

 private:
  AgreedLength length_;
  std::string_view last_te_;
  bool has_te_ = false;
  bool has_cl_ = false;
};

}  // namespace velmora::http1
