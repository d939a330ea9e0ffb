// Response-head parsing: as the request-head target, for the client role. The configuration
// byte selects the method of the request the response answers.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http1/response_head.hpp"

using namespace velmora;

namespace {

constexpr http1::Method kMethods[] = {http1::Method::kNone, http1::Method::kGet,
                                      http1::Method::kHead, http1::Method::kConnect};

struct Run {
  int outcome = 0;
  int kind = -1;
  size_t left = 0;
  http1::ResponseHead head;
};

Run run(uint8_t cfg, std::string_view in, uint32_t seed, bool whole) {
  http1::Codec c;
  c.recorded_method = kMethods[cfg & 3];
  c.max_buf_size = 8192;
  Run r;
  size_t pos = 0;
  for (;;) {
    size_t step = in.size() - pos;
    if (!whole) {
      seed = seed * 1103515245u + 12345u;
      step = std::min<size_t>((seed >> 16) % 64, step);
    }
    c.read.append(in.substr(pos, step));
    pos += step;
    http1::ParseOutcome o = http1::parse_response_head(c, r.head);
    if (o.error || o.complete || pos == in.size()) {
      r.outcome = o.error ? 2 : o.complete ? 1 : 0;
      if (o.error) r.kind = int(o.error->parse_kind());
      r.left = c.read.size() + (in.size() - pos);
      return r;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t cfg = data[0];
  const uint32_t seed = uint32_t(data[1]) << 8 | data[2];
  std::string_view in(reinterpret_cast<const char*>(data + 3), size - 3);
  Run a = run(cfg, in, seed, true);
  Run b = run(cfg, in, seed, false);
  // The size cap holds for every head however it arrives: a head the cap stops in one run is
  // never accepted in the other (interim heads included).
  if (a.kind == int(http1::ParseKind::kTooLarge) || b.kind == int(http1::ParseKind::kTooLarge)) {
    if (a.outcome == 1 || b.outcome == 1) abort();
    return 0;
  }
  // Interim heads are consumed as they complete, so a sliced run can stop after one of them
  // while the whole run goes on: only compare runs where both saw a final head or an error.
  if (a.outcome == 0 || b.outcome == 0) return 0;
  if (a.outcome != b.outcome || a.kind != b.kind) abort();
  if (a.outcome == 1) {
    if (a.left != b.left || a.head.status != b.head.status ||
        a.head.decoded_length != b.head.decoded_length || !a.head.headers.equals(b.head.headers))
      abort();
    if (a.head.status < 100 || a.head.status > 999) abort();
  }
  return 0;
}
