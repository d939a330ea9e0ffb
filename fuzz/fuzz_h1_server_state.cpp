// The server connection state driven by an arbitrary sequence of calls, with request bytes and
// seq values taken from the input. Checks: the transport is handed out at most once, each
// request is answered or detached at most once, and a closed connection is never reusable.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "http1/server_state.hpp"

using namespace velmora;
using fuzz::Input;
using fuzz::require;
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

using State = ServerState<Traits>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Locked<Codec> codec;
  Obj transport = std::make_shared<Thing>();
  State s(std::make_shared<Thing>(), codec, transport, in.byte() & 1, in.byte() & 1);
  int owners = 0;
  std::map<uint64_t, int> answered;
  auto own = [&](const Obj& o) {
    if (o == transport) ++owners;
  };
  while (in.n > 0) {
    State::Drops drops;
    const uint8_t op = in.byte();
    const uint64_t seq = s.snapshot().seq + (in.byte() % 3) - 1;
    const bool flag = op & 0x80;
    switch (op % 25) {
      case 0: {
        // A read verdict lends the transport for the idle read; only a close hands it out.
        auto v = s.begin_read(drops);
        if (v.code == kNextClose) own(v.obj);
        break;
      }
      case 1: {
        auto v = s.drain_done(flag, drops);
        if (v.code == kNextClose) own(v.obj);
        break;
      }
      case 2:
        s.unpark_idle_read();
        break;
      case 3: {
        auto dec = std::make_shared<Thing>();
        dec->decoder = std::make_unique<Locked<BodyDecoder>>(BodyDecoder::Kind::kEmpty, 0);
        s.accept_head(in.take(in.byte()), std::move(dec), drops);
        break;
      }
      case 4:
        own(s.fail_read());
        break;
      case 5:
        s.stop_serving();
        break;
      case 6:
        own(s.mark_closed().transport);
        break;
      case 7:
        own(s.request_shutdown());
        break;
      case 8:
        s.try_send_continue(seq);
        break;
      case 9:
        s.begin_body_read(seq);
        break;
      case 10:
        s.end_body_read(seq, flag);
        break;
      case 11:
        s.close_window(seq);
        break;
      case 12:
        s.arm_watcher(seq, std::make_shared<Thing>(), flag, op & 0x40, drops);
        break;
      case 13:
        s.store_watcher_handle(std::make_shared<Thing>());
        break;
      case 14: {
        Obj d;
        if (flag) {
          d = std::make_shared<Thing>();
          d->bytes = std::string(in.take(in.byte() % 8));
        }
        s.watcher_completed(std::move(d), Obj(), drops);
        break;
      }
      case 15:
        s.watcher_aborted(drops);
        break;
      case 16:
        s.take_watcher_handle();
        break;
      case 17:
        s.take_watcher_result(drops);
        break;
      case 18: {
        static const uint32_t statuses[] = {101, 103, 200, 204, 304, 404, 1000};
        http::HeaderMap headers;
        auto r = s.respond_head(seq, statuses[in.byte() % 7], headers, std::make_shared<Thing>(),
                                std::nullopt, flag, op & 0x40, drops);
        if (r.code == kReqOk && !r.error) ++answered[seq];
        break;
      }
      case 19: {
        auto f = s.finish_response(seq);
        own(f.transport);
        require(!(f.switched && f.close));
        break;
      }
      case 20:
        own(s.fail_response(seq));
        break;
      case 21: {
        auto d = s.detach(seq);
        own(d.transport);
        if (d.code == kReqOk) ++answered[seq];
        break;
      }
      case 22:
        s.mark_unusable();
        break;
      case 23: {
        static const uint32_t statuses[] = {101, 200, 204, 304, 404};
        http::HeaderMap headers;
        if (flag) headers.add("content-length", std::string(1, char('0' + in.byte() % 10)));
        auto r =
            s.respond_whole(seq, statuses[in.byte() % 5], headers, in.take(in.byte() % 16), drops);
        if (r.code == kReqOk && !r.error) ++answered[seq];
        if (r.finished && r.next.code == kNextClose) own(r.next.obj);
        require(r.finished || r.code != kReqOk || r.error || r.body.error);
        break;
      }
      default: {
        Obj d = s.current_decoder();
        if (d) {
          d->decoder->with([](BodyDecoder& dec) {
            std::string_view piece;
            std::optional<Error> err;
            if (dec.decode(piece, err) == BodyDecoder::Result::kData) dec.commit();
          });
        }
        break;
      }
    }
    auto snap = s.snapshot();
    require(owners <= 1);
    require(!snap.closed || !snap.reusable);
    require(!snap.upgraded || snap.closed);
    for (auto& [k, n] : answered)
      require(n == 1);
  }
  return 0;
}
