// Close status codes (RFC 6455 section 7.4).
#pragma once

#include <cstdint>

namespace velmora::ws {

namespace close_code {
inline constexpr uint16_t kNormal = 1000;
inline constexpr uint16_t kGoingAway = 1001;
inline constexpr uint16_t kProtocolError = 1002;
inline constexpr uint16_t kNoStatus = 1005;  // reported for an empty Close; never sent
inline constexpr uint16_t kAbnormal = 1006;  // never sent
inline constexpr uint16_t kInvalidPayload = 1007;
inline constexpr uint16_t kTooBig = 1009;
}  // namespace close_code

// Whether a Close frame may carry `code`: the codes defined by RFC 6455 section 7.4.1 and the
// IANA registry that an endpoint may send (1000-1003, 1007-1014), and the ranges for libraries
// and applications (3000-4999). Refused: below 1000, 1004 (reserved), 1005, 1006 and 1015 (for
// reports only), the unassigned 1016-2999 and everything from 5000.
bool is_sendable_close_code(uint32_t code);

}  // namespace velmora::ws
