// A C++ driver for HTTP/2 core connections, shared by the core tests, the fuzz target and the
// benchmark: counted stand-ins for the binding's objects, a frame sink that records decoded
// frames, and a loop that moves one connection's pending bytes into another and applies every
// frame the way the Python driver does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http2/connection.hpp"

namespace h2test {

using namespace velmora;
using namespace velmora::http2;

// ---- counted objects ------------------------------------------------------------------------

struct Obj {
  int id;
  int refs;
};

inline int& live_objects() {
  static int n = 0;
  return n;
}

inline void install_handles() {
  static bool done = false;
  if (done) return;
  done = true;
  Handle::install(Handle::Ops{
      [](void* p) { ++static_cast<Obj*>(p)->refs; },
      [](void* p) {
        Obj* o = static_cast<Obj*>(p);
        if (--o->refs == 0) {
          --live_objects();
          delete o;
        }
      },
  });
}

inline Handle make_obj(int id) {
  install_handles();
  ++live_objects();
  return Handle::adopt(new Obj{id, 1});
}

inline int id_of(const Handle& h) {
  return h ? static_cast<Obj*>(h.get())->id : -1;
}

// ---- decoded frames -------------------------------------------------------------------------

struct Frame {
  enum Kind { kData, kHeaders, kPriority, kRst, kSettings, kPing, kGoAway, kWindowUpdate, kError };
  Kind kind = kData;
  uint32_t sid = 0;
  bool flag = false;  // END_STREAM or ACK
  uint32_t a = 0;     // code, increment, last stream id, flow-controlled length
  uint32_t b = 0;     // GOAWAY error code
  std::string bytes;  // DATA payload, PING payload, GOAWAY debug data
  HeadersInfo info;
  http::HeaderMap fields;
  Settings settings;
};

class Collector final : public FrameSink {
 public:
  std::vector<Frame> frames;
  bool on_data(uint32_t sid, bool eos, std::string_view data, uint32_t fcl) override {
    Frame f;
    f.kind = Frame::kData;
    f.sid = sid, f.flag = eos, f.a = fcl, f.bytes = std::string(data);
    frames.push_back(std::move(f));
    return true;
  }
  bool on_headers(uint32_t sid, bool eos, std::unique_ptr<HeaderBlock>& block) override {
    Frame f;
    f.kind = Frame::kHeaders;
    f.sid = sid, f.flag = eos, f.info = HeadersInfo::of(sid, eos, *block);
    f.fields = std::move(block->fields());
    frames.push_back(std::move(f));
    return true;
  }
  bool on_priority(uint32_t sid) override {
    Frame f;
    f.kind = Frame::kPriority;
    f.sid = sid;
    frames.push_back(std::move(f));
    return true;
  }
  bool on_rst_stream(uint32_t sid, uint32_t code) override {
    Frame f;
    f.kind = Frame::kRst;
    f.sid = sid, f.a = code;
    frames.push_back(std::move(f));
    return true;
  }
  bool on_settings(bool ack, const Settings& s) override {
    Frame f;
    f.kind = Frame::kSettings;
    f.flag = ack, f.settings = s;
    frames.push_back(std::move(f));
    return true;
  }
  bool on_ping(bool ack, std::string_view payload) override {
    Frame f;
    f.kind = Frame::kPing;
    f.flag = ack, f.bytes = std::string(payload);
    frames.push_back(std::move(f));
    return true;
  }
  bool on_go_away(uint32_t last, uint32_t code, std::string_view debug) override {
    Frame f;
    f.kind = Frame::kGoAway;
    f.a = last, f.b = code, f.bytes = std::string(debug);
    frames.push_back(std::move(f));
    return true;
  }
  bool on_window_update(uint32_t sid, uint32_t inc) override {
    Frame f;
    f.kind = Frame::kWindowUpdate;
    f.sid = sid, f.a = inc;
    frames.push_back(std::move(f));
    return true;
  }
  bool on_stream_error(uint32_t sid, uint32_t code) override {
    Frame f;
    f.kind = Frame::kError;
    f.sid = sid, f.a = code;
    frames.push_back(std::move(f));
    return true;
  }
};

// What one side observed while frames were applied to it.
struct Observed {
  std::vector<PendingError> conn_errors;                     // connection errors (GOAWAY sent)
  std::vector<std::pair<uint32_t, uint32_t>> stream_errors;  // (sid, reason) reset on error
  std::map<uint32_t, std::string> body;                      // DATA delivered per stream
  std::map<uint32_t, bool> eof;
  std::map<uint32_t, http::HeaderMap> heads;          // last HEAD/OPENED fields per stream
  std::vector<uint32_t> opened;                       // server: streams opened, in order
  std::vector<std::pair<uint32_t, uint32_t>> resets;  // (sid, reason) RST_STREAM received
  std::vector<uint32_t> settings_initial;             // recv_settings(initial) results
  int handles_woken = 0;
  bool goaway = false;
};

// Applies decoded frames to `c` as the Python driver does: new requests get a fresh spare
// handle and are accepted at once; when `auto_release` the application consumes every DATA
// frame immediately (capacity and budget released).
inline void apply(Connection& c, std::vector<Frame>& frames, Observed& o, bool auto_release = true,
                  int* next_obj_id = nullptr) {
  static int spare_ids = 100000;
  int& ids = next_obj_id ? *next_obj_id : spare_ids;
  for (Frame& f : frames) {
    Released drop;
    std::optional<PendingError> err;
    switch (f.kind) {
      case Frame::kData: {
        DataVerdict v = c.recv_data(f.sid, f.flag, f.bytes.size(), f.a, drop);
        err = std::move(v.error);
        if (!err) {
          if (v.deliver) o.body[f.sid] += f.bytes;
          if (v.eof) o.eof[f.sid] = true;
          if (auto_release && v.handle) {
            c.release_capacity(f.sid, uint32_t(f.bytes.size()), drop);
            if (v.budgeted) c.release_data_frame(f.sid, f.bytes.size(), drop);
          }
        }
        break;
      }
      case Frame::kHeaders: {
        Handle spare = c.is_server() ? make_obj(ids++) : Handle();
        HeadersVerdict v = c.recv_headers(f.info, std::move(spare), drop);
        err = std::move(v.error);
        if (!err) {
          if (v.kind == kHeadersOpened) {
            o.opened.push_back(f.sid);
            c.accepted(f.sid);
          }
          if (v.kind == kHeadersOpened || v.kind == kHeadersHead)
            o.heads[f.sid] = std::move(f.fields);
          if (v.eof) o.eof[f.sid] = true;
        }
        break;
      }
      case Frame::kPriority:
        break;
      case Frame::kRst: {
        RecvResetResult r = c.recv_reset(f.sid, f.a, drop);
        err = std::move(r.error);
        if (!err) o.resets.emplace_back(f.sid, f.a);
        break;
      }
      case Frame::kSettings: {
        SettingsResult r = c.recv_settings(f.flag, f.settings);
        err = std::move(r.error);
        if (!err && !f.flag) o.settings_initial.push_back(r.initial);
        o.handles_woken += int(r.wake_windows.size());
        break;
      }
      case Frame::kPing: {
        FlagsResult r = c.recv_ping(f.flag, f.bytes);
        err = std::move(r.error);
        break;
      }
      case Frame::kGoAway: {
        GoAwayResult r = c.recv_go_away(f.a, f.b, f.bytes, drop);
        err = std::move(r.error);
        o.goaway = true;
        break;
      }
      case Frame::kWindowUpdate: {
        HandlesResult r = c.recv_window_update(f.sid, f.a);
        err = std::move(r.error);
        o.handles_woken += int(r.handles.size());
        break;
      }
      case Frame::kError:
        err = PendingError(ExcClass::kH2Stream, ErrArg::integer(f.sid), ErrArg::integer(f.a),
                           ErrArg::text(std::string_view("library")));
        break;
    }
    if (!err) continue;
    if (err->cls == ExcClass::kH2Stream) {
      const uint32_t sid = uint32_t(err->args[0].number);
      const uint32_t reason = uint32_t(err->args[1].number);
      o.stream_errors.emplace_back(sid, reason);
      ResetVerdict rv = c.reset_on_error(sid, reason, drop);
      if (!rv.error) continue;
      err = std::move(rv.error);
    }
    const uint32_t reason =
        err->argc && err->args[0].kind == ErrArg::Kind::kInt ? uint32_t(err->args[0].number) : 2;
    o.conn_errors.push_back(std::move(*err));
    c.send_goaway(reason);
    c.fail(Handle(), "connection closed", drop);
    return;
  }
  frames.clear();
}

// Moves `from`'s pending bytes to `to` and applies them; returns the bytes moved.
inline size_t transfer(Connection& from, Connection& to, Observed& o, bool auto_release = true) {
  Batch b = from.take_pending();
  const size_t n = b.bytes.size();
  Collector sink;
  PendingError error;
  auto st =
      to.receive(reinterpret_cast<const uint8_t*>(b.bytes.data()), b.bytes.size(), sink, error);
  from.return_buffer(std::move(b.bytes));
  std::vector<Handle> woken = from.credit_written();
  apply(to, sink.frames, o, auto_release);
  if (st == FrameDecoder::Status::kConnectionError) {
    Released drop;
    o.conn_errors.push_back(std::move(error));
    to.fail(Handle(), "connection closed", drop);
  }
  return n;
}

// Runs both directions until neither side has anything pending (at most `rounds` rounds).
inline void settle(Connection& client, Connection& server, Observed& oc, Observed& os,
                   int rounds = 16) {
  for (int i = 0; i < rounds; ++i) {
    size_t moved = transfer(client, server, os);
    moved += transfer(server, client, oc);
    if (!moved) return;
  }
}

inline ConnectionConfig client_config() {
  ConnectionConfig c;
  c.is_server = false;
  c.initial_window_size = 65535;
  c.connection_window = 65535;
  c.max_frame_size = 16384;
  c.max_header_list_size = 65536;
  c.max_send_buf_size = 1 << 20;
  return c;
}

inline ConnectionConfig server_config() {
  ConnectionConfig c = client_config();
  c.is_server = true;
  return c;
}

// A client and a server after the SETTINGS exchange.
struct Linked {
  Connection client;
  Connection server;
  Observed oc, os;
  explicit Linked(ConnectionConfig cc = client_config(), ConnectionConfig sc = server_config())
      : client(cc), server(sc) {
    client.begin();
    server.begin();
    settle(client, server, oc, os);
  }
};

}  // namespace h2test
