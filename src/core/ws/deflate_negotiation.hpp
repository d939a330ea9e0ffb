// permessage-deflate negotiation (RFC 7692 section 7.1): the server's choice among the
// client's offers, the client's offer, and the client's check of the server's answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ws/deflate_params.hpp"

namespace velmora::ws {

struct DeflateAgreement {
  std::string response;  // the Sec-WebSocket-Extensions value of the answer
  DeflateParams params;
};

// Server: the first acceptable permessage-deflate offer in `offers`, answered with windows of at
// most `max_window_bits` (8..15); `no_context_takeover` asks both sides to reset after each
// message. None when no offer is acceptable, none is made, or the value is malformed.
std::optional<DeflateAgreement> negotiate_deflate(std::string_view offers, int max_window_bits,
                                                  bool no_context_takeover);

// Client: the offer. `client_max_window_bits` 0 offers the parameter without a value (the
// server may then limit our window).
std::string deflate_offer(int client_max_window_bits, bool client_no_context_takeover);

// Client: the server's answer, or null with `error` set when it is not an acceptable answer to
// our offer (any other extension, a parameter twice, an unknown one, a bad value, a client
// window above the `offered_client_bits` we offered: 0 when offered without a value).
std::optional<DeflateParams> accept_deflate(std::string_view response, int offered_client_bits,
                                            const char*& error);

}  // namespace velmora::ws
