// Byte classes of RFC 9110 and RFC 3986 as 256-entry tables.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http {

enum CharClass : uint8_t {
  kTokenChar = 1 << 0,       // tchar (RFC 9110 section 5.6.2)
  kFieldValueChar = 1 << 1,  // HTAB, SP, VCHAR, obs-text (RFC 9110 section 5.5)
  kUriChar = 1 << 2,         // unreserved, sub-delims, gen-delims and "%" (RFC 3986)
  kQueryExtraChar = 1 << 3,  // bytes a query admits beyond kUriChar in practice: { } | \ ^ ` " < >
  kSchemeChar = 1 << 4,      // ALPHA DIGIT + - .
  kHexDigit = 1 << 5,
};

extern const uint8_t kCharClass[256];

inline bool is_token_char(uint8_t c) {
  return kCharClass[c] & kTokenChar;
}
inline bool is_field_value_char(uint8_t c) {
  return kCharClass[c] & kFieldValueChar;
}
inline bool is_uri_char(uint8_t c) {
  return kCharClass[c] & kUriChar;
}
inline bool is_query_char(uint8_t c) {
  return kCharClass[c] & (kUriChar | kQueryExtraChar);
}
inline bool is_scheme_char(uint8_t c) {
  return kCharClass[c] & kSchemeChar;
}

inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

// True when every byte of `s` is a token character and `s` is a valid field name length.
bool is_valid_field_name(std::string_view s);
// True when no byte of `s` is a forbidden control byte (0x00-0x08, 0x0A-0x1F, 0x7F).
bool is_valid_field_value(std::string_view s);
// Validates a field name and writes it lower-cased to `out` (which holds s.size() bytes).
bool lower_field_name(std::string_view s, char* out);

bool ascii_iequals(std::string_view a, std::string_view b);

}  // namespace velmora::http
