#include "http/errors.hpp"

#include <array>

namespace velmora {
namespace {

struct IoKindText {
  std::string_view name;
  std::string_view description;
};

constexpr std::array<IoKindText, kIoKindCount> kIoKinds = {{
    {"NotFound", "entity not found"},
    {"PermissionDenied", "permission denied"},
    {"ConnectionRefused", "connection refused"},
    {"ConnectionReset", "connection reset"},
    {"ConnectionAborted", "connection aborted"},
    {"NotConnected", "not connected"},
    {"AddrInUse", "address in use"},
    {"AddrNotAvailable", "address not available"},
    {"BrokenPipe", "broken pipe"},
    {"AlreadyExists", "entity already exists"},
    {"WouldBlock", "operation would block"},
    {"InvalidInput", "invalid input parameter"},
    {"InvalidData", "invalid data"},
    {"TimedOut", "timed out"},
    {"WriteZero", "write zero"},
    {"Interrupted", "operation interrupted"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"OutOfMemory", "out of memory"},
    {"Other", "other error"},
}};

}  // namespace

std::string_view io_kind_name(IoKind k) {
  return kIoKinds[static_cast<size_t>(k)].name;
}
std::string_view io_kind_description(IoKind k) {
  return kIoKinds[static_cast<size_t>(k)].description;
}

std::string snake_case(std::string_view camel) {
  std::string out;
  out.reserve(camel.size() + 4);
  for (size_t i = 0; i < camel.size(); ++i) {
    char c = camel[i];
    if (c >= 'A' && c <= 'Z') {
      if (i != 0) out.push_back('_');
      c = static_cast<char>(c + 32);
    }
    out.push_back(c);
  }
  return out;
}

std::string io_kind_snake(IoKind k) {
  return snake_case(io_kind_name(k));
}

namespace http1 {
namespace {

constexpr std::array<std::string_view, 11> kKindText = {
    "",  // Parse: by sub-kind
    "",  // User: by sub-kind
    "connection closed before message completed",
    "received unexpected message from connection",
    "operation was canceled",
    "channel closed",
    "connection error",
    "read header from client timeout",
    "error reading a body from connection",
    "error writing a body to connection",
    "error shutting down connection",
};

struct SubKind {
  std::string_view name;
  std::string_view text;
};

constexpr std::array<SubKind, kParseKindCount> kParseKinds = {{
    {"method", "invalid HTTP method parsed"},
    {"version", "invalid HTTP version parsed"},
    {"version_h2", "invalid HTTP version parsed (found HTTP2 preface)"},
    {"uri", "invalid URI"},
    {"uri_too_long", "URI too long"},
    {"header_token", "invalid HTTP header parsed"},
    {"header_content_length_invalid", "invalid content-length parsed"},
    {"header_transfer_encoding_invalid", "invalid transfer-encoding parsed"},
    {"header_transfer_encoding_unexpected", "unexpected transfer-encoding parsed"},
    {"too_large", "message head is too large"},
    {"status", "invalid HTTP status-code parsed"},
    {"internal",
     "internal error inside the HTTP/1 code or its dependencies, please report this as a bug"},
}};

constexpr std::array<SubKind, kUserKindCount> kUserKinds = {{
    {"body", "error from user's Body stream"},
    {"body_write_aborted", "user body write aborted"},
    {"service", "error from user's Service"},
    {"unexpected_header", "user sent unexpected header"},
    {"unsupported_status_code", "response has 1xx status code, not supported by server"},
    {"no_upgrade", "no upgrade available"},
    {"manual_upgrade", "upgrade expected but low level API in use"},
    {"dispatch_gone", "dispatch task is gone"},
}};

}  // namespace

std::string_view kind_text(Kind k) {
  return kKindText[static_cast<size_t>(k)];
}
std::string_view parse_kind_name(ParseKind p) {
  return kParseKinds[size_t(p)].name;
}
std::string_view parse_kind_text(ParseKind p) {
  return kParseKinds[size_t(p)].text;
}
std::string_view user_kind_name(UserKind u) {
  return kUserKinds[size_t(u)].name;
}
std::string_view user_kind_text(UserKind u) {
  return kUserKinds[size_t(u)].text;
}

std::string Error::message() const {
  std::string_view text = kind_ == Kind::kParse  ? parse_kind_text(parse_kind())
                          : kind_ == Kind::kUser ? user_kind_text(user_kind())
                                                 : kind_text(kind_);
  std::string out(text);
  if (cause_) {
    out += ": ";
    out += cause_->message;
  }
  return out;
}

PendingError Error::into_pending() && {
  ErrArg message = cause_                  ? ErrArg::text(this->message())
                   : kind_ == Kind::kParse ? ErrArg::text(parse_kind_text(parse_kind()))
                   : kind_ == Kind::kUser  ? ErrArg::text(user_kind_text(user_kind()))
                                           : ErrArg::text(kind_text(kind_));
  PendingError out;
  switch (kind_) {
    case Kind::kParse:
      out = PendingError(ExcClass::kH1Parse, ErrArg::text(parse_kind_name(parse_kind())),
                         std::move(message));
      break;
    case Kind::kUser:
      out = PendingError(ExcClass::kH1User, ErrArg::text(user_kind_name(user_kind())),
                         std::move(message));
      break;
    case Kind::kIncompleteMessage:
      out = PendingError(ExcClass::kH1Incomplete, std::move(message));
      break;
    case Kind::kUnexpectedMessage:
      out = PendingError(ExcClass::kH1Unexpected, std::move(message));
      break;
    case Kind::kIo:
    case Kind::kShutdown:
      out = PendingError(ExcClass::kConnectionClosed, std::move(message));
      break;
    case Kind::kBody: {
      std::string io = "other";
      for (const Cause* c = cause_.get(); c; c = c->next.get()) {
        if (c->io) {
          io = io_kind_snake(*c->io);
          break;
        }
      }
      out = PendingError(ExcClass::kH1Body, ErrArg::text(std::move(io)), std::move(message));
      break;
    }
    case Kind::kCanceled:
    case Kind::kChannelClosed:
    case Kind::kHeaderTimeout:
    case Kind::kBodyWrite:
      out = PendingError(ExcClass::kH1Error, std::move(message));
      break;
  }
  cause_.reset();
  return out;
}

}  // namespace http1

namespace http2 {
namespace {

constexpr std::array<std::string_view, kReasonCount> kReasonNames = {
    "NO_ERROR",
    "PROTOCOL_ERROR",
    "INTERNAL_ERROR",
    "FLOW_CONTROL_ERROR",
    "SETTINGS_TIMEOUT",
    "STREAM_CLOSED",
    "FRAME_SIZE_ERROR",
    "REFUSED_STREAM",
    "CANCEL",
    "COMPRESSION_ERROR",
    "CONNECT_ERROR",
    "ENHANCE_YOUR_CALM",
    "INADEQUATE_SECURITY",
    "HTTP_1_1_REQUIRED",
};

constexpr std::array<std::string_view, kReasonCount> kReasons = {
    "not a result of an error",
    "unspecific protocol error detected",
    "unexpected internal error encountered",
    "flow-control protocol violated",
    "settings ACK not received in timely manner",
    "received frame when stream half-closed",
    "frame with invalid size",
    "refused stream before processing any application logic",
    "stream no longer needed",
    "unable to maintain the header compression context",
    "connection established in response to a CONNECT request was reset or abnormally closed",
    "detected excessive load generating behavior",
    "security properties do not meet minimum requirements",
    "endpoint requires HTTP/1.1",
};

struct UserKindText {
  std::string_view name;
  std::string_view message;
};

constexpr std::array<UserKindText, kUserErrorKindCount> kUserErrors = {{
    {"inactive_stream_id", "inactive stream"},
    {"unexpected_frame_type", "unexpected frame type"},
    {"payload_too_big", "payload too big"},
    {"rejected", "rejected"},
    {"release_capacity_too_big", "release capacity too big"},
    {"overflowed_stream_id", "stream ID overflowed"},
    {"malformed_headers", "malformed headers"},
    {"missing_uri_scheme_and_authority", "request URI missing scheme and authority"},
    {"poll_reset_after_send_response", "poll_reset after send_response is illegal"},
    {"send_ping_while_pending", "send_ping before received previous pong"},
    {"send_settings_while_pending", "sending SETTINGS before received previous ACK"},
    {"peer_disabled_server_push", "sending PUSH_PROMISE to peer who disabled server push"},
    {"invalid_informational_status_code", "invalid informational status code"},
}};

}  // namespace

std::string_view reason_name(uint32_t reason) {
  return kReasonNames[reason];
}

std::string_view reason_description(uint32_t reason) {
  return reason < kReasons.size() ? kReasons[reason] : std::string_view("unknown reason");
}

std::string_view user_error_name(UserErrorKind k) {
  return kUserErrors[size_t(k)].name;
}
std::string_view user_error_message(UserErrorKind k) {
  return kUserErrors[size_t(k)].message;
}

PendingError user_error(UserErrorKind k) {
  return PendingError(ExcClass::kH2User, ErrArg::text(user_error_name(k)),
                      ErrArg::text(user_error_message(k)));
}

PendingError user_error(UserErrorKind k, std::string message) {
  return PendingError(ExcClass::kH2User, ErrArg::text(user_error_name(k)),
                      ErrArg::text(std::move(message)));
}

PendingError protocol_error(int64_t reason, std::string_view fixed_message) {
  return PendingError(ExcClass::kH2Protocol, reason < 0 ? ErrArg::none() : ErrArg::integer(reason),
                      ErrArg::text(fixed_message));
}

PendingError flow_control_error() {
  return PendingError(ExcClass::kH2FlowControl, ErrArg::integer(3));
}

}  // namespace http2
}  // namespace velmora
