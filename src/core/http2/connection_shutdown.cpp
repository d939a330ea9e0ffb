// The end of life of a connection and its streams: GOAWAY both ways, the two-phase graceful
// shutdown, failure fan-out, resets on the caller's behalf or after peer violations (with
// their flood caps), and received capacity given back.
#include <algorithm>

#include "http2/connection.hpp"

namespace velmora::http2 {
namespace {

constexpr std::string_view kResetFlood =
    "RST_STREAM flood: too many stream resets queued and not written";

}  // namespace

ResetVerdict Connection::reset_locked(uint32_t sid, StreamRecord& s, uint32_t reason, Initiator who,
                                      Released& drop) {
  ResetVerdict v;
  const uint64_t now = now_ns();
  if (!s.state.is_closed()) {
    s.state.set_reset(sid, reason, who);
    v.stop = stop_of(s.state);
    reclaim(s);
    encoder_.rst_stream(sid, reason, pending_);
    ++queued_control_frames_;
    v.flags |= account_close(s);
    reset_store_.record_local(sid, now);
  } else {
    if (s.state.cause() == StreamState::Cause::kEndStream) s.state.set_reset(sid, reason, who);
    v.stop = stop_of(s.state);
    reclaim(s);
    v.flags |= account_close(s);
    if (s.state.is_local_error()) reset_store_.record_local(sid, now);
  }
  v.handle = s.handle.share();
  maybe_remove(sid, drop);
  return v;
}

ResetVerdict Connection::reset_stream(uint32_t sid, uint32_t reason, Initiator who,
                                      Released& drop) {
  ResetVerdict v;
  LockGuard g(state_mutex_);
  const size_t before = pending_.size();
  auto it = streams_.find(sid);
  if (it != streams_.end()) v = reset_locked(sid, it->second, reason, who, drop);
  if (pending_.size() != before) v.flags |= kFlagWake;
  return v;
}

ResetVerdict Connection::reset_on_error(uint32_t sid, uint32_t reason, Released& drop) {
  ResetVerdict v;
  LockGuard g(state_mutex_);
  ++local_error_resets_;
  if (max_local_error_resets_ && local_error_resets_ > *max_local_error_resets_) {
    v.error = protocol_error(11, "too many stream resets");
    return v;
  }
  if (!reset_budget_.take(now_ns())) {
    v.error = protocol_error(11, limits::kResetRateMessage);
    return v;
  }
  if (queued_control_frames_ >= limits::kMaxQueuedControlFrames) {
    v.error = protocol_error(11, kResetFlood);
    return v;
  }
  const size_t before = pending_.size();
  auto it = streams_.find(sid);
  if (it != streams_.end()) {
    v = reset_locked(sid, it->second, reason, Initiator::kLibrary, drop);
  } else {
    reset_store_.record_local(sid, now_ns());
    encoder_.rst_stream(sid, reason, pending_);
    ++queued_control_frames_;
  }
  if (pending_.size() != before) v.flags |= kFlagWake;
  return v;
}

ResetVerdict Connection::aclose_body(uint32_t sid, Released& drop) {
  ResetVerdict v;
  LockGuard g(state_mutex_);
  const size_t before = pending_.size();
  auto it = streams_.find(sid);
  if (it != streams_.end()) {
    StreamRecord& s = it->second;
    if (s.state.is_recv_end_stream()) {
      // The body is complete: nothing to reset, only its unread capacity comes back.
      reclaim(s);
      v.flags |= close_stream(sid, s, drop);
    } else {
      v = reset_locked(sid, s, 8, Initiator::kUser, drop);
    }
  }
  if (pending_.size() != before) v.flags |= kFlagWake;
  return v;
}

void Connection::release_capacity(uint32_t sid, uint32_t n, Released& drop) {
  LockGuard g(state_mutex_);
  auto it = streams_.find(sid);
  if (it == streams_.end() || it->second.recv_reclaimed) return;
  release_stream_capacity(sid, it->second, n);
  maybe_remove(sid, drop);
}

void Connection::release_data_frame(uint32_t sid, uint64_t payload_len, Released& drop) {
  LockGuard g(state_mutex_);
  auto it = streams_.find(sid);
  if (it == streams_.end()) return;
  StreamRecord& s = it->second;
  if (payload_len >= 1 && payload_len < kDataFrameOverheadThreshold) {
    const uint64_t charge =
        std::min(kDataFrameOverheadThreshold - payload_len, s.data_budget_charged);
    s.data_budget_charged -= charge;
    data_frame_budget_.release(charge);
  }
  maybe_remove(sid, drop);
}

void Connection::accepted(uint32_t sid) {
  LockGuard g(state_mutex_);
  pending_accept_.erase(sid);
  pending_accept_resets_.erase(sid);
}

GoAwayResult Connection::recv_go_away(uint32_t last_stream_id, uint32_t error_code,
                                      std::string_view debug_data, Released& drop) {
  GoAwayResult r;
  std::string old_debug;  // freed after the lock is released
  LockGuard g(state_mutex_);
  if (peer_goaway_ && last_stream_id > peer_goaway_->last_stream_id) {
    r.error = protocol_error(1, "GOAWAY may not raise last_stream_id");
    return r;
  }
  if (peer_goaway_) old_debug = std::move(peer_goaway_->debug_data);
  peer_goaway_ = GoAwayInfo{last_stream_id, error_code, std::string(debug_data)};
  if (is_server_) return r;
  // Streams above last_stream_id were never processed by the peer: they may be retried.
  r.flags = kFlagSlotFreed;
  for (auto it = streams_.begin(); it != streams_.end();) {
    const uint32_t sid = it->first;
    StreamRecord& s = it->second;
    if (sid <= last_stream_id) {
      ++it;
      continue;
    }
    if (!s.state.is_closed()) {
      s.state.set_error(StreamError::go_away({}, error_code, Initiator::kRemote));
      r.pairs.emplace_back(s.handle.share(), Stop{error_code, true});
    }
    drop_capacity(s);
    r.flags |= account_close(s);
    if (s.state.is_closed() && s.close_accounted) {
      drop.add(std::move(s.handle));
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
  return r;
}

uint32_t Connection::maybe_goaway_reply() {
  LockGuard g(state_mutex_);
  if (goaway_replied_ || failed() || num_streams_ != 0 || !peer_goaway_ ||
      peer_goaway_->last_stream_id >= kMaxStreamId)
    return 0;
  goaway_replied_ = true;
  encoder_.go_away(is_server_ ? last_processed_id_ : 0, 0, {}, pending_);
  stored_message_ = "connection closed: GOAWAY exchanged";
  return kFlagWake | kFlagConnDone;
}

uint32_t Connection::send_goaway(uint32_t reason) {
  LockGuard g(state_mutex_);
  encoder_.go_away(is_server_ ? last_processed_id_ : 0, reason, {}, pending_);
  return kFlagWake;
}

uint32_t Connection::begin_graceful_shutdown() {
  LockGuard g(state_mutex_);
  if (graceful_) return 0;
  graceful_ = true;
  encoder_.go_away(kMaxStreamId, 0, {}, pending_);
  encoder_.ping(limits::kShutdownPingPayload, false, pending_);
  return kFlagWake;
}

StreamStops Connection::fail(Handle exception, std::string_view message, Released& drop) {
  StreamStops pairs;
  LockGuard g(state_mutex_);
  if (failed()) {
    drop.add(std::move(exception));
  } else if (exception) {
    stored_exception_ = std::move(exception);
  } else {
    stored_message_ = std::string(message);
  }
  for (auto it = streams_.begin(); it != streams_.end();) {
    StreamRecord& s = it->second;
    if (!s.state.is_closed()) {
      s.state.recv_eof();
      pairs.emplace_back(s.handle.share(), Stop{std::nullopt, true});
      drop_capacity(s);
      account_close(s);
    }
    if (s.state.is_closed() && s.close_accounted && s.fully_released()) {
      drop.add(std::move(s.handle));
      it = streams_.erase(it);
    } else {
      ++it;
    }
  }
  return pairs;
}

ConnError Connection::conn_error() {
  ConnError e;
  LockGuard g(state_mutex_);
  if (stored_exception_)
    e.exception = stored_exception_.share();
  else
    e.message = stored_message_;
  return e;
}

std::optional<GoAwayInfo> Connection::goaway_info() {
  LockGuard g(state_mutex_);
  return peer_goaway_;
}

bool Connection::is_closed() {
  LockGuard g(state_mutex_);
  return failed() || peer_goaway_.has_value();
}

bool Connection::is_failed() {
  LockGuard g(state_mutex_);
  return failed();
}

}  // namespace velmora::http2
