#include "ws/close_handshake.hpp"

namespace velmora::ws {

bool CloseHandshake::apply(Event e) {
  // Every transition of the handshake; any other (state, event) pair is an error.
  struct Transition {
    State from;
    Event event;
    State to;
  };
  static constexpr Transition kTable[] = {
      {State::kOpen, Event::kSend, State::kSent},
      {State::kOpen, Event::kReceive, State::kReceived},
      {State::kSent, Event::kReceive, State::kClosed},
      {State::kReceived, Event::kSend, State::kClosed},
  };
  for (const Transition& t : kTable)
    if (t.from == state_ && t.event == e) {
      state_ = t.to;
      return true;
    }
  return false;
}

CloseHandshake::Phase CloseHandshake::phase() const {
  switch (state_) {
    case State::kOpen:
      return Phase::kOpen;
    case State::kClosed:
      return Phase::kClosed;
    default:
      return Phase::kClosing;
  }
}

}  // namespace velmora::ws
