// Error values of the core. A failure is recorded as a value when it is detected; the binding
// layer turns a PendingError into a Python exception only when it raises it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The exception classes an error may be raised as.
enum class ExcClass : uint8_t {
  kConnectionClosed,
  kH1Error,
  kH1Parse,
  kH1Body,
  kH1Incomplete,
  kH1Unexpected,
  kH1User,
  kH2Protocol,
  kH2Stream,
  kH2User,
  kH2FlowControl,
  kValueError,
  kTypeError,
  kOverflowError,
  kKeyError,
  kMemoryError,
};

// One element of an exception's args: None, an integer or text. Fixed texts are kept as views
// of static storage; other text is owned.
struct ErrArg {
  enum class Kind : uint8_t { kNone, kInt, kText };
  Kind kind = Kind::kNone;
  int64_t number = 0;
  std::string_view fixed;
  std::string owned;
  bool is_owned = false;

  static ErrArg none() { return {}; }
  static ErrArg integer(int64_t v) {
    ErrArg a;
    a.kind = Kind::kInt;
    a.number = v;
    return a;
  }
  static ErrArg text(std::string_view fixed_text) {
    ErrArg a;
    a.kind = Kind::kText;
    a.fixed = fixed_text;
    return a;
  }
  static ErrArg text(std::string s) {
    ErrArg a;
    a.kind = Kind::kText;
    a.owned = std::move(s);
    a.is_owned = true;
    return a;
  }
  std::string_view str() const { return is_owned ? std::string_view(owned) : fixed; }
};

struct PendingError {
  ExcClass cls = ExcClass::kValueError;
  uint8_t argc = 0;
  ErrArg args[3];

  PendingError() = default;
  PendingError(ExcClass c, ErrArg a) : cls(c), argc(1) { args[0] = std::move(a); }
  PendingError(ExcClass c, ErrArg a, ErrArg b) : cls(c), argc(2) {
    args[0] = std::move(a);
    args[1] = std::move(b);
  }
  PendingError(ExcClass c, ErrArg a, ErrArg b, ErrArg d) : cls(c), argc(3) {
    args[0] = std::move(a);
    args[1] = std::move(b);
    args[2] = std::move(d);
  }
};

// ---- I/O error kinds ------------------------------------------------------------------------

enum class IoKind : uint8_t {
  kNotFound,
  kPermissionDenied,
  kConnectionRefused,
  kConnectionReset,
  kConnectionAborted,
  kNotConnected,
  kAddrInUse,
  kAddrNotAvailable,
  kBrokenPipe,
  kAlreadyExists,
  kWouldBlock,
  kInvalidInput,
  kInvalidData,
  kTimedOut,
  kWriteZero,
  kInterrupted,
  kUnsupported,
  kUnexpectedEof,
  kOutOfMemory,
  kOther,
};
inline constexpr size_t kIoKindCount = size_t(IoKind::kOther) + 1;

std::string_view io_kind_name(IoKind k);         // CamelCase, e.g. "UnexpectedEof"
std::string io_kind_snake(IoKind k);             // "unexpected_eof"
std::string_view io_kind_description(IoKind k);  // "unexpected end of file"

// CamelCase to snake_case: "_" before every upper-case ASCII letter but the first character,
// then all lower case.
std::string snake_case(std::string_view camel);

// ---- HTTP/1 error value ---------------------------------------------------------------------

namespace http1 {

enum class Kind : uint8_t {
  kParse,
  kUser,
  kIncompleteMessage,
  kUnexpectedMessage,
  kCanceled,
  kChannelClosed,
  kIo,
  kHeaderTimeout,
  kBody,
  kBodyWrite,
  kShutdown,
};

enum class ParseKind : uint8_t {
  kMethod,
  kVersion,
  kVersionH2,
  kUri,
  kUriTooLong,
  kHeaderToken,
  kHeaderContentLengthInvalid,
  kHeaderTransferEncodingInvalid,
  kHeaderTransferEncodingUnexpected,
  kTooLarge,
  kStatus,
  kInternal,
};
inline constexpr size_t kParseKindCount = size_t(ParseKind::kInternal) + 1;

enum class UserKind : uint8_t {
  kBody,
  kBodyWriteAborted,
  kService,
  kUnexpectedHeader,
  kUnsupportedStatusCode,
  kNoUpgrade,
  kManualUpgrade,
  kDispatchGone,
};
inline constexpr size_t kUserKindCount = size_t(UserKind::kDispatchGone) + 1;

// A cause in an error's chain: its own message, an I/O kind when it is an I/O error, and its own
// cause.
struct Cause {
  std::string message;
  std::optional<IoKind> io;
  std::unique_ptr<Cause> next;
};

class Error {
 public:
  explicit Error(Kind k) : kind_(k) {}
  static Error parse(ParseKind p) {
    Error e(Kind::kParse);
    e.sub_ = static_cast<uint8_t>(p);
    return e;
  }
  static Error user(UserKind u) {
    Error e(Kind::kUser);
    e.sub_ = static_cast<uint8_t>(u);
    return e;
  }
  // Attaches a plain cause with a message.
  Error&& with_cause(std::string message) && {
    cause_ = std::make_unique<Cause>(Cause{std::move(message), std::nullopt, nullptr});
    return std::move(*this);
  }
  // Attaches an I/O cause; without a message it reads as the kind's standard text.
  Error&& with_io_cause(IoKind io, std::string message = {}) && {
    if (message.empty()) message = std::string(io_kind_description(io));
    cause_ = std::make_unique<Cause>(Cause{std::move(message), io, nullptr});
    return std::move(*this);
  }
  Error&& with_cause(std::unique_ptr<Cause> c) && {
    cause_ = std::move(c);
    return std::move(*this);
  }

  Kind kind() const { return kind_; }
  ParseKind parse_kind() const { return static_cast<ParseKind>(sub_); }
  UserKind user_kind() const { return static_cast<UserKind>(sub_); }
  const Cause* cause() const { return cause_.get(); }

  // The message: the kind's text, then ": " and the cause's message when there is a cause.
  std::string message() const;
  // The conversion to the exception that is raised; consumes the value.
  PendingError into_pending() &&;

 private:
  Kind kind_;
  uint8_t sub_ = 0;
  std::unique_ptr<Cause> cause_;
};

std::string_view kind_text(Kind k);
std::string_view parse_kind_name(ParseKind p);
std::string_view parse_kind_text(ParseKind p);
std::string_view user_kind_name(UserKind u);
std::string_view user_kind_text(UserKind u);

}  // namespace http1

// ---- HTTP/2 reasons and usage errors --------------------------------------------------------

namespace http2 {

std::string_view reason_description(uint32_t reason);

enum class UserErrorKind : uint8_t {
  kInactiveStreamId,
  kUnexpectedFrameType,
  kPayloadTooBig,
  kRejected,
  kReleaseCapacityTooBig,
  kOverflowedStreamId,
  kMalformedHeaders,
  kMissingUriSchemeAndAuthority,
  kPollResetAfterSendResponse,
  kSendPingWhilePending,
  kSendSettingsWhilePending,
  kPeerDisabledServerPush,
  kInvalidInformationalStatusCode,
};
inline constexpr size_t kUserErrorKindCount =
    size_t(UserErrorKind::kInvalidInformationalStatusCode) + 1;

// The error codes of RFC 9113 section 7: NO_ERROR (0) to HTTP_1_1_REQUIRED (13).
inline constexpr uint32_t kReasonCount = 14;
// Its name, e.g. "CANCEL" (`reason` < kReasonCount).
std::string_view reason_name(uint32_t reason);
std::string_view user_error_name(UserErrorKind k);
std::string_view user_error_message(UserErrorKind k);

// H2UserError(kind, message) with the kind's fixed message, or a more specific one.
PendingError user_error(UserErrorKind k);
PendingError user_error(UserErrorKind k, std::string message);
// H2ProtocolError(reason, message); `reason` < 0 stands for None.
PendingError protocol_error(int64_t reason, std::string_view fixed_message);
// H2FlowControlError(3).
PendingError flow_control_error();

}  // namespace http2
}  // namespace velmora
