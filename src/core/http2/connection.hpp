// The complete protocol state of one HTTP/2 connection, for either role (RFC 9113): the frame
// decoder, the settings exchange, flow control, every stream's state, the concurrency slots,
// GOAWAY and failure state, and one pending-send buffer into which every outbound frame is
// encoded. No I/O: received bytes and decoded frames come in as arguments, encoded bytes go out
// through `take_pending`.
//
// The class is free of Python. The objects it stores for the binding layer (stream handles,
// the two task handles, the stored exception) are opaque `Handle`s (handle.hpp). Operations
// that let go of stored handles move them into the caller's `Released`, which the caller
// destroys after the operation returned; handles in results are new references the caller
// owns. Results are built from plain values, so the binding makes its Python objects after the
// call, with no lock held.
//
// Locking: two mutexes, the state mutex (everything except the decoder) and the decoder mutex
// (the frame decoder and its buffer). `receive` and `prime` take only the decoder mutex; every
// other method takes the state mutex exactly once and makes its whole decision under it
// (check-and-act); `recv_settings` takes the decoder mutex inside the state mutex. Nothing else
// nests.
//
// Errors are values: a fallible operation returns its result with `error` set (and, unless
// its description says otherwise, changed nothing); the binding raises it.
//
// The binding feeds decoded frame objects to the recv_* methods as plain values: SETTINGS as
// (ack, Settings), PING as (ack, its 8 payload bytes), HEADERS as `HeadersInfo::of(stream id,
// END_STREAM, its HeaderBlock)`, DATA as (stream id, END_STREAM, payload length,
// flow-controlled length), GOAWAY as (last stream id, error code, debug data).
//
// The methods are implemented in four files: connection.cpp (construction, handshake,
// settings, PING, slots, task handles, getters and test hooks), connection_send.cpp (the send
// path and write batches), connection_recv.cpp (the receive path) and connection_shutdown.cpp
// (GOAWAY, graceful shutdown, failure, resets and releasing received capacity). The stream
// store is stream_store.hpp; the limits and defaults are connection_limits.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http/lock.hpp"
#include "http2/connection_limits.hpp"
#include "http2/data_frame_budget.hpp"
#include "http2/flow_control.hpp"
#include "http2/frame.hpp"
#include "http2/frame_decoder.hpp"
#include "http2/frame_encoder.hpp"
#include "http2/handle.hpp"
#include "http2/header_block.hpp"
#include "http2/reset_budget.hpp"
#include "http2/reset_store.hpp"
#include "http2/stream_error.hpp"
#include "http2/stream_state.hpp"
#include "http2/stream_store.hpp"

namespace velmora::http2 {

// Flag bits returned by many methods.
inline constexpr uint32_t kFlagWake = 1;           // pending grew: wake the write pump
inline constexpr uint32_t kFlagSlotFreed = 2;      // a concurrency slot became free
inline constexpr uint32_t kFlagConnDone = 4;       // the connection is finished
inline constexpr uint32_t kFlagStopAccepting = 8;  // server: stop the accept loop

// Why a stream stopped (H2Stopped): the RST_STREAM or GOAWAY reason when there is one, and
// whether a connection-level error applies. Neither set: a local cancel.
struct Stop {
  std::optional<uint32_t> reason;
  bool conn = false;
  bool operator==(const Stop&) const = default;
};

// The stop of a stream in `state` (a stream that can no longer send, or whose body ended
// abnormally).
Stop stop_of(const StreamState& state);

// A result that may carry an error (raised by the binding; see each method for what changed).
struct Fallible {
  std::optional<PendingError> error;
};

struct ConnectionConfig {
  bool is_server = false;
  uint32_t initial_window_size = kDefaultInitialWindowSize;  // <= 2^31-1
  uint32_t connection_window = kDefaultInitialWindowSize;    // <= 2^31-1
  uint32_t max_frame_size = kDefaultMaxFrameSize;            // 16384..16777215
  uint32_t max_header_list_size = 16384;
  uint64_t max_send_buf_size = 1 << 20;
  std::optional<uint32_t> max_concurrent_streams;  // none: unlimited, not announced
  uint64_t max_pending_accept_reset_streams = limits::kDefaultMaxPendingAcceptResetStreams;
  std::optional<uint64_t> max_local_error_reset_streams =
      limits::kDefaultMaxLocalErrorResetStreams;  // none: no cap
  // The burst of resets the peer may cause (reset_budget.hpp); none: no limit.
  std::optional<uint64_t> max_reset_burst = limits::kDefaultMaxResetBurst;
  std::optional<uint64_t> data_frame_budget;  // none: resolved from connection_window
  bool auto_date_header = true;
  // Connection-specific fields of requests and responses are left out rather than refused
  // (FieldRule::kDropRequest / kDropResponse); trailers still refuse them.
  bool drop_connection_fields = false;
  std::optional<bool> enable_push;  // none: not announced
  // The server announces SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 (RFC 8441 section 3): clients
  // may open extended CONNECT streams (`:protocol`).
  bool enable_connect_protocol = false;
  // The monotonic clock in nanoseconds (the reset store's expiry); null: std::steady_clock.
  uint64_t (*clock_ns)() = nullptr;
};

// ---- results ------------------------------------------------------------------------------

struct FlagsResult : Fallible {
  uint32_t flags = 0;
};

struct SettingsResult : Fallible {
  bool initial = false;
  std::vector<Handle> wake_windows;  // new references, in store order
  uint32_t flags = 0;
};

struct OpenResult : Fallible {
  std::optional<uint32_t> stream_id;  // none: failed or GOAWAY'd connection (slot given back)
};

// H2SendVerdict.
struct SendVerdict : Fallible {
  uint64_t sent = 0;
  bool done = false;
  std::optional<Stop> stopped;
  Handle handle;                    // server, response complete: the stream handle to notify
  std::optional<Stop> reader_stop;  // the stop the body readers of `handle` must see
  uint32_t flags = 0;
};

// One taken pending-send buffer (the bytes of an H2WriteBatch).
struct Batch {
  std::string bytes;
  bool stopping = false;
};

enum HeadersKind : uint8_t {
  kHeadersIgnored = 0,
  kHeadersOpened = 1,
  kHeadersHead = 2,
  kHeadersTrailers = 3,
};

// What `recv_headers` uses of a decoded HEADERS frame. The last ones say what a block lacks
// or carries for the role it arrives in (RFC 9113 section 8.1: a request without :method, a
// response head without :status, or trailers with pseudo-header fields are malformed); their
// defaults accept the block.
struct HeadersInfo {
  uint32_t stream_id = 0;
  bool end_stream = false;
  bool informational = false;  // a 1xx response head
  std::optional<uint64_t> content_length;
  bool content_length_invalid = false;
  bool no_method = false;   // no :method (cannot open a request stream)
  bool no_status = false;   // no :status (cannot be a response head)
  bool has_pseudo = false;  // some pseudo-header field (cannot be trailers)
  bool head = false;        // :method is HEAD
  bool no_content = false;  // a 204 or 304 response: a declared length describes no DATA
  bool tunnel = false;      // :protocol is present (an extended CONNECT, RFC 8441)
  static HeadersInfo of(uint32_t stream_id, bool end_stream, const HeaderBlock& block) {
    HeadersInfo h{stream_id, end_stream, block.status() >= 100 && block.status() < 200,
                  block.content_length(), block.content_length_invalid()};
    h.no_method = !block.has(HeaderBlock::kMethod);
    h.no_status = block.status() < 0;
    h.has_pseudo = !h.no_status || block.has(HeaderBlock::kMethod) ||
                   block.has(HeaderBlock::kScheme) || block.has(HeaderBlock::kAuthority) ||
                   block.has(HeaderBlock::kPath) || block.has(HeaderBlock::kProtocol);
    h.head = !h.no_method && block.pseudo(HeaderBlock::kMethod) == "HEAD";
    h.no_content = block.status() == 204 || block.status() == 304;
    h.tunnel = block.has(HeaderBlock::kProtocol);
    return h;
  }
};

// H2RecvHeadersVerdict.
struct HeadersVerdict : Fallible {
  uint8_t kind = kHeadersIgnored;
  Handle handle;
  uint32_t stream_id = 0;
  bool eof = false;
  bool no_body = false;  // an opened HEAD request: its response has no content
  uint32_t flags = 0;
};

// H2RecvDataVerdict; `deliver`: the frame's payload is handed to the application (the
// binding returns the frame's payload object as `payload`, else None).
struct DataVerdict : Fallible {
  Handle handle;
  bool deliver = false;
  bool budgeted = false;
  bool eof = false;
  uint32_t flags = 0;
};

struct HandlesResult : Fallible {
  std::vector<Handle> handles;  // new references
};

// recv_reset: `live` false stands for None.
struct RecvResetResult : Fallible {
  bool live = false;
  Handle handle;
  Stop stop;
  bool notify_body = false;
  uint32_t flags = 0;
};

// (handle, stop) pairs of streams ended by a GOAWAY or a failure.
using StreamStops = std::vector<std::pair<Handle, Stop>>;

struct GoAwayResult : Fallible {
  StreamStops pairs;
  uint32_t flags = 0;
};

// H2ResetVerdict.
struct ResetVerdict : Fallible {
  Handle handle;             // empty: no live stream, nothing to do
  std::optional<Stop> stop;  // none: a clean end, a local cancel
  uint32_t flags = 0;
};

// conn_error(): the stored exception (a new reference), or the stored message (the binding
// builds ConnectionClosedError(message)), or neither.
struct ConnError {
  Handle exception;
  std::optional<std::string> message;
};

struct GoAwayInfo {
  uint32_t last_stream_id = 0;
  uint32_t error_code = 0;
  std::string debug_data;
};

// open_stream's request; `headers` may be null; empty `scheme` / `authority` stand for None.
// The method HEAD implies `is_head` (the response has no content, RFC 9110 section 9.3.2).
struct RequestSpec {
  std::string_view method;
  std::string_view target;
  const http::HeaderMap* headers = nullptr;
  bool end_stream = false;
  bool is_head = false;
  std::string_view scheme;
  std::string_view authority;
  // An extended CONNECT's :protocol (RFC 8441 section 4): refused unless the server announced
  // SETTINGS_ENABLE_CONNECT_PROTOCOL = 1.
  std::string_view protocol;
};

class Connection {
 public:
  // The constructor's ValueError, or none (the role text is checked by the binding).
  static std::optional<PendingError> validate(const ConnectionConfig& config);
  // `config` must have passed `validate`.
  explicit Connection(const ConnectionConfig& config);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // ---- handshake, decoding, settings, PING ------------------------------------------------

  // Queues the preface (client), our SETTINGS and possibly WINDOW_UPDATE(0).
  std::optional<PendingError> begin();
  // Decoder mutex only: decodes every complete frame of `data` into `sink`, in wire order.
  // A connection error fills `error`; a failed header-block decode is COMPRESSION_ERROR (9).
  FrameDecoder::Status receive(const uint8_t* data, size_t n, FrameSink& sink, PendingError& error);
  // Seeds the decoder: 1 (True), 0 (None: preface incomplete), -1 (False: mismatch).
  int prime(const uint8_t* data, size_t n);
  SettingsResult recv_settings(bool ack, const Settings& settings);
  FlagsResult recv_ping(bool ack, std::string_view payload);

  // ---- slots and task handles -------------------------------------------------------------

  bool try_claim_slot();
  bool can_open();
  void release_slot_count();
  void apply_stream_limit(std::optional<uint64_t> limit);
  void store_task_handles(Handle read, Handle pump, Released& drop);
  Handle take_read_handle();
  Handle take_pump_handle();

  // ---- send path --------------------------------------------------------------------------

  OpenResult open_stream(const RequestSpec& request, Handle handle, Released& drop);
  // Frames at most one DATA frame of data[offset:] (`offset` <= data.size()).
  SendVerdict send_data(uint32_t sid, std::string_view data, uint64_t offset, bool end_stream,
                        Released& drop);
  SendVerdict send_trailers(uint32_t sid, const http::HeaderMap& trailers, Released& drop);
  SendVerdict send_response_head(uint32_t sid, uint32_t status, const http::HeaderMap* headers,
                                 bool end_stream, Released& drop);
  // Moves the whole pending buffer out (the spare buffer takes its place).
  Batch take_pending();
  // A released batch's buffer comes back (kept as the spare when there is none).
  void return_buffer(std::string&& buffer);
  // Handles of the streams whose written bytes were credited, once each, in order.
  std::vector<Handle> credit_written();
  bool has_pending();
  void stop_pump();

  // ---- receive path -----------------------------------------------------------------------

  // `spare`: the server's handle for a new stream (kept by the stream, else released).
  HeadersVerdict recv_headers(const HeadersInfo& frame, Handle spare, Released& drop);
  // `payload_len`: the payload without padding; `flow_controlled_len`: what the windows are
  // charged (payload, padding and the pad-length octet).
  DataVerdict recv_data(uint32_t sid, bool end_stream, uint64_t payload_len,
                        uint32_t flow_controlled_len, Released& drop);
  HandlesResult recv_window_update(uint32_t sid, uint32_t increment);
  RecvResetResult recv_reset(uint32_t sid, uint32_t reason, Released& drop);

  // ---- shutdown, failure, resets ----------------------------------------------------------

  GoAwayResult recv_go_away(uint32_t last_stream_id, uint32_t error_code,
                            std::string_view debug_data, Released& drop);
  uint32_t maybe_goaway_reply();
  uint32_t send_goaway(uint32_t reason);
  uint32_t begin_graceful_shutdown();
  // Stores `exception` (when non-empty) or else `message`, unless an error is stored already
  // (then `exception` goes to `drop`); ends every stream.
  StreamStops fail(Handle exception, std::string_view message, Released& drop);
  ConnError conn_error();
  std::optional<GoAwayInfo> goaway_info();
  bool is_closed();
  bool is_failed();
  ResetVerdict reset_stream(uint32_t sid, uint32_t reason, Initiator initiator, Released& drop);
  ResetVerdict reset_on_error(uint32_t sid, uint32_t reason, Released& drop);
  ResetVerdict aclose_body(uint32_t sid, Released& drop);
  void release_capacity(uint32_t sid, uint32_t n, Released& drop);
  void release_data_frame(uint32_t sid, uint64_t payload_len, Released& drop);
  void accepted(uint32_t sid);

  // ---- getters ----------------------------------------------------------------------------

  bool is_server() const { return is_server_; }  // fixed at construction
  bool graceful();
  bool shutdown_final();
  bool goaway_replied();
  uint32_t last_processed_id();
  uint32_t max_stream_id();
  uint32_t peer_initial_window_size();
  uint32_t peer_max_frame_size();
  uint64_t num_streams();
  uint64_t num_open_streams();
  uint64_t local_error_resets();
  uint64_t max_pending_accept_reset_streams() const { return max_pending_accept_resets_; }
  uint64_t data_frame_budget_available();
  uint64_t data_frame_budget_empty_frames();
  std::optional<uint64_t> stream_limit();
  std::optional<uint64_t> max_local_error_reset_streams() const { return max_local_error_resets_; }
  std::optional<uint64_t> max_reset_burst();
  std::optional<uint32_t> peer_max_concurrent_streams();
  // The peer announced SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 (RFC 8441 section 3).
  bool peer_connect_protocol();
  uint32_t conn_send_window();  // 0 when negative
  int32_t conn_recv_available();
  // "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"
  std::string repr();

  // ---- test hooks (an empty optional: no stream `sid` in the store) ----------------------

  bool has_stream(uint32_t sid);
  std::optional<bool> is_recv_end_stream(uint32_t sid);
  std::optional<std::string> stream_state(uint32_t sid);
  std::optional<uint32_t> stream_recv_unreleased(uint32_t sid);
  std::optional<bool> stream_recv_reclaimed(uint32_t sid);
  std::optional<uint64_t> stream_data_budget_charged(uint32_t sid);
  std::optional<uint64_t> stream_send_buffered(uint32_t sid);
  std::optional<uint32_t> stream_send_window(uint32_t sid);
  bool in_reset_store(uint32_t sid);
  void set_next_stream_id(uint32_t sid);
  void set_max_stream_id(uint32_t sid);
  void set_last_processed_id(uint32_t sid);

  // ---- garbage collection and memory ------------------------------------------------------

  // Calls `fn(object, ctx)` for every stored object (stream handles, task handles, the stored
  // exception); stops at and returns the first non-zero result. Takes no lock: the binding
  // calls it from the collector, which runs while no method of this object is running.
  int visit(int (*fn)(void* object, void* ctx), void* ctx) const;
  // Moves every stored object into `drop` (the collector's clear).
  void clear(Released& drop);

  // Heap bytes owned (buffers, stream store, decoder and encoder tables); for benchmarks.
  size_t heap_bytes();
  static constexpr size_t stream_record_bytes() { return sizeof(StreamRecord); }

 private:
  struct SettingsState {
    enum Value : uint8_t { kNotSent, kSent, kAcknowledged };
  };

  // ---- helpers (called with the state mutex held) ----
  uint64_t now_ns() const;
  bool failed() const { return stored_exception_ || stored_message_; }
  // Counts one control frame queued in reply to the peer; false (with `error` set to
  // ENHANCE_YOUR_CALM naming `flood`) when the cap of unwritten ones is reached.
  bool queue_control(std::string_view flood, std::optional<PendingError>& error);
  // The closing accounting: a closed stream not yet accounted decrements num_streams and frees
  // its slot (returns kFlagSlotFreed when it did).
  uint32_t account_close(StreamRecord& s);
  // Removes the record when it is closed, accounted and fully released (handle to `drop`).
  void maybe_remove(uint32_t sid, Released& drop);
  // account_close, then maybe_remove; `s` is invalid afterwards.
  uint32_t close_stream(uint32_t sid, StreamRecord& s, Released& drop);
  // Gives the stream's unread receive capacity and DATA-budget charges back to the connection.
  void reclaim(StreamRecord& s);
  // Drops the stream's receive capacity without giving it back (the connection is ending).
  static void drop_capacity(StreamRecord& s);
  // Adds `n` to the connection receive capacity, queuing WINDOW_UPDATE(0) when one is due.
  void release_conn_capacity(uint32_t n);
  // The application consumed `n` received bytes of `s`.
  void release_stream_capacity(uint32_t sid, StreamRecord& s, uint32_t n);
  // The common reset step; `s` is invalid afterwards.
  ResetVerdict reset_locked(uint32_t sid, StreamRecord& s, uint32_t reason, Initiator who,
                            Released& drop);
  // After this side sent END_STREAM on `sid`; `s` is invalid afterwards.
  void post_close(uint32_t sid, StreamRecord& s, SendVerdict& v, Released& drop);
  // The stop of a stream that is not in the store.
  Stop absent_stop(uint32_t sid) const;
  StreamRecord* sending_stream(uint32_t sid, SendVerdict& v);
  // A DATA frame nobody will read: its connection window is consumed and given back.
  std::optional<PendingError> swallow_data(uint32_t flow_controlled_len);
  void apply_headers(const HeadersInfo& f, Handle& spare, HeadersVerdict& v, Released& drop);
  void apply_data(uint32_t sid, bool end_stream, uint64_t payload_len, uint32_t flow_controlled_len,
                  DataVerdict& v, Released& drop);
  // DATA on a stream that is not in the store.
  void unknown_data(uint32_t sid, uint32_t flow_controlled_len, DataVerdict& v);
  // A stream id this side once knew but has forgotten (as opposed to an idle one).
  bool is_forgotten(uint32_t sid) const;

  const bool is_server_;
  const uint64_t max_send_buf_size_;
  const uint64_t local_max_concurrent_streams_;
  const uint64_t max_pending_accept_resets_;
  const std::optional<uint64_t> max_local_error_resets_;
  const bool auto_date_header_;
  const bool drop_connection_fields_;
  const uint32_t connection_window_;
  uint64_t (*const clock_ns_)();

  Mutex state_mutex_;
  Mutex decoder_mutex_;

  // ---- guarded by state_mutex_ ----
  Settings local_settings_;
  uint8_t local_settings_state_ = SettingsState::kNotSent;
  bool peer_settings_seen_ = false;
  bool graceful_ = false;
  bool shutdown_final_ = false;
  bool goaway_replied_ = false;
  bool stopping_ = false;
  int32_t local_recv_initial_window_;
  uint32_t peer_initial_window_size_ = kDefaultInitialWindowSize;
  uint32_t peer_max_frame_size_ = kDefaultMaxFrameSize;
  std::optional<uint32_t> peer_max_concurrent_streams_;
  bool peer_connect_protocol_ = false;
  uint32_t peer_header_table_size_ = kDefaultHeaderTableSize;
  FlowControl send_flow_;
  FlowControl recv_flow_;
  DataFrameBudget data_frame_budget_;
  uint64_t num_streams_ = 0;
  uint64_t num_open_streams_ = 0;
  std::optional<uint64_t> stream_limit_;
  uint64_t local_error_resets_ = 0;
  uint64_t next_stream_id_ = 1;
  uint32_t last_processed_id_ = 0;
  uint32_t highest_peer_stream_id_ = 0;
  uint32_t max_stream_id_ = kMaxStreamId;
  uint32_t queued_control_frames_ = 0;  // since the last take_pending

  // The stored failure: an exception, or a message.
  Handle stored_exception_;
  std::optional<std::string> stored_message_;
  std::optional<GoAwayInfo> peer_goaway_;

  std::string pending_;
  std::optional<std::string> spare_;
  struct Credit {
    uint32_t sid;
    uint64_t bytes;
  };
  std::vector<Credit> pending_credits_;
  std::vector<Credit> written_credits_;
  Handle read_handle_;
  Handle pump_handle_;

  StreamStore streams_;
  ResetStore reset_store_;
  ResetBudget reset_budget_;
  IdSet pending_accept_;
  IdSet pending_accept_resets_;

  FrameEncoder encoder_;

  // ---- guarded by decoder_mutex_ ----
  FrameDecoder decoder_;
  std::string primed_;  // bytes handed over by `prime`, decoded ahead of the next receive
};

}  // namespace velmora::http2
