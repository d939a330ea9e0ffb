// The stream store of an HTTP/2 connection: one record per stream the connection still tracks,
// found by id in constant time.
//
// The map's hash is seeded once per process, so a peer that picks its stream ids cannot aim
// them at one bucket. The store has no lock of its own: the connection guards it with its
// state mutex.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "http2/content_length.hpp"
#include "http2/flow_control.hpp"
#include "http2/handle.hpp"
#include "http2/stream_state.hpp"

namespace velmora::http2 {

struct StreamRecord {
  StreamState state;
  ContentLength content_length;
  Handle handle;  // the driver's stream handle
  FlowControl send_flow;
  FlowControl recv_flow;
  uint64_t send_buffered = 0;        // bytes queued or in a taken batch, not yet credited
  uint64_t data_budget_charged = 0;  // DATA-budget charges of chunks not yet released
  uint32_t recv_unreleased = 0;      // received flow-controlled bytes not yet released
  bool recv_reclaimed = false;       // in-flight receive capacity already given back
  bool holds_slot = false;           // counts against a client concurrency slot
  bool close_accounted = false;      // the closing was already counted
  bool tunnel = false;  // an extended CONNECT (RFC 8441): the request side outlives the response

  StreamRecord(bool is_head, int32_t send_window, int32_t recv_window, Handle h)
      : content_length(is_head),
        handle(std::move(h)),
        send_flow(send_window, send_window),
        recv_flow(recv_window, recv_window) {}
  bool fully_released() const { return recv_unreleased == 0 && data_budget_charged == 0; }
};

// A stream-id hash seeded per process (splitmix64 finaliser).
struct StreamIdHash {
  static uint64_t seed();
  size_t operator()(uint32_t id) const noexcept {
    uint64_t z = uint64_t(id) + seed_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return size_t(z ^ (z >> 31));
  }
  uint64_t seed_ = seed();
};

using StreamStore = std::unordered_map<uint32_t, StreamRecord, StreamIdHash>;
using IdSet = std::unordered_set<uint32_t, StreamIdHash>;

// The heap bytes of `store`'s nodes and buckets (an estimate through the node layout).
size_t stream_store_heap_bytes(const StreamStore& store);

}  // namespace velmora::http2
