// The error value that closes an HTTP/2 stream or connection, and who caused it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/errors.hpp"

namespace velmora::http2 {

enum class Initiator : uint8_t { kUser, kLibrary, kRemote };

std::string_view initiator_name(Initiator i);  // "user", "library", "remote"

class StreamError {
 public:
  enum class Variant : uint8_t { kReset, kGoAway, kIo };

  static StreamError reset(uint32_t stream_id, uint32_t reason, Initiator who) {
    StreamError e(Variant::kReset);
    e.stream_id_ = stream_id;
    e.reason_ = reason;
    e.initiator_ = who;
    return e;
  }
  static StreamError go_away(std::string debug_data, uint32_t reason, Initiator who) {
    StreamError e(Variant::kGoAway);
    e.data_ = std::move(debug_data);
    e.reason_ = reason;
    e.initiator_ = who;
    return e;
  }
  // An I/O failure; an empty message reads as the kind's standard text.
  static StreamError io(IoKind kind, std::string message = {}) {
    StreamError e(Variant::kIo);
    e.io_ = kind;
    e.data_ = std::move(message);
    return e;
  }

  Variant variant() const { return variant_; }
  uint32_t stream_id() const { return stream_id_; }
  uint32_t reason() const { return reason_; }
  Initiator initiator() const { return initiator_; }
  IoKind io_kind() const { return io_; }
  // GoAway: the debug data; Io: the stored message (possibly empty).
  const std::string& data() const { return data_; }

  bool operator==(const StreamError&) const = default;

  PendingError to_pending() const;

 private:
  explicit StreamError(Variant v) : variant_(v) {}
  Variant variant_;
  Initiator initiator_ = Initiator::kLibrary;
  IoKind io_ = IoKind::kOther;
  uint32_t stream_id_ = 0;
  uint32_t reason_ = 0;
  std::string data_;
};

}  // namespace velmora::http2
