// Base64 encoding with the standard alphabet and padding (RFC 4648 section 4).
#pragma once

#include <string>
#include <string_view>

namespace velmora::http {

std::string base64_encode(std::string_view data);

}  // namespace velmora::http
