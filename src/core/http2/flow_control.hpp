// One HTTP/2 flow-control window (RFC 9113 section 6.9): the window as the peer knows it and
// the capacity available to the local side.
//
// Both are signed 32-bit: a SETTINGS_INITIAL_WINDOW_SIZE decrease may take a window below zero
// (section 6.9.2), and the largest legal window is 2^31-1 (section 6.9.1), so every change is a
// checked signed 32-bit addition or subtraction. The value has no lock of its own.
#pragma once

#include <cstdint>
#include <optional>

#include "http/errors.hpp"
#include "http2/limits.hpp"

namespace velmora::http2 {

inline constexpr uint32_t kDefaultInitialWindowSize = 65535;

enum class FlowStatus : uint8_t {
  kOk,
  kSizeTooLarge,  // an increment or decrement above 2^31-1: ValueError naming the size
  kFlowControl,   // the window or the capacity would leave the signed 32-bit range
};

// The exception for a failed status; `size` is the argument that was refused.
PendingError flow_status_error(FlowStatus status, uint32_t size);

class FlowControl {
 public:
  FlowControl() = default;
  FlowControl(int32_t window, int32_t available) : window_(window), available_(available) {}

  // The window, or 0 while it is negative.
  uint32_t window_size() const { return window_ < 0 ? 0 : uint32_t(window_); }
  int32_t raw_window() const { return window_; }
  int32_t available() const { return available_; }
  // False while the window is negative; else whether less capacity is available than the
  // window allows.
  bool has_unavailable() const { return window_ >= 0 && available_ < window_; }
  // Receive side: the WINDOW_UPDATE increment worth sending now, if any. An update is due once
  // the capacity released beyond the window reaches half of the window the peer still sees.
  std::optional<int64_t> unclaimed_capacity() const;

  FlowStatus claim_capacity(uint32_t capacity);   // available -= capacity
  FlowStatus assign_capacity(uint32_t capacity);  // available += capacity
  FlowStatus inc_window(uint32_t sz);             // window += sz
  FlowStatus dec_send_window(uint32_t sz);        // window -= sz
  // window -= sz, then available -= sz. A failure of the second step keeps the first.
  FlowStatus dec_recv_window(uint32_t sz);
  // DATA of `sz` bytes sent: refused before any change when it does not fit the window; then
  // window -= sz and available -= sz (a failure of the latter keeps the former).
  FlowStatus send_data(uint32_t sz);

  // Signed adjustments used when SETTINGS_INITIAL_WINDOW_SIZE changes (checked; no change on
  // failure).
  FlowStatus shift_window(int64_t delta);
  FlowStatus shift_available(int64_t delta);
  // Announces the whole available capacity to the peer (after a WINDOW_UPDATE is queued).
  void set_window_to_available() { window_ = available_; }

  bool operator==(const FlowControl&) const = default;

 private:
  int32_t window_ = 0;
  int32_t available_ = 0;
};

}  // namespace velmora::http2
