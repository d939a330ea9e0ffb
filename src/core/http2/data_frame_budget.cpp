#include "http2/data_frame_budget.hpp"

#include "http2/flow_control.hpp"

namespace velmora::http2 {

PendingError data_frame_flood_error() {
  return protocol_error(11, "too_many_data_frames");
}

uint64_t DataFrameBudget::resolve_cap(std::optional<uint64_t> configured,
                                      std::optional<uint32_t> connection_window) {
  if (configured) return *configured;
  if (connection_window) {
    const uint64_t half = *connection_window / 2;
    return half > kDefaultDataFrameBudget ? half : kDefaultDataFrameBudget;
  }
  return kDefaultInitialWindowSize / 2;
}

void DataFrameBudget::credit(uint64_t amount) {
  // Saturating, and never above the cap.
  available_ = amount >= cap_ - available_ ? cap_ : available_ + amount;
}

bool DataFrameBudget::record(uint64_t payload_len, uint64_t& charge) {
  charge = 0;
  if (payload_len == 0) {
    const uint64_t before = empty_frames_;
    if (empty_frames_ != UINT64_MAX) ++empty_frames_;
    return before < kMaxRecvEmptyDataFrames;
  }
  if (payload_len >= kDataFrameOverheadThreshold) {
    credit(payload_len - kDataFrameOverheadThreshold);
    return true;
  }
  const uint64_t cost = kDataFrameOverheadThreshold - payload_len;
  if (available_ < cost) return false;
  available_ -= cost;
  charge = cost;
  return true;
}

void DataFrameBudget::release(uint64_t charge) {
  credit(charge);
}

}  // namespace velmora::http2
