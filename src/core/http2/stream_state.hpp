// The lifecycle of one HTTP/2 stream (RFC 9113 section 5.1), refined by what each half is
// waiting for and, once closed, by why it closed.
//
// The value has no lock of its own: the connection keeps one per stream under its state mutex,
// and the standalone Python class keeps one in a Locked<StreamState>. Each transition is a
// method that switches on the current state (stream_state.cpp); a state the method does not
// accept is refused with a TransitionError and left unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/errors.hpp"
#include "http2/stream_error.hpp"

namespace velmora::http2 {

// What one half of a stream is waiting for.
enum class Peer : uint8_t {
  kAwaitingHeaders,  // no HEADERS yet on that half, or only informational (1xx) heads
  kStreaming,        // a final HEADERS has passed; DATA may follow
};

// Why a transition was refused; the state is unchanged when it is not kNone.
enum class TransitionError : uint8_t {
  kNone,
  kUnexpectedFrameType,  // local misuse: H2UserError("unexpected_frame_type", ...)
  kProtocol,             // peer violation: H2ProtocolError(1, ...), answered with GOAWAY
};

// The exception a refused transition raises.
PendingError transition_error(TransitionError e);

class StreamState {
 public:
  enum class Kind : uint8_t {
    kIdle,
    kReservedLocal,
    kReservedRemote,
    kOpen,
    kHalfClosedLocal,   // payload: the remote half
    kHalfClosedRemote,  // payload: the local half
    kClosed,
  };
  enum class Cause : uint8_t {
    kEndStream,              // both halves ended cleanly
    kError,                  // reset or failed before the peer's END_STREAM arrived
    kErrorAfterEndStream,    // reset or failed after it: the received body is complete
    kScheduledLibraryReset,  // RST_STREAM(reason) goes out once queued frames are flushed
  };

  StreamState() = default;  // Idle

  // ---- transitions ----------------------------------------------------------------------

  // HEADERS sent (opening, or the final head of a reserved or half-closed-remote stream).
  TransitionError send_open(bool eos);
  // HEADERS received. `opened` is set when the frame opened the stream (Idle or
  // ReservedRemote).
  TransitionError recv_open(bool eos, bool informational, bool& opened);
  TransitionError reserve_remote();  // PUSH_PROMISE received
  TransitionError reserve_local();   // PUSH_PROMISE sent
  TransitionError recv_close();      // END_STREAM received on DATA
  // Closes the send half if it is streaming; false (and no change) otherwise.
  bool send_close();
  // RST_STREAM received. A closed stream keeps its cause unless `queued` (the reset arrived
  // while frames for the stream were still queued), which overwrites it.
  void recv_reset(uint32_t stream_id, uint32_t reason, bool queued);
  // The transport broke: an open stream closes with a broken-pipe I/O error.
  void recv_eof();
  // Any state: closed by a reset from `who`.
  void set_reset(uint32_t stream_id, uint32_t reason, Initiator who);
  // Any state: closed by `error` (a GOAWAY or a transport failure fanned out to streams).
  void set_error(StreamError error);
  // Unless closed: closed with a reset the library will send. Returns whether it changed.
  bool set_scheduled_reset(uint32_t reason);

  // ---- predicates -------------------------------------------------------------------------

  // True: more may arrive; false: nothing more will arrive, cleanly. A stream closed by an
  // error reports it in `error` (and returns false).
  bool ensure_recv_open(std::optional<PendingError>& error) const;
  std::optional<uint32_t> scheduled_reset() const;
  bool is_scheduled_reset() const { return closed_with(Cause::kScheduledLibraryReset); }
  bool is_local_error() const;
  bool is_remote_reset() const;
  bool is_reset() const { return kind_ == Kind::kClosed && cause_ != Cause::kEndStream; }
  bool is_send_streaming() const;
  bool is_recv_headers() const;
  bool is_recv_streaming() const;
  bool is_recv_end_stream() const;
  bool is_closed() const { return kind_ == Kind::kClosed; }
  bool is_send_closed() const {
    return kind_ == Kind::kClosed || kind_ == Kind::kHalfClosedLocal ||
           kind_ == Kind::kReservedRemote;
  }
  bool is_idle() const { return kind_ == Kind::kIdle; }

  // ---- inspection -------------------------------------------------------------------------

  Kind kind() const { return kind_; }
  // Open: both halves; HalfClosedLocal: remote(); HalfClosedRemote: local().
  Peer local() const { return local_; }
  Peer remote() const { return remote_; }
  // Closed only.
  Cause cause() const { return cause_; }
  // Closed(Error(e)) or Closed(ErrorAfterEndStream(e)): e; otherwise null.
  const StreamError* error() const;

  // Debug text, e.g. "Open { local: Streaming, remote: AwaitingHeaders }" or
  // "Closed(ErrorAfterEndStream(Reset(5, 8, Remote)))".
  std::string debug_text() const;

  bool operator==(const StreamState&) const = default;

  // Named constructors (used by the transition methods and by tests of the core).
  static StreamState open(Peer local, Peer remote);
  static StreamState half_closed_local(Peer remote);
  static StreamState half_closed_remote(Peer local);
  static StreamState closed_end_stream();
  // Closed(Error(error)), or Closed(ErrorAfterEndStream(error)) when `after_end_stream`.
  static StreamState closed_error(StreamError error, bool after_end_stream = false);
  static StreamState closed_scheduled(uint32_t reason);

 private:
  explicit StreamState(Kind k) : kind_(k) {}
  bool closed_with(Cause c) const { return kind_ == Kind::kClosed && cause_ == c; }

  Kind kind_ = Kind::kIdle;
  // Unused halves stay kAwaitingHeaders so that equal states compare equal.
  Peer local_ = Peer::kAwaitingHeaders;
  Peer remote_ = Peer::kAwaitingHeaders;
  Cause cause_ = Cause::kEndStream;
  uint32_t scheduled_reason_ = 0;
  std::optional<StreamError> error_;
};

}  // namespace velmora::http2
