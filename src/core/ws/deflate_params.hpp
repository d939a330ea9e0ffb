// The negotiated parameters of permessage-deflate (RFC 7692 section 7.1).
#pragma once

#include <cstdint>

namespace velmora::ws {

struct DeflateParams {
  bool server_no_context_takeover = false;
  bool client_no_context_takeover = false;
  uint8_t server_max_window_bits = 15;  // 8..15
  uint8_t client_max_window_bits = 15;  // 8..15
};

}  // namespace velmora::ws
