// The WebSocket connection on arbitrary byte streams, both roles, with and without
// permessage-deflate, with and without storage offered for binary messages. The stream is read
// twice, whole and in slices whose size comes from the input; both runs must report the same events
// and owe the same replies. The input is also sent as a message and read back by the other role,
// unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_input.hpp"
#include "ws/connection.hpp"

namespace {

using namespace velmora;

constexpr size_t kMaxMessage = 1 << 16;

class Recorder final : public ws::EventSink {
 public:
  std::string log;
  bool closed = false;

  bool message(ws::Opcode op, const ws::Payload& p) override {
    fuzz::require(!closed);
    fuzz::require(p.size <= (ws::is_control(uint8_t(op)) ? ws::kMaxControlPayload : kMaxMessage));
    std::string body(p.size, '\0');
    p.copy_to(reinterpret_cast<uint8_t*>(body.data()));
    log += std::to_string(int(op)) + ":" + std::to_string(p.size) + ":" + body + "|";
    return true;
  }
  bool close(uint16_t code, std::string_view reason, bool failed) override {
    fuzz::require(!closed);
    closed = true;
    log += "close:" + std::to_string(code) + (failed ? "!" : ":") + std::string(reason);
    return true;
  }
};

// Storage for binary messages read in pieces: one message at a time, always given back.
class Storage final : public ws::MessageStorage {
 public:
  uint8_t* acquire(size_t n) override {
    fuzz::require(!held_ && n <= kMaxMessage);
    held_ = true;
    bytes_.assign(n, '\0');
    return reinterpret_cast<uint8_t*>(bytes_.data());
  }
  void release() override { held_ = false; }

 private:
  std::string bytes_;
  bool held_ = false;
};

struct Config {
  bool client;
  std::optional<ws::DeflateParams> deflate;
  bool storage;
};

std::string run(const Config& cfg, const uint8_t* p, size_t n, size_t slice, std::string& out) {
  ws::Connection c(cfg.client, kMaxMessage, cfg.deflate);
  Storage storage;
  if (cfg.storage) c.set_storage(&storage);
  Recorder r;
  for (size_t at = 0; at < n; at += slice)
    c.receive(p + at, slice < n - at ? slice : n - at, r);
  // At most kMaxOwedPongs pongs and one Close are owed.
  fuzz::require(c.outgoing_size() <= (ws::Connection::kMaxOwedPongs + 1) *
                                         (ws::kMaxHeaderSize + ws::kMaxControlPayload));
  out.resize(c.outgoing_size());
  c.take_outgoing(reinterpret_cast<uint8_t*>(out.data()));
  if (!cfg.client) out.append(r.log);  // a client's replies are masked with random keys
  return r.log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{data, size};
  const uint8_t flags = in.byte();
  const uint8_t bits = in.byte();
  const size_t slice = 1 + (in.byte() & 0x3F);
  Config cfg{(flags & 1) != 0, std::nullopt, (flags & 16) != 0};
  if (flags & 2)
    cfg.deflate = ws::DeflateParams{(flags & 4) != 0, (flags & 8) != 0, uint8_t(8 + (bits & 7)),
                                    uint8_t(8 + (bits >> 4 & 7))};
  std::string out_whole, out_sliced;
  const std::string whole = run(cfg, in.p, in.n, in.n ? in.n : 1, out_whole);
  const std::string sliced = run(cfg, in.p, in.n, slice, out_sliced);
  fuzz::require(whole == sliced);
  fuzz::require(cfg.client || out_whole == out_sliced);

  // The input as a binary message, sent by one role and read by the other.
  ws::Connection sender(!cfg.client, kMaxMessage, cfg.deflate);
  ws::Connection reader(cfg.client, kMaxMessage, cfg.deflate);
  for (int round = 0; round < 2 && in.n <= kMaxMessage; ++round) {
    std::string wire;
    auto e = sender.send_message(false, in.p, in.n, [&](size_t n) {
      wire.resize(n);
      return reinterpret_cast<uint8_t*>(wire.data());
    });
    fuzz::require(e == ws::Connection::SendError::kNone);
    Recorder r;
    reader.receive(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), r);
    fuzz::require(r.log == "2:" + std::to_string(in.n) + ":" +
                               std::string(reinterpret_cast<const char*>(in.p), in.n) + "|");
  }
  return 0;
}
