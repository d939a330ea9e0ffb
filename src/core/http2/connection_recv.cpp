// The receive path: decoded HEADERS, DATA, WINDOW_UPDATE and RST_STREAM frames applied to the
// streams, with the handles to wake and the payload to deliver.
#include <algorithm>

#include "http2/connection.hpp"

namespace velmora::http2 {
namespace {

PendingError stream_error(uint32_t sid, uint32_t reason) {
  return PendingError(ExcClass::kH2Stream, ErrArg::integer(sid), ErrArg::integer(reason),
                      ErrArg::text(std::string_view("library")));
}

PendingError protocol_error_id(std::string_view message, uint32_t sid) {
  return PendingError(ExcClass::kH2Protocol, ErrArg::integer(1),
                      ErrArg::text(std::string(message) + std::to_string(sid)));
}

PendingError idle_stream_error(uint32_t sid) {
  return protocol_error_id("frame on idle stream ", sid);
}

// A message that ends with its head while declaring content it never sends (RFC 9113 section
// 8.1.1). A response to HEAD, or a 204 or 304, may declare the length of what it leaves out.
bool ends_short(const HeadersInfo& f, const ContentLength& expected) {
  return f.end_stream && f.content_length && *f.content_length != 0 && !expected.is_head() &&
         !f.no_content;
}

}  // namespace

HeadersVerdict Connection::recv_headers(const HeadersInfo& f, Handle spare, Released& drop) {
  HeadersVerdict v;
  v.stream_id = f.stream_id;
  {
    LockGuard g(state_mutex_);
    const size_t before = pending_.size();
    apply_headers(f, spare, v, drop);
    if (pending_.size() != before) v.flags |= kFlagWake;
  }
  drop.add(std::move(spare));  // unless a new stream took it
  return v;
}

void Connection::apply_headers(const HeadersInfo& f, Handle& spare, HeadersVerdict& v,
                               Released& drop) {
  const uint32_t sid = f.stream_id;
  auto it = streams_.find(sid);
  if (it != streams_.end()) {
    StreamRecord& s = it->second;
    if (s.state.is_recv_headers()) {
      if ((f.informational && f.end_stream) || (!is_server_ && f.no_status) ||
          (!f.informational && ends_short(f, s.content_length))) {
        v.error = stream_error(sid, 1);
        return;
      }
      bool opened = false;
      if (TransitionError e = s.state.recv_open(f.end_stream, f.informational, opened);
          e != TransitionError::kNone) {
        v.error = transition_error(e);
        return;
      }
      if (f.informational) return;  // IGNORED
      if (f.content_length_invalid) {
        v.error = stream_error(sid, 1);
        return;
      }
      if (f.content_length) s.content_length.set(*f.content_length);
      v.kind = kHeadersHead;
      v.handle = s.handle.share();
      v.eof = f.end_stream;
      if (f.end_stream) v.flags |= close_stream(sid, s, drop);
      return;
    }
    if (s.state.is_recv_streaming()) {
      if (!f.end_stream || f.has_pseudo) {
        v.error = stream_error(sid, 1);
        return;
      }
      if (!s.content_length.is_satisfied()) {
        v.error = stream_error(sid, 1);
        return;
      }
      s.state.recv_close();
      v.kind = kHeadersTrailers;
      v.eof = true;
      v.handle = s.handle.share();
      v.flags |= close_stream(sid, s, drop);
      return;
    }
    if (!s.state.is_closed()) {
      // The peer already ended its half (END_STREAM received): STREAM_CLOSED.
      v.error = stream_error(sid, 5);
      return;
    }
    if (s.state.is_local_error()) return;  // IGNORED: closed by this side
    // Closed cleanly, or reset by the peer: forget it, then judge the frame as for an unknown
    // stream.
    reclaim(s);
    v.flags |= account_close(s);
    maybe_remove(sid, drop);
    if (!is_server_) {
      v.error = stream_error(sid, 5);
      return;
    }
  }

  if (reset_store_.has_local(sid)) return;  // IGNORED
  if (!is_server_) {
    v.error = is_forgotten(sid) ? stream_error(sid, 5) : idle_stream_error(sid);
    return;
  }
  if (sid > max_stream_id_) return;  // after the final GOAWAY of a graceful shutdown
  if (sid % 2 == 0 || sid <= highest_peer_stream_id_) {
    v.error = protocol_error_id("invalid new stream id ", sid);
    return;
  }
  // A missing spare is the caller's mistake, refused before the id is used up: a retry with a
  // handle opens the stream.
  if (!spare) {
    v.error = PendingError(ExcClass::kValueError,
                           ErrArg::text(std::string_view(
                               "recv_headers: the server role needs a spare stream handle")));
    return;
  }
  highest_peer_stream_id_ = sid;
  if (num_streams_ >= local_max_concurrent_streams_) {
    v.error = stream_error(sid, 7);
    return;
  }
  if (f.no_method || f.content_length_invalid || ends_short(f, ContentLength())) {
    // Malformed (RFC 9113 sections 8.1.1 and 8.3.1): the id is used up, the stream is refused
    // and the application never sees it.
    v.error = stream_error(sid, 1);
    return;
  }
  auto [nit, inserted] = streams_.try_emplace(sid, false, int32_t(peer_initial_window_size_),
                                              local_recv_initial_window_, std::move(spare));
  StreamRecord& s = nit->second;
  bool opened = false;
  s.state.recv_open(f.end_stream, false, opened);
  s.tunnel = f.tunnel;
  last_processed_id_ = sid;
  ++num_streams_;
  pending_accept_.insert(sid);
  v.kind = kHeadersOpened;
  v.handle = s.handle.share();
  v.eof = f.end_stream;
  v.no_body = f.head;
  if (f.content_length) s.content_length.set(*f.content_length);
  return;
}

std::optional<PendingError> Connection::swallow_data(uint32_t sz) {
  if (recv_flow_.raw_window() < int64_t(sz)) return flow_control_error();
  recv_flow_.dec_recv_window(sz);
  release_conn_capacity(sz);
  return std::nullopt;
}

void Connection::unknown_data(uint32_t sid, uint32_t sz, DataVerdict& v) {
  if (reset_store_.has_local(sid) || (is_server_ && sid > max_stream_id_)) {
    v.error = swallow_data(sz);
    return;
  }
  if (is_forgotten(sid)) {
    v.error = swallow_data(sz);
    if (!v.error) v.error = stream_error(sid, 5);
    return;
  }
  v.error = idle_stream_error(sid);
}

DataVerdict Connection::recv_data(uint32_t sid, bool end_stream, uint64_t n, uint32_t sz,
                                  Released& drop) {
  DataVerdict v;
  if (n > sz) {
    v.error = PendingError(
        ExcClass::kValueError,
        ErrArg::text(
            std::string_view("recv_data: the payload is longer than the flow-controlled length")));
    return v;
  }
  LockGuard g(state_mutex_);
  const size_t before = pending_.size();
  apply_data(sid, end_stream, n, sz, v, drop);
  if (pending_.size() != before) v.flags |= kFlagWake;
  return v;
}

void Connection::apply_data(uint32_t sid, bool end_stream, uint64_t n, uint32_t sz, DataVerdict& v,
                            Released& drop) {
  auto it = streams_.find(sid);
  if (it == streams_.end()) {
    unknown_data(sid, sz, v);
    return;
  }
  StreamRecord& s = it->second;
  if (s.state.is_closed()) {
    if (s.state.is_local_error()) {
      v.error = swallow_data(sz);
      return;
    }
    reclaim(s);
    v.flags |= account_close(s);
    maybe_remove(sid, drop);
    unknown_data(sid, sz, v);
    return;
  }
  if (s.state.is_recv_end_stream()) {
    // Half-closed (remote): the peer already ended its half. RFC 9113 section 5.1: a stream
    // error STREAM_CLOSED; the frame still counts against the connection window.
    v.error = swallow_data(sz);
    if (!v.error) v.error = stream_error(sid, 5);
    return;
  }
  if (!s.state.is_recv_streaming()) {
    v.error = protocol_error_id("unexpected DATA on stream ", sid);
    return;
  }
  if (recv_flow_.raw_window() < int64_t(sz)) {
    v.error = flow_control_error();
    return;
  }
  recv_flow_.dec_recv_window(sz);
  bool violation = false;
  uint32_t reason = 1;
  if (s.recv_flow.raw_window() < int64_t(sz)) {
    violation = true;
    reason = 3;
  } else if (!s.content_length.dec(n) || (end_stream && !s.content_length.is_satisfied())) {
    violation = true;
  }
  if (violation) {
    // The application will never see these bytes: the connection gets its window back.
    release_conn_capacity(sz);
    v.error = stream_error(sid, reason);
    return;
  }
  s.recv_flow.dec_recv_window(sz);
  s.recv_unreleased += sz;
  if (sz > n) release_stream_capacity(sid, s, uint32_t(sz - n));  // padding
  v.handle = s.handle.share();
  v.deliver = n > 0;
  v.eof = end_stream;
  if (end_stream) {
    s.state.recv_close();
    v.flags |= close_stream(sid, s, drop);
    return;
  }
  uint64_t charge = 0;
  if (!data_frame_budget_.record(n, charge)) {
    v.error = data_frame_flood_error();
    return;
  }
  s.data_budget_charged += charge;
  v.budgeted = true;
}

HandlesResult Connection::recv_window_update(uint32_t sid, uint32_t inc) {
  HandlesResult r;
  LockGuard g(state_mutex_);
  if (sid == 0) {
    FlowControl next = send_flow_;
    if (next.inc_window(inc) != FlowStatus::kOk || next.assign_capacity(inc) != FlowStatus::kOk) {
      r.error = flow_control_error();
      return r;
    }
    send_flow_ = next;
    r.handles.reserve(streams_.size());
    for (auto& [id, s] : streams_)
      if (!s.close_accounted && s.handle) r.handles.push_back(s.handle.share());
    return r;
  }
  auto it = streams_.find(sid);
  if (it == streams_.end()) {
    if (!reset_store_.has_local(sid) && !is_forgotten(sid)) r.error = idle_stream_error(sid);
    return r;
  }
  StreamRecord& s = it->second;
  FlowControl next = s.send_flow;
  if (next.inc_window(inc) != FlowStatus::kOk || next.assign_capacity(inc) != FlowStatus::kOk) {
    r.error = stream_error(sid, 3);
    return r;
  }
  s.send_flow = next;
  if (s.handle) r.handles.push_back(s.handle.share());
  return r;
}

RecvResetResult Connection::recv_reset(uint32_t sid, uint32_t reason, Released& drop) {
  RecvResetResult r;
  if (sid == 0) {
    r.error = protocol_error(1, "RST_STREAM on stream 0");
    return r;
  }
  LockGuard g(state_mutex_);
  const size_t before = pending_.size();
  auto it = streams_.find(sid);
  if (it == streams_.end()) {
    if (!reset_store_.has_local(sid) && !is_forgotten(sid)) r.error = idle_stream_error(sid);
    return r;
  }
  StreamRecord& s = it->second;
  if (is_server_ && pending_accept_.count(sid) && !pending_accept_resets_.count(sid)) {
    if (pending_accept_resets_.size() >= max_pending_accept_resets_) {
      r.error = protocol_error(11, "too_many_resets");
      return r;
    }
    pending_accept_resets_.insert(sid);
  }
  if (is_server_ && !s.state.is_closed() && !s.state.is_send_streaming() &&
      !s.state.is_send_closed() && !reset_budget_.take(now_ns())) {
    // A request cancelled before any response: its work was done for nothing (Rapid Reset).
    r.error = protocol_error(11, limits::kResetRateMessage);
    return r;
  }
  if (s.close_accounted) return r;
  r.live = true;
  r.notify_body = !s.state.is_recv_end_stream();
  if (!s.state.is_closed()) s.state.recv_reset(sid, reason, false);
  r.stop = stop_of(s.state);
  r.handle = s.handle.share();
  reclaim(s);
  r.flags |= account_close(s);
  reset_store_.record_remote(sid, reason, now_ns());
  maybe_remove(sid, drop);
  if (pending_.size() != before) r.flags |= kFlagWake;
  return r;
}

}  // namespace velmora::http2
