// HTTP/2 frame header, frame types, flags and limits (RFC 9113 sections 4 and 6).
#pragma once

#include <cstdint>
#include <string_view>

#include "http2/limits.hpp"

namespace velmora::http2 {

inline constexpr size_t kFrameHeaderSize = 9;
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
inline constexpr uint32_t kMaxMaxFrameSize = 16777215;
inline constexpr uint32_t kDefaultHeaderTableSize = 4096;
inline constexpr uint64_t kDefaultMaxHeaderListSize = 16777216;

inline constexpr std::string_view kPreface = {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 24};

enum class FrameType : uint8_t {
  kData = 0,
  kHeaders = 1,
  kPriority = 2,
  kRstStream = 3,
  kSettings = 4,
  kPushPromise = 5,
  kPing = 6,
  kGoAway = 7,
  kWindowUpdate = 8,
  kContinuation = 9,
};

namespace flags {
inline constexpr uint8_t kEndStream = 0x1;
inline constexpr uint8_t kAck = 0x1;
inline constexpr uint8_t kEndHeaders = 0x4;
inline constexpr uint8_t kPadded = 0x8;
inline constexpr uint8_t kPriority = 0x20;
}  // namespace flags

// SETTINGS identifiers 1..6 (RFC 9113 section 6.5.2) and extended CONNECT (RFC 8441).
enum SettingId : uint16_t {
  kHeaderTableSize = 1,
  kEnablePush = 2,
  kMaxConcurrentStreams = 3,
  kInitialWindowSize = 4,
  kMaxFrameSize = 5,
  kMaxHeaderListSize = 6,
  kEnableConnectProtocol = 8,
};

// The values of settings 1..6 and 8, each present or not.
struct Settings {
  uint8_t present = 0;  // bit (id - 1)
  uint32_t value[8] = {};
  bool has(SettingId id) const { return present & (1u << (id - 1)); }
  uint32_t get(SettingId id) const { return value[id - 1]; }
  void set(SettingId id, uint32_t v) {
    present |= uint8_t(1u << (id - 1));
    value[id - 1] = v;
  }
};

inline uint32_t read_u24(const uint8_t* p) {
  return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}
inline uint32_t read_u32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void write_u32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
// Writes a frame header; the reserved bit is always 0.
inline void write_frame_header(uint8_t* p, uint32_t length, FrameType type, uint8_t flags,
                               uint32_t stream_id) {
  p[0] = uint8_t(length >> 16);
  p[1] = uint8_t(length >> 8);
  p[2] = uint8_t(length);
  p[3] = uint8_t(type);
  p[4] = flags;
  write_u32(p + 5, stream_id & 0x7fffffffu);
}

// Classifies a connection's first bytes against the client preface: 1 complete, 0 incomplete
// but matching so far, -1 diverged.
inline int match_preface(std::string_view data) {
  size_t n = data.size() < kPreface.size() ? data.size() : kPreface.size();
  if (data.substr(0, n) != kPreface.substr(0, n)) return -1;
  return n == kPreface.size() ? 1 : 0;
}

}  // namespace velmora::http2
