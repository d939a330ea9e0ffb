// A server HTTP/2 connection driven by arbitrary frame bytes, well-formed frames on chosen
// streams and an arbitrary sequence of calls (send, take, credit, release, reset, shutdown,
// failure), applied the way the Python driver applies them.
//
// Checks after every step: windows stay within 2^31-1; num_streams equals the live records;
// once every taken batch is credited, no stream has bytes buffered; the bytes framed as DATA
// equal the bytes the send calls reported. At the end: after fail() no stream is live, and
// once the connection is gone every handle it held has been released.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "../tests/native/h2_harness.hpp"
#include "http2/connection.hpp"
#include "http2/frame_encoder.hpp"

using namespace velmora;
using fuzz::Input;
using namespace velmora::http2;
using namespace h2test;

namespace {

[[noreturn]] void fail_check(const char* what) {
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}
#define INVARIANT(c) \
  if (!(c)) fail_check(#c)

std::string frame(FrameType t, uint8_t flags, uint32_t sid, std::string_view payload) {
  std::string s(kFrameHeaderSize, '\0');
  write_frame_header(reinterpret_cast<uint8_t*>(s.data()), uint32_t(payload.size()), t, flags, sid);
  s.append(payload);
  return s;
}

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  write_u32(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

// Counts the DATA payload bytes in a run of encoded frames (the server's own output).
uint64_t data_bytes(const std::string& b, size_t& partial_skip) {
  uint64_t n = 0;
  size_t at = partial_skip;
  while (at + kFrameHeaderSize <= b.size()) {
    const auto* h = reinterpret_cast<const uint8_t*>(b.data() + at);
    uint32_t len = read_u24(h);
    if (h[3] == uint8_t(FrameType::kData)) n += len;
    at += kFrameHeaderSize + len;
  }
  partial_skip = 0;
  return n;
}

struct Fuzz {
  ConnectionConfig cfg;
  std::vector<uint32_t> sids;  // every stream id the peer opened
  uint32_t next_id = 1;
  FrameEncoder peer;  // encodes the peer's header blocks
  std::deque<Batch> taken;
  uint64_t sent_total = 0;
  uint64_t framed_total = 0;
  std::string body = std::string(70000, 'b');
  int ids = 1;

  uint32_t pick(Input& in) {
    if (sids.empty() || (in.byte() & 7) == 0) return in.u16();
    return sids[in.byte() % sids.size()];
  }

  void feed(Connection& c, const std::string& bytes, Observed& o, bool auto_release) {
    Collector sink;
    PendingError err;
    auto st = c.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), sink, err);
    for (const Frame& f : sink.frames)
      if (f.kind == Frame::kHeaders && f.sid % 2 == 1 &&
          std::find(sids.begin(), sids.end(), f.sid) == sids.end())
        sids.push_back(f.sid);
    apply(c, sink.frames, o, auto_release, &ids);
    if (st == FrameDecoder::Status::kConnectionError) {
      Released drop;
      c.send_goaway(
          err.argc && err.args[0].kind == ErrArg::Kind::kInt ? uint32_t(err.args[0].number) : 1);
      c.fail(Handle(), "connection closed", drop);
    }
  }

  void check(Connection& c) {
    INVARIANT(c.conn_send_window() <= kMaxWindowSize);
    uint64_t live = 0;
    for (uint32_t sid : sids) {
      auto st = c.stream_state(sid);
      if (!st) continue;
      if (!st->starts_with("Closed")) ++live;
      INVARIANT(c.stream_send_window(sid).value_or(0) <= kMaxWindowSize);
    }
    if (getenv("H2_FUZZ_TRACE"))
      std::fprintf(stderr, "num_streams=%llu live=%llu %s\n", (unsigned long long)c.num_streams(),
                   (unsigned long long)live, c.repr().c_str());
    INVARIANT(c.num_streams() == live);
    if (taken.empty() && !c.has_pending()) {
      for (uint32_t sid : sids)
        INVARIANT(c.stream_send_buffered(sid).value_or(0) == 0);
      INVARIANT(framed_total == sent_total);
    }
  }

  void take(Connection& c) {
    Batch b = c.take_pending();
    size_t skip = 0;
    framed_total += data_bytes(b.bytes, skip);
    taken.push_back(std::move(b));
    if (taken.size() > 4) credit(c);
  }

  void credit(Connection& c) {
    if (taken.empty()) return;
    c.return_buffer(std::move(taken.front().bytes));
    taken.pop_front();
    std::vector<Handle> hs = c.credit_written();
    (void)hs;
  }

  void run(Input in) {
    cfg = server_config();
    const uint8_t knobs = in.byte();
    cfg.max_send_buf_size = (knobs & 1) ? 100 : 1 << 16;
    if (knobs & 2) cfg.max_concurrent_streams = 3;
    cfg.max_local_error_reset_streams = (knobs & 4) ? std::optional<uint64_t>(5) : std::nullopt;
    cfg.max_pending_accept_reset_streams = 4;
    cfg.initial_window_size = (knobs & 8) ? 1000 : 65535;
    cfg.connection_window = (knobs & 16) ? 1 << 20 : 65535;
    const bool auto_release = knobs & 32;
    cfg.drop_connection_fields = knobs & 64;
    Observed o;
    Connection c(cfg);
    c.begin();
    feed(c, std::string(kPreface) + frame(FrameType::kSettings, 0, 0, ""), o, auto_release);
    int steps = 0;
    while (in.n && ++steps < 400) {
      Released drop;
      const uint8_t op = in.byte() % 24;
      if (getenv("H2_FUZZ_TRACE")) std::fprintf(stderr, "op %d\n", op);
      switch (op) {
        case 0: {  // raw bytes
          feed(c, std::string(in.take(in.byte())), o, auto_release);
          break;
        }
        case 1: {  // a request
          std::string out;
          peer.begin_headers(out);
          peer.add_field(":method", (in.byte() & 1) ? "POST" : "GET", out);
          peer.add_field(":scheme", "https", out);
          peer.add_field(":authority", "a.example", out);
          peer.add_field(":path", "/", out);
          if (in.byte() & 1) peer.add_field("content-length", std::to_string(in.byte()), out);
          const uint32_t sid = (in.byte() & 15) == 0 ? in.u16() : next_id;
          next_id = std::max(next_id, sid + 2) | 1;
          peer.end_headers(sid, in.byte() & 1, out);
          feed(c, out, o, auto_release);
          break;
        }
        case 2: {  // DATA
          const uint32_t sid = pick(in);
          const uint8_t fl = in.byte() & (flags::kEndStream | flags::kPadded);
          std::string payload(in.u16() % 20000, 'p');
          if (fl & flags::kPadded) payload.insert(0, 1, char(in.byte() % 8)), payload += "xxxxxxx";
          feed(c, frame(FrameType::kData, fl, sid, payload), o, auto_release);
          break;
        }
        case 3: {  // trailers or a second head
          std::string out;
          peer.begin_headers(out);
          peer.add_field("x-t", "1", out);
          peer.end_headers(pick(in), in.byte() & 1, out);
          feed(c, out, o, auto_release);
          break;
        }
        case 4:
          feed(c,
               frame(FrameType::kWindowUpdate, 0, (in.byte() & 1) ? 0 : pick(in),
                     u32(in.u16() * (in.byte() + 1u) + in.byte())),
               o, auto_release);
          break;
        case 5:
          feed(c, frame(FrameType::kRstStream, 0, pick(in), u32(in.byte() % 14)), o, auto_release);
          break;
        case 6: {
          std::string p;
          const uint8_t k = in.byte();
          if (k & 1) p += std::string("\x00\x04", 2) + u32(in.u16() * 40u);
          if (k & 2) p += std::string("\x00\x05", 2) + u32(16384 + in.u16());
          if (k & 4) p += std::string("\x00\x03", 2) + u32(in.byte() % 4);
          if (k & 8) p += std::string("\x00\x01", 2) + u32(in.u16());
          feed(c,
               frame(FrameType::kSettings, (k & 16) ? flags::kAck : 0, 0,
                     (k & 16) ? std::string() : p),
               o, auto_release);
          break;
        }
        case 7:
          feed(c,
               frame(FrameType::kPing, in.byte() & 1, 0,
                     (in.byte() & 1) ? std::string("SHUTDOWN") : std::string("12345678")),
               o, auto_release);
          break;
        case 8: {
          http::HeaderMap h;
          const uint8_t fields = in.byte();
          if (fields & 1) h.add("x-a", "b");
          if (fields & 2) h.add("connection", "close");  // left out or refused
          if (fields & 4) h.add("te", (fields & 8) ? "trailers" : "gzip");
          SendVerdict v = c.send_response_head(pick(in), 100 + in.byte() % 5 * 100,
                                               (in.byte() & 1) ? &h : nullptr, in.byte() & 1, drop);
          (void)v;
          break;
        }
        case 9: {
          const uint32_t sid = pick(in);
          const size_t len = in.u16() * 2u % body.size();
          const uint64_t off = in.u16() % (len + 1);
          SendVerdict v =
              c.send_data(sid, std::string_view(body).substr(0, len), off, in.byte() & 1, drop);
          INVARIANT(v.sent <= len - off);
          if (!v.error) sent_total += v.sent;
          break;
        }
        case 10: {
          http::HeaderMap h;
          h.add("x-trailer", "1");
          c.send_trailers(pick(in), h, drop);
          break;
        }
        case 11:
        case 12:
          take(c);
          break;
        case 13:
          credit(c);
          break;
        case 14:
          c.release_capacity(pick(in), in.u16(), drop);
          break;
        case 15:
          c.release_data_frame(pick(in), in.u16() % 300, drop);
          break;
        case 16:
          c.reset_stream(pick(in), in.byte() % 14, Initiator(in.byte() % 3), drop);
          break;
        case 17: {
          ResetVerdict v = c.reset_on_error(pick(in), in.byte() % 14, drop);
          if (v.error) {
            c.send_goaway(11);
            c.fail(Handle(), "connection closed", drop);
          }
          break;
        }
        case 18:
          c.aclose_body(pick(in), drop);
          break;
        case 19:
          c.begin_graceful_shutdown();
          break;
        case 20:
          c.maybe_goaway_reply();
          break;
        case 21:
          if ((in.byte() & 7) == 0) c.fail(make_obj(ids++), "failed", drop);
          break;
        case 22:
          c.accepted(pick(in));
          break;
        case 23:
          c.stop_pump();
          break;
      }
      check(c);
    }
    while (!taken.empty())
      credit(c);
    take(c);
    credit(c);
    check(c);
    Released drop;
    c.fail(Handle(), "end", drop);
    INVARIANT(c.num_streams() == 0);
    check(c);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  install_handles();
  const int before = live_objects();
  {
    Fuzz f;
    f.run(Input{data, size});
  }
  INVARIANT(live_objects() == before);
  return 0;
}
