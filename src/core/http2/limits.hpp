// The 31-bit limits of HTTP/2: the largest flow-control window (RFC 9113 section 6.9.1) and the
// largest stream identifier (section 5.1.1).
#pragma once

#include <cstdint>

namespace velmora::http2 {

inline constexpr uint32_t kMaxWindowSize = 2147483647;  // 2^31-1
inline constexpr uint32_t kMaxStreamId = 2147483647;    // 2^31-1

}  // namespace velmora::http2
