// The chunked body decoder fed in pseudo-random slices: the data handed out, the outcome and
// the bytes left after the body must match a run that is fed the whole input at once.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http1/body_decoder.hpp"

using namespace velmora;

namespace {

struct Run {
  std::string body;
  int outcome = 0;  // 0 needs input, 1 complete, 2 error
  size_t left = 0;
  size_t trailers = 0;
};

Run run(std::string_view in, uint32_t seed, bool whole, bool eof) {
  http1::BodyDecoder d(http1::BodyDecoder::Kind::kChunked, 0);
  Run r;
  size_t pos = 0;
  for (;;) {
    size_t step = in.size() - pos;
    if (!whole) {
      seed = seed * 1103515245u + 12345u;
      step = std::min<size_t>((seed >> 16) % 32, step);
    }
    d.feed(in.substr(pos, step));
    pos += step;
    if (pos == in.size() && eof) d.mark_eof();
    for (;;) {
      std::string_view data;
      std::optional<http1::Error> err;
      http1::BodyDecoder::Result res = d.decode(data, err);
      if (res == http1::BodyDecoder::Result::kData) {
        if (data.empty()) abort();  // a piece is never empty
        r.body.append(data);
        d.commit();
        continue;
      }
      if (res == http1::BodyDecoder::Result::kError) {
        r.outcome = 2;
        if (d.buffered() != 0) abort();  // nothing survives a framing error
        return r;
      }
      break;
    }
    if (d.is_complete()) {
      r.outcome = 1;
      r.left = d.buffered() + (in.size() - pos);
      if (auto t = d.take_trailers()) r.trailers = t->size();
      return r;
    }
    if (pos == in.size()) return r;
  }
}

}  // namespace

// A whole request line and head: never part of a chunked body's framing or trailer section.
constexpr std::string_view kNext = "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint32_t seed = uint32_t(data[0]) << 8 | data[1];
  const bool eof = data[2] & 1;
  std::string_view in(reinterpret_cast<const char*>(data + 3), size - 3);
  Run a = run(in, seed, true, eof);
  Run b = run(in, seed, false, eof);
  if (a.outcome != b.outcome || a.left != b.left || a.trailers != b.trailers) abort();
  // Data handed out before an error depends on how far the input reached.
  if (a.outcome != 2 && a.body != b.body) abort();
  // The same input followed by the next message. A body that ended before it leaves it whole.
  // After a line end the next message cannot continue the body's framing (it is neither a size
  // line nor a trailer section that ends inside it), so the body fails or ends before it: it
  // never ends inside it, swallowing its bytes.
  std::string more(in);
  more.append(kNext);
  Run c = run(more, seed, false, eof);
  if (a.outcome == 1 && (c.outcome != 1 || c.left != a.left + kNext.size())) abort();
  if (!in.empty() && in.back() == '\n' && c.outcome == 1 && c.left < kNext.size()) abort();
  return 0;
}
