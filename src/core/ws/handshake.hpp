// The server's checks of a WebSocket opening handshake: RFC 6455 section 4.2.1 over HTTP/1.1,
// RFC 8441 section 4 over HTTP/2 (where the HTTP/2 layer has checked the extended CONNECT).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/header_map.hpp"

namespace velmora::ws {

struct RequestCheck {
  int status = 0;            // 0: valid; else the HTTP status to answer (400, 426)
  const char* message = "";  // why it was refused
  std::string_view key;      // Sec-WebSocket-Key (views the header map)
  std::vector<std::string_view> subprotocols;  // every Sec-WebSocket-Protocol line, in order
  std::string extensions;  // every Sec-WebSocket-Extensions line joined with ", "
};

// Null when the request does not ask for a WebSocket (HTTP/1.1 without the `websocket` token
// in Upgrade).
std::optional<RequestCheck> check_request(std::string_view method, bool http2,
                                          const http::HeaderMap& headers);

// Whether `key` is the base64 form of 16 bytes: 22 characters, the last holding 2 bits, and
// `==` (RFC 4648 section 4).
bool is_valid_key(std::string_view key);

}  // namespace velmora::ws
