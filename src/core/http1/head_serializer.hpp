// Outgoing HTTP/1 heads (RFC 9112 sections 3, 4 and 6): request and response heads with the
// framing fields their body needs, leaving the matching body encoder in the codec.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http1/codec.hpp"
#include "http1/field_pairs.hpp"

namespace velmora::http1 {

// A failed serialization: a ValueError for bad arguments or an HTTP/1 user error.
using SerializeError = std::variant<PendingError, Error>;

// Writes the request head to `codec.scratch`. `headers` is the caller's private copy and may be
// changed. The caller holds the codec's lock.
std::optional<SerializeError> serialize_request(Codec& codec, std::string_view method,
                                                std::string_view url, http::HeaderMap& headers,
                                                bool http10, std::optional<uint64_t> content_length,
                                                bool chunked);

// Writes the response head to `codec.scratch`. The caller holds the codec's lock. `Fields` is
// http::HeaderMap or FieldPairs (a short list read in place): the same head from either.
template <class Fields>
std::optional<SerializeError> serialize_response(Codec& codec, uint32_t status, Fields& headers,
                                                 bool keep_alive, bool http10,
                                                 std::optional<uint64_t> content_length,
                                                 bool chunked);

inline constexpr std::string_view kContinueResponse = "HTTP/1.1 100 Continue\r\n\r\n";

// Any Connection field of `headers` holds the token "close".
bool connection_close(const http::HeaderMap& headers);

// The registered reason phrase of a status code, or "<none>".
std::string_view reason_phrase(uint32_t status);

}  // namespace velmora::http1
