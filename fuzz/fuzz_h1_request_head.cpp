// Request-head parsing: the input after a one-byte configuration is parsed whole and again fed
// in pseudo-random slices; both runs must agree on the outcome, the error kind, the bytes
// consumed and the parsed head.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http1/request_head.hpp"

using namespace velmora;

namespace {

struct Run {
  int outcome = 0;  // 0 incomplete, 1 head, 2 error
  int kind = -1;
  size_t left = 0;
  http1::RequestHead head;
};

void configure(http1::Codec& c, uint8_t cfg) {
  c.ignore_invalid_headers = cfg & 1;
  if (cfg & 2) c.max_headers = (cfg >> 2) & 7;
  if (cfg & 0x20) c.max_headers = 200;
  c.max_buf_size = (cfg & 0x40) ? 8192 : http1::kDefaultMaxBufSize;
}

Run whole(uint8_t cfg, std::string_view in) {
  http1::Codec c;
  configure(c, cfg);
  c.read.append(in);
  Run r;
  http1::ParseOutcome o = http1::parse_request_head(c, r.head);
  r.outcome = o.error ? 2 : o.complete ? 1 : 0;
  if (o.error) r.kind = int(o.error->parse_kind());
  r.left = c.read.size();
  return r;
}

Run sliced(uint8_t cfg, std::string_view in, uint32_t seed) {
  http1::Codec c;
  configure(c, cfg);
  Run r;
  size_t pos = 0;
  for (;;) {
    seed = seed * 1103515245u + 12345u;
    size_t step = (seed >> 16) % 64;
    step = std::min(step, in.size() - pos);
    c.read.append(in.substr(pos, step));
    pos += step;
    http1::ParseOutcome o = http1::parse_request_head(c, r.head);
    if (o.error || o.complete || pos == in.size()) {
      if (!o.error && !o.complete && pos < in.size()) continue;
      r.outcome = o.error ? 2 : o.complete ? 1 : 0;
      if (o.error) r.kind = int(o.error->parse_kind());
      // What the whole run would leave: the rest of this buffer and the unfed input.
      r.left = c.read.size() + (in.size() - pos);
      if (r.outcome != 0 || pos == in.size()) return r;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t cfg = data[0];
  const uint32_t seed = uint32_t(data[1]) << 8 | data[2];
  std::string_view in(reinterpret_cast<const char*>(data + 3), size - 3);
  Run a = whole(cfg, in);
  Run b = sliced(cfg, in, seed);
  // No head larger than the cap is accepted, however it arrives.
  const uint64_t cap = (cfg & 0x40) ? 8192 : http1::kDefaultMaxBufSize;
  if (a.outcome == 1 && in.size() - a.left > cap) abort();
  if (b.outcome == 1 && in.size() - b.left > cap) abort();
  // Which error a too-large head reports may depend on the slicing (the cap can stop a sliced
  // run before a line that the whole run refuses for another reason), but the cap never lets a
  // head through in one run that it stops in the other.
  if (a.kind == int(http1::ParseKind::kTooLarge) || b.kind == int(http1::ParseKind::kTooLarge)) {
    if (a.outcome == 1 || b.outcome == 1) abort();
    return 0;
  }
  if (a.outcome != b.outcome || a.kind != b.kind) abort();
  if (a.outcome == 1) {
    if (a.left != b.left) abort();
    if (a.head.target != b.head.target || a.head.decoded_length != b.head.decoded_length ||
        !a.head.headers.equals(b.head.headers) || a.head.keep_alive != b.head.keep_alive)
      abort();
    if (a.head.headers.size() > 200) abort();
    // RFC 9112 section 3.2: at most one Host line is ever accepted.
    int32_t host = a.head.headers.find("host");
    if (host >= 0 && a.head.headers.value_count(uint32_t(host)) > 1) abort();
  }
  return 0;
}
