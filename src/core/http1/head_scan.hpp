// Incremental tokenizing of a message head that arrives in pieces: every complete line is
// tokenized once, and the search for the next line end resumes where the last one stopped, so
// the work over all calls is linear in the bytes of the head, however it is split. A head whose
// field lines are all there when its start line is done (the usual case) has them tokenized in
// one pass instead of line by line; that is tried once per head, so the bound holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "http1/read_buffer.hpp"
#include "http1/tokenizer.hpp"

namespace velmora::http1 {

enum class StartLine : uint8_t { kRequest, kStatus };

struct HeadScan {
  // The buffer's front_moves() the offsets below belong to; anything else starts over.
  uint64_t bound_to = UINT64_MAX;
  size_t pos = 0;     // start of the first line not tokenized yet
  size_t search = 0;  // the search for that line's end resumes here
  bool start_done = false;
  bool tried_whole = false;              // the field lines were tokenized in one pass once
  StartLine kind = StartLine::kRequest;  // which head the progress is for
  RequestLine request;
  StatusLine status;
  std::vector<RawField> fields;  // the field lines tokenized so far

  void invalidate() { bound_to = UINT64_MAX; }
  size_t heap_bytes() const { return fields.capacity() * sizeof(RawField); }
};

// Continues tokenizing the head at the front of `buf`. kComplete: `head_len` is the head's
// length; `scan` holds the start line and the fields (at most `limit`; one more is kTooMany).
// kPartial: no complete head yet. kError: `err` holds the failure (a CR not followed by LF
// among the empty lines before the start line reads as kNewLine). A line is tokenized once its
// line end has arrived, so its errors are reported from then on.
Scan scan_head(const ReadBuffer& buf, HeadScan& scan, StartLine kind, size_t limit,
               bool skip_invalid, TokenError& err, size_t& head_len);

}  // namespace velmora::http1
