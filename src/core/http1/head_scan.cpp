#include "http1/head_scan.hpp"

#include <cstring>

namespace velmora::http1 {
namespace {

// A field index larger than this is released once its head is done.
constexpr size_t kKeepFields = 128;

void start_over(const ReadBuffer& buf, HeadScan& s, StartLine kind) {
  s.bound_to = buf.front_moves();
  s.kind = kind;
  s.pos = s.search = 0;
  s.start_done = false;
  s.tried_whole = false;
  if (s.fields.capacity() > kKeepFields)
    std::vector<RawField>().swap(s.fields);
  else
    s.fields.clear();
}

}  // namespace

Scan scan_head(const ReadBuffer& buf, HeadScan& s, StartLine kind, size_t limit, bool skip_invalid,
               TokenError& err, size_t& head_len) {
  const char* p = buf.data();
  const size_t n = buf.size();
  if (s.bound_to != buf.front_moves() || s.kind != kind || s.pos > n || s.search > n)
    start_over(buf, s, kind);
  for (;;) {
    const void* lf = s.search < n ? std::memchr(p + s.search, '\n', n - s.search) : nullptr;
    if (!lf) {
      s.search = n;
      return Scan::kPartial;
    }
    // The line [s.pos, end) is complete: the tokenizer is given nothing past its line end.
    const size_t end = size_t(static_cast<const char*>(lf) - p) + 1;
    size_t pos = s.pos;
    if (!s.start_done) {
      Scan r = skip_empty_lines(p, end, pos);
      if (r == Scan::kError) {
        err = TokenError::kNewLine;
        return r;
      }
      if (r == Scan::kComplete) {
        r = kind == StartLine::kRequest ? scan_request_line(p, end, pos, s.request, err)
                                        : scan_status_line(p, end, pos, s.status, err);
        if (r == Scan::kError) return r;
        if (r != Scan::kComplete || pos != end) {
          // A start line always completes or fails at its line end.
          err = TokenError::kNewLine;
          return Scan::kError;
        }
        s.start_done = true;
      }
    } else {
      if (!s.tried_whole) {
        // Every field line in one pass, into a stack array of up to kWhole fields: taken only
        // when the head completes (errors and partial heads are found, and reported, line by
        // line below).
        s.tried_whole = true;
        constexpr size_t kWhole = 128;
        RawField whole[kWhole];
        size_t count = 0, at = pos;
        TokenError ignored{};
        if (scan_fields(p, n, at, whole, limit < kWhole ? limit : kWhole, count, skip_invalid,
                        ignored) == Scan::kComplete) {
          s.fields.assign(whole, whole + count);
          head_len = at;
          return Scan::kComplete;
        }
      }
      RawField one[1];
      size_t count = 0;
      Scan r =
          scan_fields(p, end, pos, one, s.fields.size() < limit ? 1 : 0, count, skip_invalid, err);
      if (r == Scan::kError) return r;
      if (r == Scan::kComplete) {
        head_len = pos;
        return r;
      }
      if (count) s.fields.push_back(one[0]);
    }
    s.pos = s.search = end;
  }
}

}  // namespace velmora::http1
