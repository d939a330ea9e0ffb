// The connection-state cores without Python: the stored objects are plain shared pointers, so
// these cases check the decisions and the byte moves on their own (and run under the
// sanitizers).
#include <memory>
#include <string>

#include "check.hpp"
#include "http1/client_state.hpp"
#include "http1/server_state.hpp"

using namespace velmora;
using namespace velmora::http1;

namespace {

struct Thing {
  std::string bytes;
  std::unique_ptr<Locked<BodyDecoder>> decoder;
};
using Obj = std::shared_ptr<Thing>;

struct Traits {
  using Obj = ::Obj;
  static Locked<BodyDecoder>& decoder(const Obj& o) { return *o->decoder; }
  static std::string_view bytes(const Obj& o) { return o->bytes; }
};

Obj thing(std::string bytes = {}) {
  auto t = std::make_shared<Thing>();
  t->bytes = std::move(bytes);
  return t;
}

Obj fresh_decoder() {
  auto t = std::make_shared<Thing>();
  t->decoder = std::make_unique<Locked<BodyDecoder>>(BodyDecoder::Kind::kEmpty, 0);
  return t;
}

std::string joined(const Leftover<Obj>& l) {
  return std::string(l.codec_part.view()) + std::string(l.decoder_part.view()) +
         (l.watcher_data ? l.watcher_data->bytes : std::string());
}

}  // namespace

TEST_CASE(server_pipelined_bytes_past_the_body_reach_the_next_head) {
  Locked<Codec> codec;
  Obj transport = thing();
  ServerState<Traits> s(thing(), codec, transport, true, false);
  ServerState<Traits>::Drops drops;
  auto r = s.accept_head("POST / HTTP/1.1\r\ncontent-length: 2\r\n\r\nabGET /2 HTTP/1.1\r\n\r\n",
                         fresh_decoder(), drops);
  CHECK(r.outcome == ServerState<Traits>::Accepted::Outcome::kComplete);
  CHECK_EQ(r.seq, uint64_t(1));
  Obj dec = s.current_decoder();
  dec->decoder->with([](BodyDecoder& d) {
    std::string_view piece;
    std::optional<Error> err;
    CHECK(d.decode(piece, err) == BodyDecoder::Result::kData);
    CHECK(piece == "ab");
    d.commit();
  });
  s.end_body_read(1, true);
  http::HeaderMap headers;
  auto resp = s.respond_head(1, 204, headers, Obj(), std::nullopt, false, false, drops);
  CHECK_EQ(resp.code, uint8_t(kReqOk));
  CHECK(resp.head.rfind("HTTP/1.1 204", 0) == 0);
  CHECK(!s.finish_response(1).close);
  auto v = s.begin_read(drops);
  CHECK_EQ(v.code, uint8_t(kReadParse));
  CHECK(!s.current_decoder());  // released into drops, not destroyed under the lock
  CHECK(drops.size() >= 1);
  auto r2 = s.accept_head("", fresh_decoder(), drops);
  CHECK_EQ(r2.seq, uint64_t(2));
  CHECK(r2.head.target == "/2");
}

TEST_CASE(server_detach_leftover_in_wire_order) {
  Locked<Codec> codec;
  ServerState<Traits> s(thing(), codec, thing(), true, false);
  ServerState<Traits>::Drops drops;
  s.accept_head("GET / HTTP/1.1\r\n\r\n", fresh_decoder(), drops);
  CHECK(s.arm_watcher(1, thing(), true, false, drops));
  CHECK_EQ(s.detach(1).code, uint8_t(kReqParked));
  CHECK(!s.watcher_completed(thing("xyz"), Obj(), drops));
  codec.with([](Codec& c) { c.read.append(std::string_view("uvw")); });
  auto d = s.detach(1);
  CHECK_EQ(d.code, uint8_t(kReqOk));
  CHECK(d.transport != nullptr);
  CHECK(d.leftover && joined(*d.leftover) == "uvwxyz");
  CHECK(!s.mark_closed().transport);  // handed off: never returned again
}

TEST_CASE(server_transport_is_taken_once) {
  Locked<Codec> codec;
  ServerState<Traits> s(thing(), codec, thing(), true, false);
  ServerState<Traits>::Drops drops;
  CHECK_EQ(s.begin_read(drops).code, uint8_t(kReadTransport));
  CHECK(s.request_shutdown() != nullptr);
  CHECK(s.unpark_idle_read());
  CHECK(!s.fail_read());
  CHECK(!s.mark_closed().transport);
}

TEST_CASE(client_idle_watcher_verdicts) {
  ClientState<Obj> c(thing());
  ClientState<Obj>::Drops drops;
  CHECK(c.arm_watcher(thing(), drops));
  CHECK(!c.arm_watcher(thing(), drops));
  CHECK_EQ(drops.size(), size_t(1));
  auto bytes = c.watcher_completed(thing("x"), 1, Obj(), drops);
  CHECK_EQ(bytes.first, uint8_t(kWatchIdleBytes));
  auto r = c.take_watcher_result(drops);
  CHECK(!r.first && !r.second);
  CHECK(!c.snapshot().has_watcher);
  CHECK(c.arm_watcher(thing(), drops));
  auto eof = c.watcher_completed(Obj(), 0, Obj(), drops);
  CHECK_EQ(eof.first, uint8_t(kWatchIdleEof));
  CHECK(eof.second != nullptr);
  CHECK(c.is_dead());
}

int main() {
  return check::run_all();
}
