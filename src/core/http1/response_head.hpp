// Response heads (RFC 9112 sections 4 and 6.3): the status line and header block parsed from the
// front of a codec's read buffer, with the body length decided from the status, the framing
// fields and the method of the request they answer.
#pragma once

#include <cstdint>

#include "http/header_map.hpp"
#include "http1/codec.hpp"
#include "http1/request_head.hpp"

namespace velmora::http1 {

struct ResponseHead {
  uint64_t decoded_length = 0;  // a byte count, kChunkedLength or kCloseLength
  http::HeaderMap headers;
  uint16_t status = 0;
  bool keep_alive = false;
  bool is_upgrade = false;
  bool http10 = false;

  BodyKind body_kind() const { return body_kind_of(decoded_length); }
};

// Parses the next final response head; interim (1xx other than 101) heads are consumed and
// skipped. The caller holds the codec's lock.
ParseOutcome parse_response_head(Codec& codec, ResponseHead& out);

}  // namespace velmora::http1
