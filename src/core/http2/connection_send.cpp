// The send path: opening request streams, response heads, DATA and trailers framed into the
// pending buffer, and the write batches that carry it to the transport.
#include <algorithm>

#include "http/date.hpp"
#include "http2/connection.hpp"
#include "http2/send_fields.hpp"

namespace velmora::http2 {
namespace {

PendingError value_error(std::string message) {
  return PendingError(ExcClass::kValueError, ErrArg::text(std::move(message)));
}

// Spare buffers above this capacity are freed rather than kept for the next batch, so that one
// burst does not pin its memory to an idle connection.
constexpr size_t kMaxSpareCapacity = size_t(1) << 20;

}  // namespace

OpenResult Connection::open_stream(const RequestSpec& req, Handle handle, Released& drop) {
  OpenResult r;
  LockGuard g(state_mutex_);
  auto give_back = [&] {
    if (num_open_streams_) --num_open_streams_;
    drop.add(std::move(handle));
  };
  if (failed() || peer_goaway_) {
    give_back();
    return r;
  }
  if (next_stream_id_ >= limits::kStreamIdSpaceEnd) {
    give_back();
    r.error = protocol_error(7, "stream ID space exhausted (OverflowedStreamId)");
    return r;
  }
  if (!req.protocol.empty() && !peer_connect_protocol_) {
    give_back();
    r.error = value_error("the server did not announce SETTINGS_ENABLE_CONNECT_PROTOCOL");
    return r;
  }
  RequestPseudo pseudo;
  FieldFilter filter;
  const FieldRule rule = drop_connection_fields_ ? FieldRule::kDropRequest : FieldRule::kRefuse;
  if (auto err = build_request_pseudo(req.method, req.target, req.scheme, req.authority,
                                      req.headers, rule, filter, pseudo, req.protocol)) {
    give_back();
    r.error = std::move(err);
    return r;
  }
  const uint32_t sid = uint32_t(next_stream_id_);
  const bool is_head = req.is_head || req.method == "HEAD";
  auto [it, inserted] = streams_.try_emplace(sid, is_head, int32_t(peer_initial_window_size_),
                                             local_recv_initial_window_, std::move(handle));
  StreamRecord& s = it->second;
  if (!inserted) {
    // Only reachable through set_next_stream_id pointing back at a live stream.
    give_back();
    r.error = protocol_error(1, "stream id reused");
    return r;
  }
  s.state.send_open(req.end_stream);
  s.holds_slot = true;
  ++num_streams_;
  next_stream_id_ += 2;
  encode_header_block(encoder_, sid, req.end_stream, pseudo.fields, pseudo.count, req.headers,
                      &filter, {}, pending_);
  r.stream_id = sid;
  return r;
}

void Connection::post_close(uint32_t sid, StreamRecord& s, SendVerdict& v, Released& drop) {
  v.flags |= account_close(s);
  if (!is_server_) {
    maybe_remove(sid, drop);
    return;
  }
  if (!s.state.is_closed()) {
    // An extended CONNECT's stream ends when both sides ended it (RFC 8441 section 5): the
    // client's END_STREAM is still to come.
    if (s.tunnel) return;
    // The response is complete while the request body is still arriving: abandon it.
    ResetVerdict rv = reset_locked(sid, s, 0, Initiator::kUser, drop);
    v.handle = std::move(rv.handle);
    v.reader_stop = rv.stop;
    v.flags |= rv.flags;
    return;
  }
  reclaim(s);
  maybe_remove(sid, drop);
}

// The stream `sid` when it may send DATA or trailers now; otherwise null, with `v.stopped` saying
// why (the stream is gone, or its sending half is not open).
StreamRecord* Connection::sending_stream(uint32_t sid, SendVerdict& v) {
  auto it = streams_.find(sid);
  if (it == streams_.end()) {
    v.stopped = absent_stop(sid);
    return nullptr;
  }
  if (!it->second.state.is_send_streaming()) {
    v.stopped = stop_of(it->second.state);
    return nullptr;
  }
  return &it->second;
}

SendVerdict Connection::send_data(uint32_t sid, std::string_view data, uint64_t offset,
                                  bool end_stream, Released& drop) {
  SendVerdict v;
  if (offset > data.size()) {
    v.error = value_error("offset " + std::to_string(offset) + " is beyond the data's length " +
                          std::to_string(data.size()));
    return v;
  }
  LockGuard g(state_mutex_);
  StreamRecord* sending = sending_stream(sid, v);
  if (!sending) return v;
  StreamRecord& s = *sending;
  const uint64_t rest = data.size() - offset;
  if (rest == 0) {
    // An empty DATA frame uses no window.
    encoder_.data(sid, {}, end_stream, pending_);
    v.flags = kFlagWake;
    v.done = true;
    if (end_stream) {
      s.state.send_close();
      post_close(sid, s, v, drop);
    }
    return v;
  }
  const uint64_t room =
      max_send_buf_size_ > s.send_buffered ? max_send_buf_size_ - s.send_buffered : 0;
  const uint64_t capacity =
      std::min({room, uint64_t(s.send_flow.window_size()), uint64_t(send_flow_.window_size())});
  if (capacity == 0) return v;
  const uint32_t len = uint32_t(std::min({rest, capacity, uint64_t(peer_max_frame_size_)}));
  const bool eos = end_stream && offset + len == data.size();
  if (send_flow_.send_data(len) != FlowStatus::kOk ||
      s.send_flow.send_data(len) != FlowStatus::kOk) {
    v.error = flow_control_error();
    return v;
  }
  s.send_buffered += len;
  encoder_.data(sid, data.substr(size_t(offset), len), eos, pending_);
  if (!pending_credits_.empty() && pending_credits_.back().sid == sid)
    pending_credits_.back().bytes += len;
  else
    pending_credits_.push_back(Credit{sid, len});
  v.sent = len;
  v.flags = kFlagWake;
  v.done = offset + len == data.size();
  if (eos) {
    s.state.send_close();
    post_close(sid, s, v, drop);
  }
  return v;
}

SendVerdict Connection::send_trailers(uint32_t sid, const http::HeaderMap& trailers,
                                      Released& drop) {
  SendVerdict v;
  LockGuard g(state_mutex_);
  StreamRecord* sending = sending_stream(sid, v);
  if (!sending) return v;
  StreamRecord& s = *sending;
  if (has_connection_specific(trailers)) {
    v.error = malformed_headers_error();
    return v;
  }
  s.state.send_close();
  encode_header_block(encoder_, sid, true, nullptr, 0, &trailers, nullptr, {}, pending_);
  v.flags = kFlagWake;
  v.done = true;
  post_close(sid, s, v, drop);
  return v;
}

SendVerdict Connection::send_response_head(uint32_t sid, uint32_t status,
                                           const http::HeaderMap* headers, bool end_stream,
                                           Released& drop) {
  SendVerdict v;
  char digits[3];
  if (auto err = status_digits(status, digits)) {
    v.error = std::move(err);
    return v;
  }
  FieldFilter filter;
  if (headers) {
    const FieldRule rule = drop_connection_fields_ ? FieldRule::kDropResponse : FieldRule::kRefuse;
    if (auto err = check_send_fields(*headers, rule, filter)) {
      v.error = std::move(err);
      return v;
    }
  }
  LockGuard g(state_mutex_);
  auto it = streams_.find(sid);
  if (it == streams_.end()) {
    v.stopped = absent_stop(sid);
    return v;
  }
  StreamRecord& s = it->second;
  if (s.state.is_closed()) {
    v.stopped = stop_of(s.state);
    return v;
  }
  if (TransitionError e = s.state.send_open(end_stream); e != TransitionError::kNone) {
    v.error = transition_error(e);
    return v;
  }
  std::string_view date;
  if (auto_date_header_ && (!headers || headers->find("date") < 0)) date = http::cached_http_date();
  const Field pseudo[1] = {{":status", std::string_view(digits, 3)}};
  encode_header_block(encoder_, sid, end_stream, pseudo, 1, headers, &filter, date, pending_);
  v.flags = kFlagWake;
  v.done = true;
  if (end_stream) post_close(sid, s, v, drop);
  return v;
}

Batch Connection::take_pending() {
  Batch b;
  LockGuard g(state_mutex_);
  b.bytes.swap(pending_);
  if (spare_) {
    pending_ = std::move(*spare_);
    spare_.reset();
    pending_.clear();
  }
  for (const Credit& c : pending_credits_) {
    if (!written_credits_.empty() && written_credits_.back().sid == c.sid)
      written_credits_.back().bytes += c.bytes;
    else
      written_credits_.push_back(c);
  }
  pending_credits_.clear();
  queued_control_frames_ = 0;
  b.stopping = stopping_;
  return b;
}

void Connection::return_buffer(std::string&& buffer) {
  std::string freed;  // destroyed after the lock is released
  {
    LockGuard g(state_mutex_);
    if (!spare_ && buffer.capacity() <= kMaxSpareCapacity) {
      buffer.clear();
      spare_ = std::move(buffer);
    } else {
      freed = std::move(buffer);
    }
  }
}

std::vector<Handle> Connection::credit_written() {
  std::vector<Handle> out;
  std::vector<Credit> credits;
  LockGuard g(state_mutex_);
  credits.swap(written_credits_);
  IdSet seen;
  const bool small = credits.size() <= 16;
  for (size_t i = 0; i < credits.size(); ++i) {
    const Credit& c = credits[i];
    auto it = streams_.find(c.sid);
    if (it == streams_.end()) continue;
    StreamRecord& s = it->second;
    s.send_buffered -= std::min(c.bytes, s.send_buffered);
    bool first;
    if (small) {
      first = true;
      for (size_t j = 0; j < i && first; ++j)
        first = credits[j].sid != c.sid;
    } else {
      first = seen.insert(c.sid).second;
    }
    if (first && s.handle) out.push_back(s.handle.share());
  }
  // Keep the vector's storage for the next batch's credits.
  credits.clear();
  if (written_credits_.empty()) written_credits_.swap(credits);
  return out;
}

void Connection::stop_pump() {
  LockGuard g(state_mutex_);
  stopping_ = true;
}

}  // namespace velmora::http2
