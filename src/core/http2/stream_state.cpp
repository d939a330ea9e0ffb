#include "http2/stream_state.hpp"

#include <string_view>

#include "http/uri.hpp"

namespace velmora::http2 {
namespace {

using Kind = StreamState::Kind;
using Cause = StreamState::Cause;

constexpr std::string_view kBrokenPipeMessage = "stream closed because of a broken pipe";

std::string_view peer_name(Peer p) {
  return p == Peer::kStreaming ? "Streaming" : "AwaitingHeaders";
}

std::string_view initiator_debug(Initiator i) {
  switch (i) {
    case Initiator::kUser:
      return "User";
    case Initiator::kLibrary:
      return "Library";
    case Initiator::kRemote:
      break;
  }
  return "Remote";
}

std::string error_debug(const StreamError& e) {
  std::string out;
  switch (e.variant()) {
    case StreamError::Variant::kReset:
      out = "Reset(" + std::to_string(e.stream_id()) + ", " + std::to_string(e.reason()) + ", ";
      out += initiator_debug(e.initiator());
      break;
    case StreamError::Variant::kGoAway:
      out = "GoAway(" + http::quote_escaped(e.data()) + ", " + std::to_string(e.reason()) + ", ";
      out += initiator_debug(e.initiator());
      break;
    case StreamError::Variant::kIo:
      out = "Io(";
      out += io_kind_name(e.io_kind());
      if (!e.data().empty()) out += ", " + http::quote_escaped(e.data());
      break;
  }
  out += ')';
  return out;
}

}  // namespace

PendingError transition_error(TransitionError e) {
  if (e == TransitionError::kUnexpectedFrameType)
    return user_error(UserErrorKind::kUnexpectedFrameType);
  return protocol_error(1, reason_description(1));
}

// ---- named states ---------------------------------------------------------------------------

StreamState StreamState::open(Peer local, Peer remote) {
  StreamState s(Kind::kOpen);
  s.local_ = local;
  s.remote_ = remote;
  return s;
}

StreamState StreamState::half_closed_local(Peer remote) {
  StreamState s(Kind::kHalfClosedLocal);
  s.remote_ = remote;
  return s;
}

StreamState StreamState::half_closed_remote(Peer local) {
  StreamState s(Kind::kHalfClosedRemote);
  s.local_ = local;
  return s;
}

StreamState StreamState::closed_end_stream() {
  return StreamState(Kind::kClosed);
}

StreamState StreamState::closed_error(StreamError error, bool after_end_stream) {
  StreamState s(Kind::kClosed);
  s.cause_ = after_end_stream ? Cause::kErrorAfterEndStream : Cause::kError;
  s.error_ = std::move(error);
  return s;
}

StreamState StreamState::closed_scheduled(uint32_t reason) {
  StreamState s(Kind::kClosed);
  s.cause_ = Cause::kScheduledLibraryReset;
  s.scheduled_reason_ = reason;
  return s;
}

// ---- transitions ----------------------------------------------------------------------------

TransitionError StreamState::send_open(bool eos) {
  switch (kind_) {
    case Kind::kIdle:
      *this = eos ? half_closed_local(Peer::kAwaitingHeaders)
                  : open(Peer::kStreaming, Peer::kAwaitingHeaders);
      return TransitionError::kNone;
    case Kind::kOpen:
      if (local_ != Peer::kAwaitingHeaders) break;
      *this = eos ? half_closed_local(remote_) : open(Peer::kStreaming, remote_);
      return TransitionError::kNone;
    case Kind::kHalfClosedRemote:
      if (local_ != Peer::kAwaitingHeaders) break;
      [[fallthrough]];
    case Kind::kReservedLocal:
      *this = eos ? closed_end_stream() : half_closed_remote(Peer::kStreaming);
      return TransitionError::kNone;
    default:
      break;
  }
  return TransitionError::kUnexpectedFrameType;
}

TransitionError StreamState::recv_open(bool eos, bool informational, bool& opened) {
  const Peer remote_next = informational ? Peer::kAwaitingHeaders : Peer::kStreaming;
  switch (kind_) {
    case Kind::kIdle:
      *this = eos ? half_closed_remote(Peer::kAwaitingHeaders)
                  : open(Peer::kAwaitingHeaders, remote_next);
      opened = true;
      return TransitionError::kNone;
    case Kind::kReservedRemote:
      if (eos)
        *this = closed_end_stream();
      else if (!informational)
        *this = half_closed_local(Peer::kStreaming);
      opened = true;
      return TransitionError::kNone;
    case Kind::kOpen:
      if (remote_ != Peer::kAwaitingHeaders) break;
      *this = eos ? half_closed_remote(local_) : open(local_, remote_next);
      opened = false;
      return TransitionError::kNone;
    case Kind::kHalfClosedLocal:
      if (remote_ != Peer::kAwaitingHeaders) break;
      if (eos)
        *this = closed_end_stream();
      else if (!informational)
        *this = half_closed_local(Peer::kStreaming);
      opened = false;
      return TransitionError::kNone;
    default:
      break;
  }
  return TransitionError::kProtocol;
}

TransitionError StreamState::reserve_remote() {
  if (kind_ != Kind::kIdle) return TransitionError::kProtocol;
  *this = StreamState(Kind::kReservedRemote);
  return TransitionError::kNone;
}

TransitionError StreamState::reserve_local() {
  if (kind_ != Kind::kIdle) return TransitionError::kUnexpectedFrameType;
  *this = StreamState(Kind::kReservedLocal);
  return TransitionError::kNone;
}

TransitionError StreamState::recv_close() {
  switch (kind_) {
    case Kind::kOpen:
      *this = half_closed_remote(local_);
      return TransitionError::kNone;
    case Kind::kHalfClosedLocal:
      *this = closed_end_stream();
      return TransitionError::kNone;
    default:
      break;
  }
  return TransitionError::kProtocol;
}

bool StreamState::send_close() {
  if (kind_ == Kind::kOpen && local_ == Peer::kStreaming) {
    *this = half_closed_local(remote_);
    return true;
  }
  if (kind_ == Kind::kHalfClosedRemote && local_ == Peer::kStreaming) {
    *this = closed_end_stream();
    return true;
  }
  return false;
}

void StreamState::recv_reset(uint32_t stream_id, uint32_t reason, bool queued) {
  if (kind_ == Kind::kClosed && !queued) return;
  StreamError e = StreamError::reset(stream_id, reason, Initiator::kRemote);
  // Only here is the choice made: a reset after the peer's END_STREAM leaves the received body
  // complete.
  const bool after_end_stream = kind_ == Kind::kHalfClosedRemote ||
                                closed_with(Cause::kEndStream) ||
                                closed_with(Cause::kErrorAfterEndStream);
  *this = closed_error(std::move(e), after_end_stream);
}

void StreamState::recv_eof() {
  if (kind_ == Kind::kClosed) return;
  *this = closed_error(StreamError::io(IoKind::kBrokenPipe, std::string(kBrokenPipeMessage)));
}

void StreamState::set_reset(uint32_t stream_id, uint32_t reason, Initiator who) {
  *this = closed_error(StreamError::reset(stream_id, reason, who));
}

void StreamState::set_error(StreamError error) {
  *this = closed_error(std::move(error));
}

bool StreamState::set_scheduled_reset(uint32_t reason) {
  if (kind_ == Kind::kClosed) return false;
  *this = closed_scheduled(reason);
  return true;
}

// ---- predicates -----------------------------------------------------------------------------

const StreamError* StreamState::error() const {
  if (kind_ != Kind::kClosed || !error_) return nullptr;
  return &*error_;
}

bool StreamState::ensure_recv_open(std::optional<PendingError>& error) const {
  switch (kind_) {
    case Kind::kClosed:
      switch (cause_) {
        case Cause::kError:
          error = error_->to_pending();
          return false;
        case Cause::kScheduledLibraryReset:
          error = protocol_error(scheduled_reason_, reason_description(scheduled_reason_));
          return false;
        case Cause::kEndStream:
        case Cause::kErrorAfterEndStream:
          return false;
      }
      return false;
    case Kind::kHalfClosedRemote:
    case Kind::kReservedLocal:
      return false;
    default:
      return true;
  }
}

std::optional<uint32_t> StreamState::scheduled_reset() const {
  if (!is_scheduled_reset()) return std::nullopt;
  return scheduled_reason_;
}

bool StreamState::is_local_error() const {
  if (is_scheduled_reset()) return true;
  const StreamError* e = error();
  if (!e) return false;
  return e->variant() == StreamError::Variant::kIo || e->initiator() != Initiator::kRemote;
}

bool StreamState::is_remote_reset() const {
  const StreamError* e = error();
  return e && e->variant() == StreamError::Variant::kReset && e->initiator() == Initiator::kRemote;
}

bool StreamState::is_send_streaming() const {
  return (kind_ == Kind::kOpen || kind_ == Kind::kHalfClosedRemote) && local_ == Peer::kStreaming;
}

bool StreamState::is_recv_headers() const {
  switch (kind_) {
    case Kind::kIdle:
    case Kind::kReservedRemote:
      return true;
    case Kind::kOpen:
    case Kind::kHalfClosedLocal:
      return remote_ == Peer::kAwaitingHeaders;
    default:
      return false;
  }
}

bool StreamState::is_recv_streaming() const {
  return (kind_ == Kind::kOpen || kind_ == Kind::kHalfClosedLocal) && remote_ == Peer::kStreaming;
}

bool StreamState::is_recv_end_stream() const {
  return kind_ == Kind::kHalfClosedRemote || closed_with(Cause::kEndStream) ||
         closed_with(Cause::kErrorAfterEndStream);
}

// ---- debug text -----------------------------------------------------------------------------

std::string StreamState::debug_text() const {
  std::string out;
  switch (kind_) {
    case Kind::kIdle:
      return "Idle";
    case Kind::kReservedLocal:
      return "ReservedLocal";
    case Kind::kReservedRemote:
      return "ReservedRemote";
    case Kind::kOpen:
      out = "Open { local: ";
      out += peer_name(local_);
      out += ", remote: ";
      out += peer_name(remote_);
      out += " }";
      return out;
    case Kind::kHalfClosedLocal:
      out = "HalfClosedLocal(";
      out += peer_name(remote_);
      out += ')';
      return out;
    case Kind::kHalfClosedRemote:
      out = "HalfClosedRemote(";
      out += peer_name(local_);
      out += ')';
      return out;
    case Kind::kClosed:
      break;
  }
  out = "Closed(";
  switch (cause_) {
    case Cause::kEndStream:
      out += "EndStream";
      break;
    case Cause::kError:
      out += "Error(" + error_debug(*error_) + ")";
      break;
    case Cause::kErrorAfterEndStream:
      out += "ErrorAfterEndStream(" + error_debug(*error_) + ")";
      break;
    case Cause::kScheduledLibraryReset:
      out += "ScheduledLibraryReset(" + std::to_string(scheduled_reason_) + ")";
      break;
  }
  out += ')';
  return out;
}

}  // namespace velmora::http2
