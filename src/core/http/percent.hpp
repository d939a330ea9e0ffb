// Percent-decoding (RFC 3986 section 2.1).
#pragma once

#include <string>
#include <string_view>

namespace velmora::http {

// Every "%" followed by two hex digits becomes that byte; any other "%" stays as it is.
std::string percent_decode(std::string_view s);

}  // namespace velmora::http
