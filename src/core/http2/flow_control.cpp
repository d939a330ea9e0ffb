#include "http2/flow_control.hpp"

#include <string>

namespace velmora::http2 {
namespace {

// value += delta when the result stays in the signed 32-bit range.
bool checked_add(int32_t& value, int64_t delta) {
  const int64_t r = int64_t(value) + delta;
  if (r < INT32_MIN || r > INT32_MAX) return false;
  value = int32_t(r);
  return true;
}

FlowStatus add(int32_t& value, uint32_t size, bool subtract) {
  if (size > kMaxWindowSize) return FlowStatus::kSizeTooLarge;
  return checked_add(value, subtract ? -int64_t(size) : int64_t(size)) ? FlowStatus::kOk
                                                                       : FlowStatus::kFlowControl;
}

}  // namespace

PendingError flow_status_error(FlowStatus status, uint32_t size) {
  if (status == FlowStatus::kSizeTooLarge) {
    std::string m = "window size " + std::to_string(size) + " exceeds the maximum " +
                    std::to_string(kMaxWindowSize) + " (RFC 9113 6.9.1)";
    return PendingError(ExcClass::kValueError, ErrArg::text(std::move(m)));
  }
  return flow_control_error();
}

std::optional<int64_t> FlowControl::unclaimed_capacity() const {
  if (window_ >= available_) return std::nullopt;
  // In 64 bits: with a negative window the difference may exceed the 32-bit range.
  const int64_t unclaimed = int64_t(available_) - int64_t(window_);
  const int64_t threshold = window_ / 2;
  if (unclaimed < threshold) return std::nullopt;
  return unclaimed;
}

FlowStatus FlowControl::claim_capacity(uint32_t capacity) {
  return add(available_, capacity, true);
}

FlowStatus FlowControl::assign_capacity(uint32_t capacity) {
  return add(available_, capacity, false);
}

FlowStatus FlowControl::inc_window(uint32_t sz) {
  return add(window_, sz, false);
}

FlowStatus FlowControl::dec_send_window(uint32_t sz) {
  return add(window_, sz, true);
}

FlowStatus FlowControl::dec_recv_window(uint32_t sz) {
  FlowStatus s = add(window_, sz, true);
  if (s != FlowStatus::kOk) return s;
  return add(available_, sz, true);
}

FlowStatus FlowControl::send_data(uint32_t sz) {
  if (sz == 0) return FlowStatus::kOk;
  if (sz > window_size()) return FlowStatus::kFlowControl;
  // sz <= window_ <= 2^31-1, so the window cannot underflow.
  window_ -= int32_t(sz);
  return checked_add(available_, -int64_t(sz)) ? FlowStatus::kOk : FlowStatus::kFlowControl;
}

FlowStatus FlowControl::shift_window(int64_t delta) {
  return checked_add(window_, delta) ? FlowStatus::kOk : FlowStatus::kFlowControl;
}

FlowStatus FlowControl::shift_available(int64_t delta) {
  return checked_add(available_, delta) ? FlowStatus::kOk : FlowStatus::kFlowControl;
}

}  // namespace velmora::http2
