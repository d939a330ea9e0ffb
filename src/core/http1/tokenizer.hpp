// HTTP/1 head tokenizer (RFC 9112 sections 2-5): splits a buffer into the start line and the
// header fields without copying. Every slice is an offset into the scanned buffer.
//
// The request-target is scanned in 16-byte SSE2 blocks where the CPU has them (8-byte words
// otherwise). The header block is classified 64 bytes at a time into bitmaps of the bytes that
// end names and values (AVX2 or SSSE3, chosen at run time); without either, names go through
// the class table of http/chars.hpp and values through the block scan of find_value_end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/raw_field.hpp"

namespace velmora::http1 {

enum class Scan : uint8_t { kComplete, kPartial, kError };

enum class TokenError : uint8_t {
  kMethod,       // a byte of the method that is not a token character
  kTarget,       // empty target, a control byte in it, or invalid UTF-8
  kVersion,      // not HTTP/1.0 or HTTP/1.1
  kStatus,       // a malformed status code or reason phrase
  kHeaderName,   // empty name, whitespace before the colon, obsolete line folding
  kHeaderValue,  // a control byte in a value
  kNewLine,      // a CR not followed by LF, or junk after the version
  kTooMany,      // more header lines than the limit
  kNameTooLong,  // a field name of 65536 bytes or more
};

// The text a tokenizer error reads as (used for trailer sections).
std::string_view token_error_text(TokenError e);

using http::RawField;
using http::Slice;

// The methods recognised without comparing their text again.
enum class Method : uint8_t {
  kNone,
  kGet,
  kPost,
  kPut,
  kDelete,
  kHead,
  kOptions,
  kConnect,
  kPatch,
  kTrace,
  kQuery,
  kOther,
};
Method classify_method(std::string_view m);
std::string_view method_name(Method m);  // empty for kNone and kOther

struct RequestLine {
  Slice method{};
  Slice target{};
  Method method_id = Method::kNone;
  bool http10 = false;
};

struct StatusLine {
  uint16_t status = 0;
  bool http10 = false;
};

// Skips the empty lines (CRLF or LF) that may precede a start line. kError for a CR followed
// by anything but LF.
Scan skip_empty_lines(const char* p, size_t n, size_t& pos);

// Tokenizes a request line starting at `pos`; on kComplete `pos` is past its line end.
Scan scan_request_line(const char* p, size_t n, size_t& pos, RequestLine& out, TokenError& err);

// Tokenizes a status line starting at `pos`.
Scan scan_status_line(const char* p, size_t n, size_t& pos, StatusLine& out, TokenError& err);

// Tokenizes header lines from `pos` up to and including the empty line that ends the block.
// At most `limit` fields are stored in `fields`; one more is kTooMany. With `skip_invalid`, a
// line with an invalid name or value byte is dropped instead of failing (a NUL byte or a bare
// CR still fails).
Scan scan_fields(const char* p, size_t n, size_t& pos, RawField* fields, size_t limit,
                 size_t& count, bool skip_invalid, TokenError& err);

// Offset of the first byte at or after `i` that ends or breaks a field value: a control byte
// other than HTAB, or DEL. Returns `n` when there is none.
size_t find_value_end(const char* p, size_t i, size_t n);

// True when `s` is well-formed UTF-8.
bool valid_utf8(std::string_view s);

}  // namespace velmora::http1
