// The rules for header blocks this side sends, shared by every HTTP/2 send path (the frame
// codec's serializers and the connection): connection-specific fields (RFC 9113 section
// 8.2.2), request pseudo-header fields (section 8.3.1, CONNECT in section 8.5) and the
// characters no field value may carry (section 8.2.1), response status digits, and the
// encoding of a block with its pseudo-header fields first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/errors.hpp"
#include "http/header_map.hpp"
#include "http2/frame_encoder.hpp"

namespace velmora::http2 {

// True for a field HTTP/2 forbids: connection, keep-alive, proxy-connection,
// transfer-encoding, upgrade, and te with any value but "trailers". `name` is lower case.
bool is_connection_specific(std::string_view name, std::string_view value);
// Whether any field of `fields` is connection-specific.
bool has_connection_specific(const http::HeaderMap& fields);
// H2UserError("malformed_headers", ...): the refusal of a connection-specific field.
PendingError malformed_headers_error();

// How a send path treats the connection-specific fields of a block it sends.
enum class FieldRule : uint8_t {
  // Any of them refuses the block (malformed_headers).
  kRefuse,
  // A response: connection, keep-alive, proxy-connection, transfer-encoding and upgrade are
  // left out; a te other than "trailers" is refused.
  kDropResponse,
  // A request: those and host are left out (host stands for :authority, RFC 9113 section
  // 8.3.1), and so is a te field with any value other than "trailers".
  kDropRequest,
};

// The fields a block leaves out under its rule (check_send_fields fills it).
struct FieldFilter {
  bool active = false;  // some field is left out
  bool te = false;
  bool host = false;
  std::string_view host_value;  // the first host value, when host is left out
  // Whether the field `name` (lower case) is left out.
  bool skips(std::string_view name) const;
};

// Checks `fields` under `rule`: malformed_headers for a refused field, else fills `filter`.
std::optional<PendingError> check_send_fields(const http::HeaderMap& fields, FieldRule rule,
                                              FieldFilter& filter);

// True when `value` holds CR, LF or NUL, which no HTTP/2 field value may carry.
bool has_forbidden_octet(std::string_view value);

using Field = std::pair<std::string_view, std::string_view>;

// The pseudo-header fields of a request, viewing the caller's texts.
struct RequestPseudo {
  Field fields[5];
  int count = 0;
};

// Builds the request's pseudo-header fields from its method and target: an absolute-URL
// target gives the scheme and authority (unless passed), an origin-form target needs
// `authority`, "*" is the asterisk form, and a CONNECT to an authority-form target carries only
// :method and :authority. Empty `scheme` and `authority` stand for "not given"; the scheme
// defaults to "https". `fields` (may be null) are checked under `rule`, which fills `filter`;
// a host field left out gives :authority when `authority` is not given. Errors, in this order:
// ValueError for a bad method; H2UserError("malformed_headers", ...); ValueError for a bad target
// or a field value with CR, LF or NUL; H2UserError("missing_uri_scheme_and_authority", ...) for a
// bare path without an authority. A non-empty `protocol` (RFC 8441 section 4) makes the CONNECT
// an extended one: :protocol beside :scheme, :authority and :path (ValueError for another
// method or an authority-form target).
std::optional<PendingError> build_request_pseudo(std::string_view method, std::string_view target,
                                                 std::string_view scheme,
                                                 std::string_view authority,
                                                 const http::HeaderMap* fields, FieldRule rule,
                                                 FieldFilter& filter, RequestPseudo& out,
                                                 std::string_view protocol = {});

// A response status as three digits; ValueError outside [100, 999].
std::optional<PendingError> status_digits(uint32_t status, char out[3]);

// Appends one HEADERS block (plus CONTINUATION frames) to `out`: `pseudo`, then `fields` (may
// be null) but those `filter` (may be null) leaves out, then a `date` field when `date` is not
// empty.
void encode_header_block(FrameEncoder& encoder, uint32_t stream_id, bool end_stream,
                         const Field* pseudo, int npseudo, const http::HeaderMap* fields,
                         const FieldFilter* filter, std::string_view date, std::string& out);

}  // namespace velmora::http2
