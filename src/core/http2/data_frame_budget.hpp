// The connection's budget against floods of small or empty DATA frames.
//
// Flow control bounds payload bytes, not frame count: a peer that splits its data into many
// tiny frames stays inside every window while each frame costs the receiver a buffered chunk.
// Each non-final frame below the overhead threshold pays for the overhead it imposes, larger
// frames earn it back, and empty frames count against a lifetime allowance. The value has no
// lock of its own.
#pragma once

#include <cstdint>
#include <optional>

#include "http/errors.hpp"

namespace velmora::http2 {

inline constexpr uint64_t kDataFrameOverheadThreshold = 256;
inline constexpr uint64_t kDefaultDataFrameBudget = 25600;
inline constexpr uint64_t kMaxRecvEmptyDataFrames = 100;

// H2ProtocolError(11, "too_many_data_frames"): answered with GOAWAY(ENHANCE_YOUR_CALM).
PendingError data_frame_flood_error();

class DataFrameBudget {
 public:
  // The budget: `configured` when given; else half the connection window with a floor of
  // kDefaultDataFrameBudget; else half the default connection window.
  static uint64_t resolve_cap(std::optional<uint64_t> configured,
                              std::optional<uint32_t> connection_window);

  explicit DataFrameBudget(uint64_t cap) : available_(cap), cap_(cap) {}

  // Charges one received non-final DATA frame; the charge is returned in `charge` (0 for
  // frames that cost nothing). False on a flood; then only the empty-frame count changed.
  bool record(uint64_t payload_len, uint64_t& charge);
  // Gives back a charge once the chunk it paid for has been consumed.
  void release(uint64_t charge);

  uint64_t available() const { return available_; }
  uint64_t cap() const { return cap_; }
  uint64_t empty_frames() const { return empty_frames_; }

 private:
  void credit(uint64_t amount);

  uint64_t available_;
  uint64_t cap_;
  uint64_t empty_frames_ = 0;
};

}  // namespace velmora::http2
