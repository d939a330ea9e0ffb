// UTF-8 validation and lossy decoding (RFC 3629).
#pragma once

#include <string>
#include <string_view>

namespace velmora::http {

bool is_valid_utf8(std::string_view s);

// `s` with every ill-formed sequence replaced by U+FFFD, one replacement per maximal subpart
// (Unicode 15, section 3.9, "U+FFFD Substitution of Maximal Subparts").
std::string utf8_lossy(std::string_view s);

}  // namespace velmora::http
