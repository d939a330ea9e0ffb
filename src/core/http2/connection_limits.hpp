// The limits and defaults of an HTTP/2 connection, in one place.
#pragma once

#include <cstdint>
#include <string_view>

#include "http2/frame.hpp"

namespace velmora::http2::limits {

// Peer resets of requests the application has not pulled yet (the Rapid-Reset defence).
inline constexpr uint64_t kDefaultMaxPendingAcceptResetStreams = 20;
// Resets a peer makes this side pay for (its resets of streams that had no response yet, and
// the resets its stream errors force): a burst of this many, refilled at the rate below. Past
// it the connection ends with ENHANCE_YOUR_CALM.
inline constexpr uint64_t kDefaultMaxResetBurst = 200;
inline constexpr uint64_t kResetRefillPerSecond = 50;
inline constexpr std::string_view kResetRateMessage = "stream resets above the allowed rate";
// Resets this side sends after peer stream errors, over the connection's life.
inline constexpr uint64_t kDefaultMaxLocalErrorResetStreams = 1024;

// Recently reset streams remembered so that frames still in flight on them are swallowed
// (streams reset by this side) or so that a late sender learns the peer's reason (streams reset
// by the peer). Each kind holds at most this many entries, each for at most this long.
inline constexpr uint32_t kResetStoreCapacity = 50;
inline constexpr uint64_t kResetStoreTtlNs = 1'000'000'000;

// Control frames queued in reply to the peer (SETTINGS ACK, PING ACK, RST_STREAM) and not yet
// taken by the write pump. A peer that keeps provoking them while never reading would
// otherwise grow the pending buffer without limit; the next one past the cap is a connection
// error ENHANCE_YOUR_CALM.
inline constexpr uint32_t kMaxQueuedControlFrames = 1000;

// The payload of the PING that closes phase 1 of a graceful shutdown.
inline constexpr std::string_view kShutdownPingPayload = "SHUTDOWN";

// The id space: next_stream_id at or above this is exhausted.
inline constexpr uint64_t kStreamIdSpaceEnd = uint64_t(1) << 31;

// Initial connection-level windows (RFC 9113 section 6.9.2).
inline constexpr int32_t kDefaultWindow = 65535;

}  // namespace velmora::http2::limits
