// HTTP/2 stream primitives driven by arbitrary event sequences: the stream state machine never
// reaches an inconsistent state, and flow-control windows, content lengths and the DATA-frame
// budget agree with 64-bit reference arithmetic.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "http2/content_length.hpp"
#include "http2/data_frame_budget.hpp"
#include "http2/flow_control.hpp"
#include "http2/stream_state.hpp"

namespace {

using namespace velmora::http2;

void check(bool ok) {
  if (!ok) std::abort();
}

struct Reader {
  const uint8_t* p;
  size_t n;
  bool more() const { return n > 0; }
  uint8_t byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v = v << 8 | byte();
    return v;
  }
};

void state_event(StreamState& s, Reader& in) {
  const StreamState before = s;
  const uint8_t op = in.byte();
  const bool a = op & 0x10, b = op & 0x20;
  TransitionError e = TransitionError::kNone;
  bool opened = false;
  switch (op % 12) {
    case 0:
      e = s.send_open(a);
      break;
    case 1:
      e = s.recv_open(a, b, opened);
      break;
    case 2:
      e = s.reserve_remote();
      break;
    case 3:
      e = s.reserve_local();
      break;
    case 4:
      e = s.recv_close();
      break;
    case 5: {
      const bool closed = s.send_close();
      check(closed == !(s == before));
      break;
    }
    case 6:
      s.recv_reset(in.u32() & 0x7fffffff, in.u32(), a);
      break;
    case 7:
      s.recv_eof();
      break;
    case 8:
      s.set_reset(in.u32() & 0x7fffffff, in.u32(), Initiator(in.byte() % 3));
      break;
    case 9:
      s.set_error(StreamError::go_away("debug", in.u32(), Initiator(in.byte() % 3)));
      break;
    case 10:
      check(s.set_scheduled_reset(in.u32()) == !before.is_closed());
      break;
    default:
      break;
  }
  if (e != TransitionError::kNone) check(s == before);
  // Closed is terminal for every transition but the resets.
  if (before.is_closed() && op % 12 <= 5) check(s == before);
  std::optional<velmora::PendingError> err;
  const bool open = s.ensure_recv_open(err);
  check(!(open && err));
  if (err) check(s.is_reset());
  check(!s.is_reset() || s.is_closed());
  check(!s.is_remote_reset() || s.is_reset());
  check(!(s.is_send_streaming() && s.is_send_closed()));
  check(!(s.is_recv_headers() && s.is_recv_streaming()));
  check(!s.debug_text().empty());
}

int64_t clamp_status(int64_t v, bool& ok) {
  ok = v >= INT32_MIN && v <= INT32_MAX;
  return v;
}

void flow_event(FlowControl& f, Reader& in) {
  const uint8_t op = in.byte();
  const uint32_t sz = in.u32() >> (in.byte() % 32);
  const int64_t w = f.raw_window(), av = f.available();
  FlowStatus st = FlowStatus::kOk;
  int64_t ew = w, ea = av;
  bool ok = true;
  const bool big = sz > kMaxWindowSize;
  switch (op % 6) {
    case 0:
      st = f.claim_capacity(sz);
      ea = clamp_status(av - sz, ok);
      break;
    case 1:
      st = f.assign_capacity(sz);
      ea = clamp_status(av + sz, ok);
      break;
    case 2:
      st = f.inc_window(sz);
      ew = clamp_status(w + sz, ok);
      break;
    case 3:
      st = f.dec_send_window(sz);
      ew = clamp_status(w - sz, ok);
      break;
    case 4: {
      st = f.send_data(sz);
      if (sz == 0) break;
      if (int64_t(sz) > (w < 0 ? 0 : w)) {
        check(st == FlowStatus::kFlowControl);
        check(f.raw_window() == w && f.available() == av);
        return;
      }
      ew = w - sz;
      ea = clamp_status(av - sz, ok);
      check(f.raw_window() == ew);
      check(ok ? st == FlowStatus::kOk && f.available() == ea
               : st == FlowStatus::kFlowControl && f.available() == av);
      return;
    }
    default: {
      std::optional<int64_t> u = f.unclaimed_capacity();
      if (u) check(*u > 0 && *u == av - w && *u >= w / 2);
      return;
    }
  }
  if (big) {
    check(st == FlowStatus::kSizeTooLarge && f.raw_window() == w && f.available() == av);
    return;
  }
  if (!ok) {
    check(st == FlowStatus::kFlowControl && f.raw_window() == w && f.available() == av);
    return;
  }
  check(st == FlowStatus::kOk && f.raw_window() == ew && f.available() == ea);
}

void budget_event(DataFrameBudget& b, ContentLength& c, Reader& in) {
  const uint8_t op = in.byte();
  const uint64_t len = in.u32() >> (in.byte() % 32);
  const uint64_t before = b.available();
  if (op & 1) {
    uint64_t charge = 0;
    const bool ok = b.record(len, charge);
    check(b.available() <= b.cap());
    if (!ok) check(b.available() == before && charge == 0);
    if (ok && charge)
      check(before - b.available() == charge && charge < kDataFrameOverheadThreshold);
    if (ok && charge) b.release(charge);
    if (ok && charge) check(b.available() == before);
  } else {
    b.release(len);
    check(b.available() <= b.cap() && b.available() >= before);
  }
  if (op & 2) {
    c.set(len);
  } else {
    const bool satisfied = c.is_satisfied();
    const uint64_t remaining = c.remaining();
    const bool fits = c.dec(len);
    if (!fits) check(c.remaining() == remaining && c.is_satisfied() == satisfied);
    if (fits && c.kind() == ContentLength::Kind::kRemaining)
      check(c.remaining() == remaining - len);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  StreamState s;
  FlowControl f;
  std::optional<uint64_t> configured;
  const uint8_t mode = in.byte();
  if (mode & 1) configured = in.u32();
  DataFrameBudget b(DataFrameBudget::resolve_cap(configured, in.u32()));
  ContentLength c(mode & 2);
  while (in.more()) {
    switch (in.byte() % 3) {
      case 0:
        state_event(s, in);
        break;
      case 1:
        flow_event(f, in);
        break;
      default:
        budget_event(b, c, in);
        break;
    }
  }
  return 0;
}
