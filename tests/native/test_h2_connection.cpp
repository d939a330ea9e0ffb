// Core tests of the HTTP/2 connection: two connections wired back to back through their
// pending buffers, plus hand-made frames for what a well-behaved peer never sends.
#include <chrono>
#include <cstring>
#include <string>

#include "check.hpp"
#include "h2_harness.hpp"
#include "http2/connection.hpp"
#include "http2/frame_encoder.hpp"

using namespace velmora;
using namespace velmora::http2;
using namespace h2test;

namespace {

// A client and a server after the SETTINGS exchange, with the steps the tests repeat.
struct Pair : Linked {
  using Linked::Linked;
  uint32_t open(bool end_stream = true, int handle_id = 1, std::string_view method = "GET") {
    RequestSpec r;
    r.method = method;
    r.target = "/";
    r.authority = "a.example";
    r.end_stream = end_stream;
    Released drop;
    client.try_claim_slot();
    OpenResult o = client.open_stream(r, make_obj(handle_id), drop);
    return o.stream_id.value_or(0);
  }
};

std::string u32be(uint32_t v) {
  std::string s(4, '\0');
  write_u32(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

std::string frame_bytes(FrameType t, uint8_t flags, uint32_t sid, std::string_view payload) {
  std::string s(kFrameHeaderSize, '\0');
  write_frame_header(reinterpret_cast<uint8_t*>(s.data()), uint32_t(payload.size()), t, flags, sid);
  s.append(payload);
  return s;
}

// Feeds raw bytes to `c` and applies the frames.
FrameDecoder::Status feed(Connection& c, const std::string& bytes, Observed& o,
                          PendingError* err = nullptr) {
  Collector sink;
  PendingError e;
  auto st = c.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), sink, e);
  apply(c, sink.frames, o, false);
  if (err) *err = std::move(e);
  return st;
}

std::string drain(Connection& c) {
  Batch b = c.take_pending();
  c.credit_written();
  return b.bytes;
}

bool is_error(const std::optional<PendingError>& e, ExcClass cls, int64_t code) {
  return e && e->cls == cls && e->args[0].kind == ErrArg::Kind::kInt && e->args[0].number == code;
}

std::string text_of(const PendingError& e, int i) {
  return std::string(e.args[i].str());
}

// A server that has seen the preface and one empty SETTINGS.
struct Server {
  Connection c;
  Observed o;
  explicit Server(ConnectionConfig cfg = server_config()) : c(cfg) {
    c.begin();
    feed(c, std::string(kPreface) + frame_bytes(FrameType::kSettings, 0, 0, ""), o);
    drain(c);
  }
  // A request HEADERS frame for `sid` built by a real encoder.
  std::string request(uint32_t sid, bool eos, std::string_view extra_name = {},
                      std::string_view extra_value = {}) {
    std::string out;
    enc.begin_headers(out);
    enc.add_field(":method", "POST", out);
    enc.add_field(":scheme", "https", out);
    enc.add_field(":authority", "a.example", out);
    enc.add_field(":path", "/", out);
    if (!extra_name.empty()) enc.add_field(extra_name, extra_value, out);
    enc.end_headers(sid, eos, out);
    return out;
  }
  FrameEncoder enc;
};

}  // namespace

// ---- handshake and settings -------------------------------------------------------------------

TEST_CASE(begin_queues_preface_settings_and_window_update) {
  {
    Connection c(client_config());
    c.begin();
    std::string b = drain(c);
    // Preface, then SETTINGS with initial_window_size, max_frame_size, max_header_list_size.
    CHECK_EQ(b.size(), size_t(24 + 9 + 18));
    CHECK(b.compare(0, 24, kPreface) == 0);
    CHECK_EQ(uint8_t(b[24 + 3]), uint8_t(FrameType::kSettings));
  }
  {
    ConnectionConfig cfg = client_config();
    cfg.connection_window = 1048576;
    Connection c(cfg);
    c.begin();
    std::string b = drain(c);
    CHECK_EQ(b.size(), size_t(24 + 27 + 13));
    std::string wu = b.substr(24 + 27);
    CHECK_EQ(uint8_t(wu[3]), uint8_t(FrameType::kWindowUpdate));
    CHECK_EQ(read_u32(reinterpret_cast<const uint8_t*>(wu.data()) + 9), 983041u);
    CHECK_EQ(c.conn_recv_available(), 1048576);
  }
  {
    Connection s(server_config());
    s.begin();
    std::string b = drain(s);
    CHECK_EQ(b.size(), size_t(27));  // no preface
  }
}

TEST_CASE(constructor_validation) {
  ConnectionConfig c = client_config();
  c.max_frame_size = 16383;
  CHECK(Connection::validate(c));
  CHECK_EQ(text_of(*Connection::validate(c), 0),
           std::string("max_frame_size must be in [16384, 16777215], got 16383"));
  c.max_frame_size = 16777216;
  CHECK(Connection::validate(c));
  c.max_frame_size = 16777215;
  CHECK(!Connection::validate(c));
  c.initial_window_size = 2147483648u;
  CHECK_EQ(text_of(*Connection::validate(c), 0),
           std::string("window sizes must be <= 2147483647 (RFC 9113 6.9.1)"));
}

TEST_CASE(settings_exchange_initial_flag_and_ack) {
  Pair p;
  CHECK(p.oc.settings_initial == std::vector<uint32_t>{1});
  CHECK(p.os.settings_initial == std::vector<uint32_t>{1});
  CHECK(p.oc.conn_errors.empty() && p.os.conn_errors.empty());
  Settings s;
  SettingsResult r = p.client.recv_settings(false, s);
  CHECK(!r.initial);
  CHECK_EQ(r.flags, kFlagWake);
  // Both ACKs were consumed: a further ACK is unexpected.
  SettingsResult bad = p.client.recv_settings(true, s);
  CHECK(is_error(bad.error, ExcClass::kH2Protocol, 1));
  CHECK_EQ(text_of(*bad.error, 1), std::string("received unexpected settings ack"));
  CHECK_EQ(p.client.repr(),
           std::string("H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"));
}

TEST_CASE(initial_window_size_change_moves_open_streams) {
  Pair p;
  uint32_t sid = p.open(false, 7);
  Settings s;
  s.set(kInitialWindowSize, 131072);
  SettingsResult r = p.client.recv_settings(false, s);
  CHECK_EQ(r.wake_windows.size(), size_t(1));
  CHECK_EQ(id_of(r.wake_windows[0]), 7);
  CHECK_EQ(p.client.stream_send_window(sid).value_or(0), 131072u);
  s.set(kInitialWindowSize, 1000);
  r = p.client.recv_settings(false, s);
  CHECK(r.wake_windows.empty());
  CHECK_EQ(p.client.stream_send_window(sid).value_or(1), 1000u);
  // Overflow past 2^31-1: FLOW_CONTROL_ERROR.
  Released drop;
  HandlesResult w = p.client.recv_window_update(sid, 2147483647u - 1000);
  CHECK(!w.error);
  s.set(kInitialWindowSize, 2000);
  r = p.client.recv_settings(false, s);
  CHECK(r.error && r.error->cls == ExcClass::kH2FlowControl);
}

TEST_CASE(slots_follow_max_concurrent_streams) {
  Connection c(client_config());
  Settings s;
  s.set(kMaxConcurrentStreams, 1);
  SettingsResult r = c.recv_settings(false, s);
  CHECK(r.flags & kFlagSlotFreed);
  CHECK_EQ(c.stream_limit().value_or(9), 1u);
  CHECK(c.can_open());
  CHECK(c.try_claim_slot());
  CHECK(!c.try_claim_slot());
  CHECK(!c.can_open());
  CHECK_EQ(c.num_open_streams(), 1u);
  c.release_slot_count();
  CHECK(c.try_claim_slot());
  c.apply_stream_limit(std::nullopt);
  CHECK(c.try_claim_slot());
  CHECK_EQ(c.num_open_streams(), 2u);
}

TEST_CASE(ping_ack_and_shutdown_ping) {
  Connection c(client_config());
  FlagsResult r = c.recv_ping(false, "12345678");
  CHECK_EQ(r.flags, kFlagWake);
  std::string b = drain(c);
  CHECK_EQ(b, frame_bytes(FrameType::kPing, flags::kAck, 0, "12345678"));
  CHECK_EQ(c.recv_ping(true, "SHUTDOWN").flags, 0u);  // a client: not a shutdown
  CHECK(!c.has_pending());
  Connection s(server_config());
  CHECK_EQ(s.recv_ping(true, "SHUTDOWN").flags, 0u);  // shutdown not begun
  CHECK(!s.has_pending());
}

TEST_CASE(task_handles_are_taken_once) {
  int before = live_objects();
  {
    Connection c(client_config());
    Released drop;
    c.store_task_handles(make_obj(1), make_obj(2), drop);
    c.store_task_handles(make_obj(3), make_obj(4), drop);
    CHECK_EQ(drop.size(), size_t(2));
    Handle r = c.take_read_handle();
    CHECK_EQ(id_of(r), 3);
    CHECK(!c.take_read_handle());
    CHECK_EQ(id_of(c.take_pump_handle()), 4);
  }
  CHECK_EQ(live_objects(), before);
}

// ---- send path ------------------------------------------------------------------------------

TEST_CASE(request_response_exchange) {
  int before = live_objects();
  {
    Pair p;
    RequestSpec r;
    r.method = "GET";
    r.target = "/index.html";
    r.authority = "a.example";
    r.end_stream = true;
    http::HeaderMap h;
    h.add("user-agent", "t");
    h.add("accept", "*/*");
    r.headers = &h;
    Released drop;
    CHECK(p.client.try_claim_slot());
    OpenResult o = p.client.open_stream(r, make_obj(11), drop);
    CHECK_EQ(o.stream_id.value_or(0), 1u);
    CHECK_EQ(p.client.num_streams(), 1u);
    settle(p.client, p.server, p.oc, p.os);
    CHECK(p.os.opened == std::vector<uint32_t>{1});
    CHECK_EQ(p.os.heads[1].size(), size_t(2));
    CHECK(p.os.eof[1]);

    http::HeaderMap rh;
    rh.add("content-type", "text/plain");
    SendVerdict v = p.server.send_response_head(1, 200, &rh, false, drop);
    CHECK(v.done && !v.stopped && v.flags == kFlagWake);
    std::string body(40000, 'x');
    for (size_t i = 0; i < body.size(); ++i)
      body[i] = char('a' + i % 26);
    uint64_t off = 0;
    std::vector<uint64_t> sent;
    for (int i = 0; i < 10 && off < body.size(); ++i) {
      SendVerdict d = p.server.send_data(1, body, off, true, drop);
      CHECK(!d.error && !d.stopped);
      sent.push_back(d.sent);
      off += d.sent;
      if (d.done) {
        CHECK_EQ(off, uint64_t(body.size()));
        CHECK(d.flags & kFlagWake);
      }
    }
    CHECK((sent == std::vector<uint64_t>{16384, 16384, 7232}));
    CHECK_EQ(p.server.num_streams(), 0u);
    CHECK(!p.server.has_stream(1));
    settle(p.client, p.server, p.oc, p.os);
    CHECK_EQ(p.oc.body[1], body);
    CHECK(p.oc.eof[1]);
    CHECK_EQ(p.oc.heads[1].size(), size_t(2));  // content-type and date
    CHECK_EQ(p.client.num_streams(), 0u);
    CHECK_EQ(p.client.num_open_streams(), 0u);
    CHECK(!p.client.has_stream(1));
    CHECK(p.oc.conn_errors.empty() && p.os.conn_errors.empty());
  }
  CHECK_EQ(live_objects(), before);
}

TEST_CASE(send_buffer_room_and_credits) {
  ConnectionConfig sc = server_config();
  sc.max_send_buf_size = 100;
  Pair p(client_config(), sc);
  p.open(true);
  p.open(true, 2);
  settle(p.client, p.server, p.oc, p.os);
  Released drop;
  p.server.send_response_head(1, 200, nullptr, false, drop);
  p.server.send_response_head(3, 200, nullptr, false, drop);
  std::string data(200, 'd');
  SendVerdict v = p.server.send_data(1, data, 0, false, drop);
  CHECK_EQ(v.sent, 100u);
  CHECK(!v.done);
  v = p.server.send_data(1, data, 100, false, drop);
  CHECK_EQ(v.sent, 0u);
  CHECK(!v.done && !v.stopped && v.flags == 0);
  CHECK_EQ(p.server.stream_send_buffered(1).value_or(0), 100u);
  p.server.send_data(3, data, 0, false, drop);
  Batch b = p.server.take_pending();
  std::vector<Handle> hs = p.server.credit_written();
  CHECK_EQ(hs.size(), size_t(2));
  CHECK_EQ(p.server.stream_send_buffered(1).value_or(9), 0u);
  v = p.server.send_data(1, data, 100, true, drop);
  CHECK_EQ(v.sent, 100u);
  CHECK(v.done);
  // Empty DATA with END_STREAM needs no window.
  Pair q;
  q.open(true);
  settle(q.client, q.server, q.oc, q.os);
  q.server.send_response_head(1, 200, nullptr, false, drop);
  Settings s;
  s.set(kInitialWindowSize, 0);
  q.server.recv_settings(false, s);
  CHECK_EQ(q.server.send_data(1, "abc", 0, false, drop).sent, 0u);
  SendVerdict e = q.server.send_data(1, "", 0, true, drop);
  CHECK(e.done && e.sent == 0);
  CHECK(!q.server.has_stream(1));
}

TEST_CASE(credit_written_returns_each_stream_once_in_order) {
  Pair p;
  p.open(false, 21);
  p.open(false, 23);
  drain(p.client);
  Released drop;
  std::string d(10, 'x');
  p.client.send_data(1, d, 0, false, drop);
  p.client.send_data(1, d, 0, false, drop);
  p.client.send_data(3, d, 0, false, drop);
  p.client.send_data(1, d, 0, false, drop);
  Batch b = p.client.take_pending();
  CHECK_EQ(b.bytes.size(), size_t(4 * 19));
  std::vector<Handle> hs = p.client.credit_written();
  CHECK_EQ(hs.size(), size_t(2));
  CHECK(id_of(hs[0]) == 21 && id_of(hs[1]) == 23);
  CHECK(p.client.credit_written().empty());
  p.client.return_buffer(std::move(b.bytes));
  p.client.stop_pump();
  Batch e = p.client.take_pending();
  CHECK(e.bytes.empty() && e.stopping);
}

TEST_CASE(stream_id_exhaustion_and_slot_return) {
  Pair p;
  p.client.set_next_stream_id(2147483647u);
  CHECK_EQ(p.open(false), 2147483647u);
  RequestSpec r;
  r.method = "GET";
  r.target = "/";
  r.authority = "a";
  Released drop;
  p.client.try_claim_slot();
  CHECK_EQ(p.client.num_open_streams(), 2u);
  OpenResult o = p.client.open_stream(r, make_obj(1), drop);
  CHECK(is_error(o.error, ExcClass::kH2Protocol, 7));
  CHECK_EQ(text_of(*o.error, 1), std::string("stream ID space exhausted (OverflowedStreamId)"));
  CHECK_EQ(p.client.num_open_streams(), 1u);
}

TEST_CASE(open_stream_refuses_injected_fields) {
  Pair p;
  drain(p.client);
  RequestSpec r;
  r.method = "GET";
  r.target = "/";
  r.authority = "a.example\r\nx-injected: 1";
  Released drop;
  p.client.try_claim_slot();
  OpenResult o = p.client.open_stream(r, make_obj(1), drop);
  CHECK(o.error && o.error->cls == ExcClass::kValueError);
  CHECK(!p.client.has_pending());
  CHECK_EQ(p.client.num_open_streams(), 0u);
  CHECK_EQ(p.client.num_streams(), 0u);
  r.authority = "a.example";
  r.scheme = std::string_view("https\0", 6);
  p.client.try_claim_slot();
  CHECK(p.client.open_stream(r, make_obj(1), drop).error);
  r.scheme = {};
  r.method = "CONNECT";
  r.target = "b.example:443\nx: y";
  p.client.try_claim_slot();
  CHECK(p.client.open_stream(r, make_obj(1), drop).error);
  http::HeaderMap h;
  h.add("connection", "close");
  r.method = "GET";
  r.target = "/";
  r.headers = &h;
  p.client.try_claim_slot();
  OpenResult m = p.client.open_stream(r, make_obj(1), drop);
  CHECK(m.error && m.error->cls == ExcClass::kH2User);
  CHECK(!p.client.has_pending());
}

TEST_CASE(client_num_streams_counts_opened_streams_and_never_wraps) {
  Pair p;
  uint32_t sid = p.open(true);
  CHECK_EQ(p.client.num_streams(), 1u);
  Released drop;
  ResetVerdict v = p.client.reset_stream(sid, 8, Initiator::kUser, drop);
  CHECK_EQ(p.client.num_streams(), 0u);
  CHECK(v.flags & kFlagSlotFreed);
  p.client.reset_stream(sid, 8, Initiator::kUser, drop);
  CHECK_EQ(p.client.num_streams(), 0u);
  CHECK_EQ(p.client.num_open_streams(), 0u);
}

// ---- receive path ---------------------------------------------------------------------------

TEST_CASE(server_new_stream_rules) {
  Server s;
  feed(s.c, s.request(1, false), s.o);
  CHECK(s.o.opened == std::vector<uint32_t>{1});
  Released drop;
  HeadersInfo again{1, false, false, std::nullopt, false};
  HeadersVerdict v = s.c.recv_headers(again, make_obj(5), drop);
  CHECK(is_error(v.error, ExcClass::kH2Stream, 1) && v.error->args[1].number == 1);
  HeadersInfo even{2, false, false, std::nullopt, false};
  v = s.c.recv_headers(even, make_obj(5), drop);
  CHECK(is_error(v.error, ExcClass::kH2Protocol, 1));
  CHECK_EQ(text_of(*v.error, 1), std::string("invalid new stream id 2"));
  feed(s.c, s.request(5, true), s.o);
  HeadersInfo back{3, false, false, std::nullopt, false};
  v = s.c.recv_headers(back, make_obj(5), drop);
  CHECK_EQ(text_of(*v.error, 1), std::string("invalid new stream id 3"));
  HeadersInfo no_spare{7, false, false, std::nullopt, false};
  v = s.c.recv_headers(no_spare, Handle(), drop);
  CHECK(v.error && v.error->cls == ExcClass::kValueError);
  CHECK_EQ(s.c.last_processed_id(), 5u);
}

TEST_CASE(blocks_missing_or_misplacing_pseudo_fields_are_malformed) {
  // A request block without :method cannot open a stream; the id is used up.
  Server s;
  std::string out;
  s.enc.begin_headers(out);
  s.enc.add_field("x-only", "1", out);
  s.enc.end_headers(1, false, out);
  feed(s.c, out, s.o);
  CHECK(s.o.opened.empty());
  CHECK((s.o.stream_errors == std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}}));
  CHECK(!s.c.has_stream(1) && s.c.in_reset_store(1));
  CHECK_EQ(s.c.num_streams(), 0u);
  // Trailers carrying a pseudo-header field.
  feed(s.c, s.request(3, false), s.o);
  CHECK(s.o.opened == std::vector<uint32_t>{3});
  std::string t;
  s.enc.begin_headers(t);
  s.enc.add_field(":path", "/x", t);
  s.enc.end_headers(3, true, t);
  feed(s.c, t, s.o);
  CHECK((s.o.stream_errors.back() == std::pair<uint32_t, uint32_t>{3, 1}));
  CHECK(!s.o.eof[3]);
  // A response head without :status.
  Pair p;
  uint32_t sid = p.open(true);
  Released drop;
  HeadersInfo h{sid, false, false, std::nullopt, false};
  h.no_status = true;
  HeadersVerdict v = p.client.recv_headers(h, Handle(), drop);
  CHECK(is_error(v.error, ExcClass::kH2Stream, sid) && v.error->args[1].number == 1);
  CHECK(p.client.stream_state(sid).value_or("").starts_with("HalfClosedLocal"));
}

TEST_CASE(server_refuses_streams_over_max_concurrent) {
  ConnectionConfig cfg = server_config();
  cfg.max_concurrent_streams = 1;
  Server s(cfg);
  Released drop;
  CHECK_EQ(s.c.recv_headers({1, false, false, std::nullopt, false}, make_obj(1), drop).kind,
           uint8_t(kHeadersOpened));
  HeadersVerdict v = s.c.recv_headers({3, false, false, std::nullopt, false}, make_obj(2), drop);
  CHECK(is_error(v.error, ExcClass::kH2Stream, 3) && v.error->args[1].number == 7);
}

TEST_CASE(client_informational_then_final_head) {
  Pair p;
  uint32_t sid = p.open(true, 3);
  Released drop;
  HeadersVerdict v = p.client.recv_headers({sid, false, true, std::nullopt, false}, Handle(), drop);
  CHECK_EQ(v.kind, uint8_t(kHeadersIgnored));
  v = p.client.recv_headers({sid, false, false, 5, false}, Handle(), drop);
  CHECK_EQ(v.kind, uint8_t(kHeadersHead));
  CHECK_EQ(id_of(v.handle), 3);
  // Content-length 5, 6 bytes: stream error, connection window unchanged.
  int32_t avail = p.client.conn_recv_available();
  DataVerdict d = p.client.recv_data(sid, false, 6, 6, drop);
  CHECK(is_error(d.error, ExcClass::kH2Stream, sid) && d.error->args[1].number == 1);
  CHECK_EQ(p.client.conn_recv_available(), avail);
}

TEST_CASE(padding_is_released_at_once) {
  Pair p;
  uint32_t sid = p.open(true);
  Released drop;
  p.client.recv_headers({sid, false, false, std::nullopt, false}, Handle(), drop);
  int32_t avail = p.client.conn_recv_available();
  DataVerdict d = p.client.recv_data(sid, false, 10, 16, drop);
  CHECK(!d.error && d.deliver && d.budgeted);
  CHECK_EQ(p.client.stream_recv_unreleased(sid).value_or(0), 10u);
  CHECK_EQ(p.client.conn_recv_available(), avail - 10);
}

TEST_CASE(empty_data_frame_flood) {
  Pair p;
  uint32_t sid = p.open(true);
  Released drop;
  p.client.recv_headers({sid, false, false, std::nullopt, false}, Handle(), drop);
  for (int i = 0; i < 100; ++i)
    CHECK(!p.client.recv_data(sid, false, 0, 0, drop).error);
  DataVerdict d = p.client.recv_data(sid, false, 0, 0, drop);
  CHECK(is_error(d.error, ExcClass::kH2Protocol, 11));
  CHECK_EQ(text_of(*d.error, 1), std::string("too_many_data_frames"));
}

TEST_CASE(window_update_overflow_and_idle_streams) {
  Pair p;
  HandlesResult r = p.client.recv_window_update(0, 2147483647u);
  CHECK(r.error && r.error->cls == ExcClass::kH2FlowControl);
  CHECK_EQ(p.client.conn_send_window(), 65535u);
  r = p.client.recv_window_update(9, 1);
  CHECK(is_error(r.error, ExcClass::kH2Protocol, 1));
  CHECK_EQ(text_of(*r.error, 1), std::string("frame on idle stream 9"));
  Released drop;
  RecvResetResult rr = p.client.recv_reset(0, 1, drop);
  CHECK_EQ(text_of(*rr.error, 1), std::string("RST_STREAM on stream 0"));
}

TEST_CASE(reset_after_end_stream_received_does_not_notify_body) {
  Pair p;
  uint32_t sid = p.open(false, 4);
  Released drop;
  p.client.recv_headers({sid, true, false, std::nullopt, false}, Handle(), drop);
  CHECK(p.client.is_recv_end_stream(sid).value_or(false));
  RecvResetResult r = p.client.recv_reset(sid, 8, drop);
  CHECK(r.live && !r.notify_body);
  CHECK(r.stop == (Stop{8, false}));
  CHECK_EQ(id_of(r.handle), 4);
}

// ---- the peer's reset reason reaches late senders -----------------------------------------------

TEST_CASE(send_after_peer_reset_reports_the_reason) {
  Server s;
  feed(s.c, s.request(1, false), s.o);
  Released drop;
  RecvResetResult r = s.c.recv_reset(1, 8, drop);
  CHECK(r.live && r.notify_body);
  CHECK(!s.c.has_stream(1));
  drain(s.c);
  SendVerdict v = s.c.send_response_head(1, 200, nullptr, false, drop);
  CHECK(v.stopped && *v.stopped == (Stop{8, false}));
  CHECK(!s.c.has_pending());
  v = s.c.send_data(1, "abc", 0, false, drop);
  CHECK(v.stopped && *v.stopped == (Stop{8, false}));
  CHECK(!s.c.has_pending());
  // A stream that never existed: a bare stop.
  v = s.c.send_data(99, "abc", 0, false, drop);
  CHECK(v.stopped && *v.stopped == Stop{});
  // Frames the peer sends on its reset stream are still judged as before.
  HeadersVerdict h = s.c.recv_headers({1, false, false, std::nullopt, false}, make_obj(1), drop);
  CHECK(is_error(h.error, ExcClass::kH2Protocol, 1));
}

// ---- test hooks agree on unknown streams
// ---------------------------------------------------------

TEST_CASE(hooks_report_nothing_for_unknown_streams) {
  Connection c(client_config());
  CHECK(!c.has_stream(1));
  CHECK(!c.is_recv_end_stream(1));
  CHECK(!c.stream_state(1));
  CHECK(!c.stream_recv_unreleased(1));
  CHECK(!c.stream_recv_reclaimed(1));
  CHECK(!c.stream_data_budget_charged(1));
  CHECK(!c.stream_send_buffered(1));
  CHECK(!c.stream_send_window(1));
  CHECK(!c.in_reset_store(1));
}

// ---- shutdown, failure, resets ------------------------------------------------------------------

TEST_CASE(client_goaway_aborts_unprocessed_streams) {
  Pair p;
  p.open(false, 1);
  p.open(false, 3);
  p.open(false, 5);
  Released drop;
  GoAwayResult g = p.client.recv_go_away(3, 2, "bye", drop);
  CHECK(!g.error);
  CHECK_EQ(g.pairs.size(), size_t(1));
  CHECK_EQ(id_of(g.pairs[0].first), 5);
  CHECK(g.pairs[0].second == (Stop{2, true}));
  CHECK(g.flags & kFlagSlotFreed);
  CHECK(p.client.has_stream(1) && p.client.has_stream(3) && !p.client.has_stream(5));
  CHECK(p.client.is_closed() && !p.client.is_failed());
  RequestSpec r;
  r.method = "GET";
  r.target = "/";
  r.authority = "a";
  p.client.try_claim_slot();
  CHECK(!p.client.open_stream(r, make_obj(1), drop).stream_id);
  GoAwayResult again = p.client.recv_go_away(5, 0, "", drop);
  CHECK_EQ(text_of(*again.error, 1), std::string("GOAWAY may not raise last_stream_id"));
  CHECK_EQ(p.client.goaway_info()->debug_data, std::string("bye"));
}

TEST_CASE(graceful_shutdown_two_phases) {
  Server s;
  feed(s.c, s.request(1, true), s.o);
  drain(s.c);
  CHECK_EQ(s.c.begin_graceful_shutdown(), kFlagWake);
  CHECK_EQ(s.c.begin_graceful_shutdown(), 0u);
  std::string b = drain(s.c);
  CHECK_EQ(b, frame_bytes(FrameType::kGoAway, 0, 0, u32be(2147483647u) + u32be(0)) +
                  frame_bytes(FrameType::kPing, 0, 0, "SHUTDOWN"));
  FlagsResult r = s.c.recv_ping(true, "SHUTDOWN");
  CHECK_EQ(r.flags, kFlagWake);  // stream 1 is still live
  CHECK(s.c.shutdown_final());
  CHECK_EQ(s.c.max_stream_id(), 1u);
  CHECK_EQ(drain(s.c), frame_bytes(FrameType::kGoAway, 0, 0, u32be(1) + u32be(0)));
  Released drop;
  HeadersVerdict h = s.c.recv_headers({3, false, false, std::nullopt, false}, make_obj(3), drop);
  CHECK(!h.error && h.kind == kHeadersIgnored);
  CHECK_EQ(s.c.recv_ping(true, "SHUTDOWN").flags, 0u);
}

TEST_CASE(local_error_reset_cap) {
  ConnectionConfig cfg = server_config();
  cfg.max_local_error_reset_streams = 2;
  Server s(cfg);
  Released drop;
  CHECK(!s.c.reset_on_error(1, 1, drop).error);
  CHECK(!s.c.reset_on_error(3, 1, drop).error);
  ResetVerdict v = s.c.reset_on_error(5, 1, drop);
  CHECK(is_error(v.error, ExcClass::kH2Protocol, 11));
  CHECK_EQ(text_of(*v.error, 1), std::string("too many stream resets"));
}

TEST_CASE(release_capacity_after_peer_reset_changes_nothing) {
  Pair p;
  uint32_t sid = p.open(true);
  Released drop;
  p.client.recv_headers({sid, false, false, std::nullopt, false}, Handle(), drop);
  p.client.recv_data(sid, false, 1000, 1000, drop);
  int32_t avail = p.client.conn_recv_available();
  p.client.recv_reset(sid, 8, drop);
  CHECK_EQ(p.client.conn_recv_available(), avail + 1000);  // reclaimed at the reset
  p.client.release_capacity(sid, 1000, drop);
  CHECK_EQ(p.client.conn_recv_available(), avail + 1000);
}

TEST_CASE(aclose_body_complete_and_unfinished) {
  Pair p;
  uint32_t a = p.open(true);
  uint32_t b = p.open(true, 2);
  drain(p.client);
  Released drop;
  p.client.recv_headers({a, false, false, std::nullopt, false}, Handle(), drop);
  p.client.recv_data(a, true, 5, 5, drop);
  ResetVerdict v = p.client.aclose_body(a, drop);
  CHECK(!v.handle && !v.stop);
  CHECK(!p.client.has_pending());
  CHECK(!p.client.has_stream(a));
  p.client.recv_headers({b, false, false, std::nullopt, false}, Handle(), drop);
  v = p.client.aclose_body(b, drop);
  CHECK_EQ(id_of(v.handle), 2);
  CHECK(v.stop == (Stop{8, false}));
  CHECK_EQ(drain(p.client), frame_bytes(FrameType::kRstStream, 0, b, u32be(8)));
  CHECK(p.client.in_reset_store(b));
}

uint64_t fake_now = 0;
uint64_t fake_clock() {
  return fake_now;
}

TEST_CASE(reset_store_cap_and_expiry) {
  ConnectionConfig cfg = server_config();
  cfg.clock_ns = fake_clock;
  cfg.max_local_error_reset_streams = std::nullopt;
  Server s(cfg);
  Released drop;
  for (uint32_t i = 0; i < 51; ++i)
    s.c.reset_on_error(1 + 2 * i, 1, drop);
  CHECK(s.c.in_reset_store(99));
  CHECK(!s.c.in_reset_store(101));
  fake_now += 1'000'000'001;
  s.c.reset_on_error(201, 1, drop);
  CHECK(s.c.in_reset_store(201));
  CHECK(!s.c.in_reset_store(1));
}

TEST_CASE(fail_twice_keeps_the_first_error) {
  Pair p;
  p.open(false, 1);
  Released drop;
  StreamStops first = p.client.fail(Handle(), "connection closed", drop);
  CHECK_EQ(first.size(), size_t(1));
  CHECK(first[0].second == (Stop{std::nullopt, true}));
  StreamStops second = p.client.fail(make_obj(9), "other", drop);
  CHECK(second.empty());
  ConnError e = p.client.conn_error();
  CHECK(!e.exception && e.message == std::optional<std::string>("connection closed"));
  CHECK(p.client.is_closed() && p.client.is_failed());
  CHECK_EQ(p.client.num_streams(), 0u);
}

TEST_CASE(goaway_reply_once_streams_are_done) {
  Pair p;
  Released drop;
  p.client.recv_go_away(0, 0, "", drop);
  CHECK_EQ(p.client.maybe_goaway_reply(), kFlagWake | kFlagConnDone);
  CHECK_EQ(p.client.maybe_goaway_reply(), 0u);
  CHECK(p.client.goaway_replied());
  CHECK_EQ(*p.client.conn_error().message, std::string("connection closed: GOAWAY exchanged"));
}

// ---- control-frame floods
// -------------------------------------------------------------------------

TEST_CASE(unread_control_replies_are_capped) {
  Connection c(client_config());
  for (uint32_t i = 0; i < limits::kMaxQueuedControlFrames; ++i)
    CHECK(!c.recv_ping(false, "pingpong").error);
  FlagsResult r = c.recv_ping(false, "pingpong");
  CHECK(is_error(r.error, ExcClass::kH2Protocol, 11));
  CHECK(text_of(*r.error, 1).starts_with("PING flood"));
  size_t queued = drain(c).size();
  CHECK_EQ(queued, size_t(limits::kMaxQueuedControlFrames) * 17);
  CHECK(!c.recv_ping(false, "pingpong").error);  // the writer caught up

  Connection d(client_config());
  Settings s;
  for (uint32_t i = 0; i < limits::kMaxQueuedControlFrames; ++i)
    CHECK(!d.recv_settings(false, s).error);
  SettingsResult sr = d.recv_settings(false, s);
  CHECK(is_error(sr.error, ExcClass::kH2Protocol, 11));
  CHECK(text_of(*sr.error, 1).starts_with("SETTINGS flood"));

  ConnectionConfig cfg = server_config();
  cfg.max_local_error_reset_streams = std::nullopt;
  cfg.max_reset_burst = std::nullopt;
  Server srv(cfg);
  Released drop;
  for (uint32_t i = 0; i < limits::kMaxQueuedControlFrames; ++i)
    CHECK(!srv.c.reset_on_error(1 + 2 * i, 1, drop).error);
  ResetVerdict rv = srv.c.reset_on_error(5001, 1, drop);
  CHECK(is_error(rv.error, ExcClass::kH2Protocol, 11));
  CHECK(text_of(*rv.error, 1).starts_with("RST_STREAM flood"));
}

// ---- HPACK failures are COMPRESSION_ERROR ------------------------------------------------------

TEST_CASE(hpack_failure_is_compression_error) {
  Server s;
  // 0x80: an indexed field with index 0, which RFC 7541 section 6.1 forbids.
  std::string bad = frame_bytes(FrameType::kHeaders, flags::kEndHeaders | flags::kEndStream, 1,
                                std::string(1, '\x80'));
  PendingError err;
  auto st = feed(s.c, bad, s.o, &err);
  CHECK(st == FrameDecoder::Status::kConnectionError);
  CHECK(err.cls == ExcClass::kH2Protocol && err.args[0].number == 9);
  // A truncated integer is the same kind of failure.
  Server t;
  std::string cut = frame_bytes(FrameType::kHeaders, flags::kEndHeaders, 1, std::string(1, '\x7f'));
  feed(t.c, cut, t.o, &err);
  CHECK(err.args[0].number == 9);
}

// ---- prime -------------------------------------------------------------------------------------

TEST_CASE(prime_matches_the_preface_then_decodes) {
  Connection s(server_config());
  CHECK_EQ(s.prime(reinterpret_cast<const uint8_t*>("PRI * HTTP"), 10), 0);
  std::string rest = std::string(kPreface.substr(10)) +
                     frame_bytes(FrameType::kSettings, 0, 0, "") +
                     frame_bytes(FrameType::kPing, 0, 0, "abcdefgh");
  CHECK_EQ(s.prime(reinterpret_cast<const uint8_t*>(rest.data()), rest.size()), 1);
  Observed o;
  CHECK(feed(s, "", o) == FrameDecoder::Status::kOk);
  CHECK_EQ(drain(s), frame_bytes(FrameType::kSettings, flags::kAck, 0, "") +
                         frame_bytes(FrameType::kPing, flags::kAck, 0, "abcdefgh"));
  Connection t(server_config());
  CHECK_EQ(t.prime(reinterpret_cast<const uint8_t*>("GET / HTTP/1.1"), 14), -1);
}

// ---- scale and memory ---------------------------------------------------------------------------

TEST_CASE(ten_thousand_live_streams) {
  int before = live_objects();
  {
    ConnectionConfig cfg = server_config();
    cfg.connection_window = 1 << 30;
    Server s(cfg);
    Released drop;
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 10000; ++i) {
      HeadersVerdict v =
          s.c.recv_headers({1 + 2 * i, false, false, std::nullopt, false}, make_obj(int(i)), drop);
      CHECK(v.kind == kHeadersOpened);
    }
    for (uint32_t i = 0; i < 10000; ++i)
      CHECK(!s.c.recv_data(1 + 2 * i, false, 300, 300, drop).error);
    for (uint32_t i = 0; i < 10000; ++i)
      s.c.reset_stream(1 + 2 * i, 8, Initiator::kUser, drop);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    CHECK(ms < 5000);
    CHECK_EQ(s.c.num_streams(), 0u);
    CHECK(!s.c.has_stream(1));
  }
  CHECK_EQ(live_objects(), before);
  std::printf("  stream record %zu bytes\n", Connection::stream_record_bytes());
  CHECK(Connection::stream_record_bytes() + 32 <= 256);
}

int main() {
  return check::run_all();
}
