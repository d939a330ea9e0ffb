// The close handshake (RFC 6455 section 7) as a state machine, the same for both roles.
#pragma once

#include <cstdint>

namespace velmora::ws {

class CloseHandshake {
 public:
  // The values of WSConnection.state.
  enum class Phase : uint8_t { kOpen = 0, kClosing = 1, kClosed = 2 };
  enum class Event : uint8_t { kSend, kReceive };

  // Applies `e`; false (and no change) for a pair the handshake does not allow: a second Close
  // sent or received.
  bool apply(Event e);

  Phase phase() const;
  bool sent() const { return state_ == State::kSent || state_ == State::kClosed; }
  bool received() const { return state_ == State::kReceived || state_ == State::kClosed; }

 private:
  enum class State : uint8_t { kOpen, kSent, kReceived, kClosed };
  State state_ = State::kOpen;
};

}  // namespace velmora::ws
