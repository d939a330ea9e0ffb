// The budget of stream resets a peer may make this side pay for: streams it opens and resets
// before any response was sent (Rapid Reset), and streams whose violations make this side reset
// them. Each such reset has cost a request's work; a token bucket holds `burst` tokens and
// refills at `per_second`, so a steady trickle of cancels goes on while a flood ends the
// connection with ENHANCE_YOUR_CALM. Counted on the clock the connection is given, whatever the
// driver does with the streams. No lock of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace velmora::http2 {

class ResetBudget {
 public:
  // `burst`: none means no limit.
  ResetBudget(std::optional<uint64_t> burst, uint64_t per_second)
      : cap_(burst && *burst < kUnbounded ? std::optional<uint64_t>(*burst * kScale)
                                          : std::nullopt),
        per_second_(per_second),
        tokens_(cap_.value_or(0)) {}

  // Spends one token at `now_ns`; false (nothing spent) when none is left.
  bool take(uint64_t now_ns) {
    if (!cap_) return true;
    if (now_ns > last_ns_) {
      const uint64_t elapsed = now_ns - last_ns_;
      const uint64_t gain = per_second_ && elapsed > UINT64_MAX / per_second_
                                ? UINT64_MAX
                                : elapsed * per_second_;  // tokens * kScale
      tokens_ = gain > *cap_ - tokens_ ? *cap_ : tokens_ + gain;
      last_ns_ = now_ns;
    }
    if (tokens_ < kScale) return false;
    tokens_ -= kScale;
    return true;
  }

  std::optional<uint64_t> burst() const {
    if (!cap_) return std::nullopt;
    return *cap_ / kScale;
  }

 private:
  static constexpr uint64_t kScale = 1'000'000'000;  // a token, in token-nanoseconds
  static constexpr uint64_t kUnbounded = UINT64_MAX / kScale;
  std::optional<uint64_t> cap_;
  uint64_t per_second_;
  uint64_t tokens_;
  uint64_t last_ns_ = 0;
};

}  // namespace velmora::http2
