// Request heads (RFC 9112 sections 3 and 6): the request line and header block parsed from the
// front of a codec's read buffer, with the framing and connection decisions taken from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http1/codec.hpp"
#include "http1/tokenizer.hpp"

namespace velmora::http1 {

struct RequestHead {
  uint64_t decoded_length = 0;  // a byte count or kChunkedLength
  Method method = Method::kNone;
  std::string method_text;  // set for an extension method only
  std::string target;       // the request-target as rendered, unless `target_sink` is set
  // When set, called once with the rendered target instead of filling `target`, while the
  // head's bytes are still in the codec's buffer (under the codec's lock): the view is not
  // copied first.
  void (*target_sink)(void* ctx, std::string_view target) = nullptr;
  void* target_ctx = nullptr;
  http::HeaderMap headers;
  bool is_connect = false;
  bool keep_alive = false;
  bool expect_continue = false;
  bool is_upgrade = false;
  bool http10 = false;
  bool allow_trailers = false;

  BodyKind body_kind() const { return body_kind_of(decoded_length); }
};

// The outcome of one parse attempt: a head (`complete`), more input needed (neither), or an
// error.
struct ParseOutcome {
  bool complete = false;
  std::optional<Error> error;
};

// Appends nothing: parses what `codec.read` holds. On a complete head, removes its bytes from
// the buffer and records the method and allow_trailers; on an error records the automatic
// status. The caller holds the codec's lock.
ParseOutcome parse_request_head(Codec& codec, RequestHead& out);

// Shared by both head parsers and the trailer parser: stores the fields not marked in `drop`
// (which may be null) into the new, empty `map`, lower-casing the names. False when the map is
// full or memory is short.
bool fill_header_map(const char* base, const RawField* fields, size_t count, const bool* drop,
                     http::HeaderMap& map);

// A field name compared with a lower-case name, ignoring ASCII case.
bool name_is(std::string_view name, std::string_view lower);

}  // namespace velmora::http1
