// The HTTP/2 frame decoder on arbitrary byte streams, both roles, with and without the preface.
// The stream is decoded twice, whole and in slices whose sizes come from the input; both runs
// must report the same frames and the same connection error.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http2/frame_decoder.hpp"

namespace {

using namespace velmora;
using namespace velmora::http2;

// Records every event as text, reading every field the frame objects would expose.
class Recorder final : public FrameSink {
 public:
  std::string log;

  bool on_data(uint32_t id, bool end, std::string_view data, uint32_t flow) override {
    if (flow < data.size()) std::abort();
    add("D", id, end, flow);
    log.append(data);
    return true;
  }
  bool on_headers(uint32_t id, bool end, std::unique_ptr<HeaderBlock>& block) override {
    add("H", id, end, uint32_t(block->status()));
    for (int p = 0; p < HeaderBlock::kPseudoCount; ++p)
      if (block->has(HeaderBlock::Pseudo(p))) log.append(block->pseudo(HeaderBlock::Pseudo(p)));
    const http::HeaderMap& m = block->fields();
    m.for_each([&](uint32_t e, std::string_view v) {
      log.append(m.name(e));
      log.push_back(':');
      log.append(v);
    });
    if (block->content_length()) log.append(std::to_string(*block->content_length()));
    block.reset();
    return true;
  }
  bool on_priority(uint32_t id) override { return add("P", id, false, 0); }
  bool on_rst_stream(uint32_t id, uint32_t code) override { return add("R", id, false, code); }
  bool on_settings(bool ack, const Settings& s) override {
    add("S", s.present, ack, 0);
    for (uint32_t v : s.value)
      log.append(std::to_string(v));
    return true;
  }
  bool on_ping(bool ack, std::string_view payload) override {
    if (payload.size() != 8) std::abort();
    add("I", 0, ack, 0);
    log.append(payload);
    return true;
  }
  bool on_go_away(uint32_t last, uint32_t code, std::string_view debug) override {
    add("G", last, false, code);
    log.append(debug);
    return true;
  }
  bool on_window_update(uint32_t id, uint32_t inc) override {
    if (inc == 0 || inc > 0x7fffffffu) std::abort();
    return add("W", id, false, inc);
  }
  bool on_stream_error(uint32_t id, uint32_t code) override { return add("E", id, false, code); }

 private:
  bool add(const char* tag, uint32_t a, bool b, uint32_t c) {
    log.append(tag);
    log.append(std::to_string(a));
    log.push_back(b ? '+' : '-');
    log.append(std::to_string(c));
    log.push_back('|');
    return true;
  }
};

struct Outcome {
  std::string log;
  bool failed = false;
  std::string error;
};

void configure(FrameDecoder& d, uint8_t cfg) {
  d.set_preface_mode(cfg & 2);
  if (cfg & 4) d.set_max_header_list_size(cfg & 8 ? 64 : 4096);
  if (cfg & 16) d.set_header_table_size(cfg & 32 ? 0 : 256);
}

Outcome run(const uint8_t* p, size_t n, uint8_t cfg, const uint8_t* cuts, size_t ncuts) {
  FrameDecoder d(cfg & 1);
  configure(d, cfg);
  Recorder rec;
  Outcome out;
  PendingError err;
  size_t off = 0, k = 0;
  while (off < n || (off == 0 && n == 0)) {
    size_t take = n - off;
    if (ncuts) take = std::min<size_t>(take, size_t(cuts[k++ % ncuts]) + 1);
    if (d.receive(p + off, take, rec, err) != FrameDecoder::Status::kOk) {
      out.failed = true;
      out.error = std::string(err.args[1].str());
      break;
    }
    off += take;
    if (n == 0) break;
    if (!out.failed && d.buffered() > n) std::abort();
  }
  out.log = std::move(rec.log);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t cfg = data[0];
  size_t ncuts = data[1] & 15;
  if (size < 2 + ncuts) return 0;
  const uint8_t* cuts = data + 2;
  const uint8_t* p = data + 2 + ncuts;
  size_t n = size - 2 - ncuts;
  Outcome whole = run(p, n, cfg, nullptr, 0);
  Outcome sliced = run(p, n, cfg, cuts, ncuts);
  // A connection error discards the events of its own call, so only compare when both ran clean
  // or both failed with the same error; the sliced log is then a prefix-consistent record.
  if (whole.failed != sliced.failed) std::abort();
  if (whole.failed && whole.error != sliced.error) std::abort();
  if (!whole.failed && whole.log != sliced.log) std::abort();
  return 0;
}
