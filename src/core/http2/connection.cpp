// Construction, handshake, settings, PING, slots, task handles, getters, test hooks and the
// stream bookkeeping shared by the other halves.
#include "http2/connection.hpp"

#include <algorithm>
#include <chrono>

namespace velmora::http2 {
namespace {

PendingError value_error(std::string message) {
  return PendingError(ExcClass::kValueError, ErrArg::text(std::move(message)));
}

PendingError frame_size_error(uint64_t v) {
  return value_error("max_frame_size must be in [16384, 16777215], got " + std::to_string(v));
}

bool frame_size_ok(uint64_t v) {
  return v >= kDefaultMaxFrameSize && v <= kMaxMaxFrameSize;
}

constexpr std::string_view kSettingsFlood =
    "SETTINGS flood: too many SETTINGS acknowledgements queued and not written";
constexpr std::string_view kPingFlood =
    "PING flood: too many PING acknowledgements queued and not written";

}  // namespace

Stop stop_of(const StreamState& state) {
  if (!state.is_closed()) return {};
  if (auto r = state.scheduled_reset()) return {*r, true};
  const StreamError* e = state.error();
  if (!e) return {};
  const bool after_end = state.cause() == StreamState::Cause::kErrorAfterEndStream;
  switch (e->variant()) {
    case StreamError::Variant::kReset:
      return {e->reason(), false};
    case StreamError::Variant::kGoAway:
      return {e->reason(), !after_end};
    case StreamError::Variant::kIo:
      break;
  }
  return {std::nullopt, true};
}

std::optional<PendingError> Connection::validate(const ConnectionConfig& c) {
  if (!frame_size_ok(c.max_frame_size)) return frame_size_error(c.max_frame_size);
  if (c.initial_window_size > kMaxWindowSize || c.connection_window > kMaxWindowSize)
    return value_error("window sizes must be <= 2147483647 (RFC 9113 6.9.1)");
  return std::nullopt;
}

Connection::Connection(const ConnectionConfig& c)
    : is_server_(c.is_server),
      max_send_buf_size_(c.max_send_buf_size),
      local_max_concurrent_streams_(c.max_concurrent_streams ? *c.max_concurrent_streams
                                                             : UINT64_MAX),
      max_pending_accept_resets_(c.max_pending_accept_reset_streams),
      max_local_error_resets_(c.max_local_error_reset_streams),
      auto_date_header_(c.auto_date_header),
      drop_connection_fields_(c.drop_connection_fields),
      connection_window_(c.connection_window),
      clock_ns_(c.clock_ns),
      local_recv_initial_window_(
          int32_t(std::max<uint32_t>(c.initial_window_size, kDefaultInitialWindowSize))),
      send_flow_(limits::kDefaultWindow, limits::kDefaultWindow),
      recv_flow_(limits::kDefaultWindow, limits::kDefaultWindow),
      data_frame_budget_(DataFrameBudget::resolve_cap(c.data_frame_budget, c.connection_window)),
      reset_budget_(c.max_reset_burst, limits::kResetRefillPerSecond),
      decoder_(c.is_server) {
  if (c.enable_push) local_settings_.set(kEnablePush, *c.enable_push ? 1 : 0);
  if (c.is_server && c.max_concurrent_streams)
    local_settings_.set(kMaxConcurrentStreams, *c.max_concurrent_streams);
  local_settings_.set(kInitialWindowSize, c.initial_window_size);
  local_settings_.set(kMaxFrameSize, c.max_frame_size);
  local_settings_.set(kMaxHeaderListSize, c.max_header_list_size);
  if (c.is_server && c.enable_connect_protocol) local_settings_.set(kEnableConnectProtocol, 1);
  if (c.is_server) decoder_.set_preface_mode(true);
  decoder_.set_settings_first(true);
  // Our own receive limits hold from the first frame: what the peer may assume before it
  // acknowledged them (RFC 9113 section 6.5.3) does not bind what this side accepts.
  decoder_.set_max_frame_size(c.max_frame_size);
  decoder_.set_max_header_list_size(c.max_header_list_size);
}

Connection::~Connection() = default;

uint64_t Connection::now_ns() const {
  if (clock_ns_) return clock_ns_();
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// ---- stream bookkeeping -----------------------------------------------------------------------

bool Connection::queue_control(std::string_view flood, std::optional<PendingError>& error) {
  if (queued_control_frames_ >= limits::kMaxQueuedControlFrames) {
    error = protocol_error(11, flood);
    return false;
  }
  ++queued_control_frames_;
  return true;
}

uint32_t Connection::account_close(StreamRecord& s) {
  if (!s.state.is_closed() || s.close_accounted) return 0;
  s.close_accounted = true;
  if (num_streams_) --num_streams_;
  if (!s.holds_slot) return 0;
  s.holds_slot = false;
  if (num_open_streams_) --num_open_streams_;
  return kFlagSlotFreed;
}

void Connection::maybe_remove(uint32_t sid, Released& drop) {
  auto it = streams_.find(sid);
  if (it == streams_.end()) return;
  StreamRecord& s = it->second;
  if (!s.state.is_closed() || !s.close_accounted || !s.fully_released()) return;
  drop.add(std::move(s.handle));
  streams_.erase(it);
}

uint32_t Connection::close_stream(uint32_t sid, StreamRecord& s, Released& drop) {
  uint32_t f = account_close(s);
  maybe_remove(sid, drop);
  return f;
}

void Connection::release_conn_capacity(uint32_t n) {
  if (n == 0) return;
  if (recv_flow_.assign_capacity(n) != FlowStatus::kOk) return;
  if (auto inc = recv_flow_.unclaimed_capacity()) {
    if (*inc <= 0 || *inc > int64_t(kMaxWindowSize)) return;
    recv_flow_.set_window_to_available();
    encoder_.window_update(0, uint32_t(*inc), pending_);
  }
}

void Connection::release_stream_capacity(uint32_t sid, StreamRecord& s, uint32_t n) {
  s.recv_unreleased -= std::min(n, s.recv_unreleased);
  if (s.recv_flow.assign_capacity(n) == FlowStatus::kOk && !s.state.is_closed() &&
      !s.state.is_recv_end_stream()) {
    if (auto inc = s.recv_flow.unclaimed_capacity()) {
      if (*inc > 0 && *inc <= int64_t(kMaxWindowSize)) {
        s.recv_flow.set_window_to_available();
        encoder_.window_update(sid, uint32_t(*inc), pending_);
      }
    }
  }
  release_conn_capacity(n);
}

void Connection::reclaim(StreamRecord& s) {
  if (s.data_budget_charged) data_frame_budget_.release(s.data_budget_charged);
  s.data_budget_charged = 0;
  const uint32_t unreleased = s.recv_unreleased;
  s.recv_unreleased = 0;
  release_conn_capacity(unreleased);
  s.recv_reclaimed = true;
}

void Connection::drop_capacity(StreamRecord& s) {
  s.recv_unreleased = 0;
  s.data_budget_charged = 0;
  s.recv_reclaimed = true;
}

Stop Connection::absent_stop(uint32_t sid) const {
  // A stream the peer reset is forgotten at once; a late sender still learns the reason.
  if (auto r = reset_store_.remote_reason(sid)) return {*r, false};
  return {};
}

bool Connection::is_forgotten(uint32_t sid) const {
  if (sid % 2 == 0) return false;
  if (is_server_) return sid <= highest_peer_stream_id_;
  return sid < next_stream_id_;
}

// ---- handshake, decoding, settings, PING ------------------------------------------------------

std::optional<PendingError> Connection::begin() {
  LockGuard g(state_mutex_);
  if (!is_server_) pending_.append(kPreface);
  encoder_.settings(local_settings_, pending_);
  local_settings_state_ = SettingsState::kSent;
  if (connection_window_ > kDefaultInitialWindowSize)
    release_conn_capacity(connection_window_ - kDefaultInitialWindowSize);
  return std::nullopt;
}

FrameDecoder::Status Connection::receive(const uint8_t* data, size_t n, FrameSink& sink,
                                         PendingError& error) {
  FrameDecoder::Status status;
  {
    LockGuard g(decoder_mutex_);
    if (!primed_.empty()) {
      // Bytes a sniffing reader handed over come first.
      std::string joined = std::move(primed_);
      primed_.clear();
      joined.append(reinterpret_cast<const char*>(data), n);
      status = decoder_.receive(reinterpret_cast<const uint8_t*>(joined.data()), joined.size(),
                                sink, error);
    } else {
      status = decoder_.receive(data, n, sink, error);
    }
  }
  // A header block that fails to decode leaves the HPACK context unusable: a connection error
  // COMPRESSION_ERROR (RFC 9113 section 4.3).
  if (status == FrameDecoder::Status::kConnectionError && error.cls == ExcClass::kH2Protocol &&
      error.argc >= 2 && error.args[1].str().starts_with("HPACK decoding failed"))
    error.args[0] = ErrArg::integer(9);
  return status;
}

int Connection::prime(const uint8_t* data, size_t n) {
  LockGuard g(decoder_mutex_);
  primed_.append(reinterpret_cast<const char*>(data), n);
  if (is_server_ && !decoder_.preface_done()) return match_preface(primed_);
  return 1;
}

SettingsResult Connection::recv_settings(bool ack, const Settings& settings) {
  SettingsResult r;
  LockGuard g(state_mutex_);
  if (ack) {
    if (local_settings_state_ != SettingsState::kSent) {
      r.error = protocol_error(1, "received unexpected settings ack");
      return r;
    }
    local_settings_state_ = SettingsState::kAcknowledged;
    {
      LockGuard d(decoder_mutex_);
      decoder_.set_max_frame_size(local_settings_.get(kMaxFrameSize));
      decoder_.set_max_header_list_size(local_settings_.get(kMaxHeaderListSize));
    }
    const int32_t iws = int32_t(local_settings_.get(kInitialWindowSize));
    if (iws != local_recv_initial_window_) {
      const int64_t delta = int64_t(iws) - local_recv_initial_window_;
      local_recv_initial_window_ = iws;
      for (auto& [sid, s] : streams_) {
        if (s.recv_flow.shift_window(delta) != FlowStatus::kOk ||
            s.recv_flow.shift_available(delta) != FlowStatus::kOk) {
          r.error = flow_control_error();
          return r;
        }
      }
    }
    return r;
  }
  if (!queue_control(kSettingsFlood, r.error)) return r;
  encoder_.settings_ack(pending_);
  r.flags |= kFlagWake;
  r.initial = !peer_settings_seen_;
  peer_settings_seen_ = true;
  if (settings.has(kHeaderTableSize)) {
    peer_header_table_size_ = settings.get(kHeaderTableSize);
    encoder_.set_header_table_size(std::min(peer_header_table_size_, kDefaultHeaderTableSize));
  }
  if (settings.has(kMaxFrameSize)) {
    const uint32_t v = settings.get(kMaxFrameSize);
    if (!frame_size_ok(v)) {
      r.error = frame_size_error(v);
      return r;
    }
    peer_max_frame_size_ = v;
    encoder_.set_max_frame_size(v);
  }
  if (!is_server_ && settings.has(kEnableConnectProtocol)) {
    // RFC 8441 section 3: never withdrawn once announced (the decoder refuses values above
    // 1); a client's has no effect on a server.
    const bool v = settings.get(kEnableConnectProtocol) == 1;
    if (!v && peer_connect_protocol_) {
      r.error = protocol_error(1, "SETTINGS_ENABLE_CONNECT_PROTOCOL withdrawn");
      return r;
    }
    peer_connect_protocol_ = v;
  }
  if (settings.has(kMaxConcurrentStreams)) {
    peer_max_concurrent_streams_ = settings.get(kMaxConcurrentStreams);
    if (!is_server_) {
      stream_limit_ = *peer_max_concurrent_streams_;
      r.flags |= kFlagSlotFreed;
    }
  }
  if (settings.has(kInitialWindowSize)) {
    const uint32_t v = settings.get(kInitialWindowSize);
    if (v != peer_initial_window_size_) {
      const int64_t delta = int64_t(v) - int64_t(peer_initial_window_size_);
      peer_initial_window_size_ = v;
      for (auto& [sid, s] : streams_) {
        const auto k = s.state.kind();
        if (k == StreamState::Kind::kReservedRemote || k == StreamState::Kind::kHalfClosedLocal ||
            k == StreamState::Kind::kClosed)
          continue;
        if (s.send_flow.shift_window(delta) != FlowStatus::kOk ||
            s.send_flow.shift_available(delta) != FlowStatus::kOk) {
          r.error = flow_control_error();
          return r;
        }
        if (delta > 0) r.wake_windows.push_back(s.handle.share());
      }
    }
  }
  return r;
}

FlagsResult Connection::recv_ping(bool ack, std::string_view payload) {
  FlagsResult r;
  if (payload.size() != 8) {
    r.error = value_error("ping payload must be exactly 8 bytes");
    return r;
  }
  LockGuard g(state_mutex_);
  if (!ack) {
    if (!queue_control(kPingFlood, r.error)) return r;
    encoder_.ping(payload, true, pending_);
    r.flags = kFlagWake;
    return r;
  }
  if (payload == limits::kShutdownPingPayload && is_server_ && graceful_ && !shutdown_final_) {
    // Phase 2 of a graceful shutdown: the client has seen everything before our first GOAWAY.
    shutdown_final_ = true;
    max_stream_id_ = last_processed_id_;
    encoder_.go_away(last_processed_id_, 0, {}, pending_);
    r.flags = kFlagWake | (num_streams_ == 0 ? kFlagStopAccepting : 0);
  }
  return r;
}

// ---- slots and task handles -------------------------------------------------------------------

bool Connection::try_claim_slot() {
  LockGuard g(state_mutex_);
  if (stream_limit_ && num_open_streams_ >= *stream_limit_) return false;
  ++num_open_streams_;
  return true;
}

bool Connection::can_open() {
  LockGuard g(state_mutex_);
  return !stream_limit_ || num_open_streams_ < *stream_limit_;
}

void Connection::release_slot_count() {
  LockGuard g(state_mutex_);
  if (num_open_streams_) --num_open_streams_;
}

void Connection::apply_stream_limit(std::optional<uint64_t> limit) {
  LockGuard g(state_mutex_);
  stream_limit_ = limit;
}

void Connection::store_task_handles(Handle read, Handle pump, Released& drop) {
  LockGuard g(state_mutex_);
  drop.add(std::move(read_handle_));
  drop.add(std::move(pump_handle_));
  read_handle_ = std::move(read);
  pump_handle_ = std::move(pump);
}

Handle Connection::take_read_handle() {
  LockGuard g(state_mutex_);
  return std::move(read_handle_);
}

Handle Connection::take_pump_handle() {
  LockGuard g(state_mutex_);
  return std::move(pump_handle_);
}

// ---- getters ------------------------------------------------------------------------------------

#define LOCKED_GETTER(type, name, expr) \
  type Connection::name() {             \
    LockGuard g(state_mutex_);          \
    return expr;                        \
  }

LOCKED_GETTER(bool, graceful, graceful_)
LOCKED_GETTER(bool, shutdown_final, shutdown_final_)
LOCKED_GETTER(bool, goaway_replied, goaway_replied_)
LOCKED_GETTER(uint32_t, last_processed_id, last_processed_id_)
LOCKED_GETTER(uint32_t, max_stream_id, max_stream_id_)
LOCKED_GETTER(uint32_t, peer_initial_window_size, peer_initial_window_size_)
LOCKED_GETTER(uint32_t, peer_max_frame_size, peer_max_frame_size_)
LOCKED_GETTER(uint64_t, num_streams, num_streams_)
LOCKED_GETTER(uint64_t, num_open_streams, num_open_streams_)
LOCKED_GETTER(uint64_t, local_error_resets, local_error_resets_)
LOCKED_GETTER(std::optional<uint64_t>, max_reset_burst, reset_budget_.burst())
LOCKED_GETTER(uint64_t, data_frame_budget_available, data_frame_budget_.available())
LOCKED_GETTER(uint64_t, data_frame_budget_empty_frames, data_frame_budget_.empty_frames())
LOCKED_GETTER(std::optional<uint64_t>, stream_limit, stream_limit_)
LOCKED_GETTER(std::optional<uint32_t>, peer_max_concurrent_streams, peer_max_concurrent_streams_)
LOCKED_GETTER(bool, peer_connect_protocol, peer_connect_protocol_)
LOCKED_GETTER(uint32_t, conn_send_window, send_flow_.window_size())
LOCKED_GETTER(int32_t, conn_recv_available, recv_flow_.available())
LOCKED_GETTER(bool, has_pending, !pending_.empty())
#undef LOCKED_GETTER

std::string Connection::repr() {
  size_t streams;
  uint64_t active;
  bool failed_now, goaway;
  {
    LockGuard g(state_mutex_);
    streams = streams_.size();
    active = num_streams_;
    failed_now = failed();
    goaway = peer_goaway_.has_value();
  }
  std::string out = is_server_ ? "H2Streams(role=server" : "H2Streams(role=client";
  out += ", streams=" + std::to_string(streams) + ", active=" + std::to_string(active);
  out += failed_now ? ", failed=true" : ", failed=false";
  out += goaway ? ", goaway=true)" : ", goaway=false)";
  return out;
}

// ---- test hooks
// -----------------------------------------------------------------------------------

#define STREAM_HOOK(type, name, expr)                  \
  std::optional<type> Connection::name(uint32_t sid) { \
    LockGuard g(state_mutex_);                         \
    auto it = streams_.find(sid);                      \
    if (it == streams_.end()) return std::nullopt;     \
    const StreamRecord& s = it->second;                \
    return expr;                                       \
  }

STREAM_HOOK(bool, is_recv_end_stream, s.state.is_recv_end_stream())
STREAM_HOOK(std::string, stream_state, s.state.debug_text())
STREAM_HOOK(uint32_t, stream_recv_unreleased, s.recv_unreleased)
STREAM_HOOK(bool, stream_recv_reclaimed, s.recv_reclaimed)
STREAM_HOOK(uint64_t, stream_data_budget_charged, s.data_budget_charged)
STREAM_HOOK(uint64_t, stream_send_buffered, s.send_buffered)
STREAM_HOOK(uint32_t, stream_send_window, s.send_flow.window_size())
#undef STREAM_HOOK

bool Connection::has_stream(uint32_t sid) {
  LockGuard g(state_mutex_);
  return streams_.count(sid) != 0;
}

bool Connection::in_reset_store(uint32_t sid) {
  LockGuard g(state_mutex_);
  return reset_store_.has_local(sid);
}

void Connection::set_next_stream_id(uint32_t sid) {
  LockGuard g(state_mutex_);
  next_stream_id_ = sid;
}

void Connection::set_max_stream_id(uint32_t sid) {
  LockGuard g(state_mutex_);
  max_stream_id_ = sid;
}

void Connection::set_last_processed_id(uint32_t sid) {
  LockGuard g(state_mutex_);
  last_processed_id_ = sid;
}

// ---- garbage collection and memory ----------------------------------------------------------

int Connection::visit(int (*fn)(void*, void*), void* ctx) const {
  auto one = [&](const Handle& h) { return h ? fn(h.get(), ctx) : 0; };
  if (int r = one(read_handle_)) return r;
  if (int r = one(pump_handle_)) return r;
  if (int r = one(stored_exception_)) return r;
  for (const auto& [sid, s] : streams_)
    if (int r = one(s.handle)) return r;
  return 0;
}

void Connection::clear(Released& drop) {
  LockGuard g(state_mutex_);
  drop.add(std::move(read_handle_));
  drop.add(std::move(pump_handle_));
  drop.add(std::move(stored_exception_));
  for (auto& [sid, s] : streams_)
    drop.add(std::move(s.handle));
}

size_t Connection::heap_bytes() {
  auto str = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; };
  size_t n = 0;
  {
    LockGuard g(state_mutex_);
    n += str(pending_) + (spare_ ? str(*spare_) : 0);
    n += (pending_credits_.capacity() + written_credits_.capacity()) * sizeof(Credit);
    n += stream_store_heap_bytes(streams_) + reset_store_.heap_bytes();
    n += (pending_accept_.size() + pending_accept_resets_.size()) * 32 +
         (pending_accept_.bucket_count() + pending_accept_resets_.bucket_count()) * sizeof(void*);
    n += encoder_.hpack().table().heap_bytes();
    if (peer_goaway_) n += str(peer_goaway_->debug_data);
    if (stored_message_) n += str(*stored_message_);
  }
  LockGuard d(decoder_mutex_);
  return n + decoder_.heap_bytes() + str(primed_);
}

}  // namespace velmora::http2
