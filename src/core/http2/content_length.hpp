// The declared content-length of a received HTTP/2 message and how much of it is still to
// come (RFC 9113 section 8.1.1: DATA beyond the declared length, or a message ending short of
// it, is malformed). The value has no lock of its own.
#pragma once

#include <cstdint>

namespace velmora::http2 {

class ContentLength {
 public:
  enum class Kind : uint8_t {
    kOmitted,    // no content-length declared
    kHead,       // the response to a HEAD request: it carries no DATA
    kRemaining,  // `remaining()` bytes still expected
  };

  explicit ContentLength(bool is_head = false) : kind_(is_head ? Kind::kHead : Kind::kOmitted) {}

  // A declared length; a HEAD response keeps expecting no DATA whatever it declares.
  void set(uint64_t value) {
    if (kind_ == Kind::kHead) return;
    kind_ = Kind::kRemaining;
    remaining_ = value;
  }
  // Accounts `len` received bytes; false (and no change) when they exceed what may arrive.
  bool dec(uint64_t len) {
    switch (kind_) {
      case Kind::kOmitted:
        return true;
      case Kind::kHead:
        return len == 0;
      case Kind::kRemaining:
        break;
    }
    if (len > remaining_) return false;
    remaining_ -= len;
    return true;
  }
  bool is_head() const { return kind_ == Kind::kHead; }
  bool is_satisfied() const { return kind_ != Kind::kRemaining || remaining_ == 0; }

  Kind kind() const { return kind_; }
  uint64_t remaining() const { return remaining_; }

 private:
  Kind kind_;
  uint64_t remaining_ = 0;
};

}  // namespace velmora::http2
