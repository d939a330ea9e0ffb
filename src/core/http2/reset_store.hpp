// Streams recently reset and no longer in the stream store.
//
// Streams reset by this side are remembered so that frames the peer sent before it saw the
// RST_STREAM are swallowed instead of treated as errors. Streams reset by the peer are
// remembered with the peer's reason, so that a sender that comes late still learns why its
// stream is gone. Each kind holds at most kResetStoreCapacity entries; entries older than
// kResetStoreTtlNs are purged whenever one is recorded. Bounded, so every operation is O(1).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "http2/connection_limits.hpp"

namespace velmora::http2 {

class ResetStore {
 public:
  // Purges expired local entries, then records `sid` when there is room; false when full.
  bool record_local(uint32_t sid, uint64_t now_ns) { return local_.record(sid, 0, now_ns); }
  bool record_remote(uint32_t sid, uint32_t reason, uint64_t now_ns) {
    return remote_.record(sid, reason, now_ns);
  }
  bool has_local(uint32_t sid) const { return local_.find(sid) >= 0; }
  std::optional<uint32_t> remote_reason(uint32_t sid) const {
    int i = remote_.find(sid);
    if (i < 0) return std::nullopt;
    return remote_.items[i].reason;
  }
  size_t local_size() const { return local_.items.size(); }
  size_t heap_bytes() const {
    return (local_.items.capacity() + remote_.items.capacity()) * sizeof(Entry);
  }

 private:
  struct Entry {
    uint32_t sid;
    uint32_t reason;
    uint64_t at;
  };
  struct Ring {
    std::vector<Entry> items;  // oldest first; allocated on the first reset
    int find(uint32_t sid) const {
      for (size_t i = 0; i < items.size(); ++i)
        if (items[i].sid == sid) return int(i);
      return -1;
    }
    bool record(uint32_t sid, uint32_t reason, uint64_t now) {
      size_t keep = 0;
      for (size_t i = 0; i < items.size(); ++i)
        if (now - items[i].at < limits::kResetStoreTtlNs) items[keep++] = items[i];
      items.resize(keep);
      int at = find(sid);
      if (at >= 0) {
        items[at].reason = reason;
        items[at].at = now;
        return true;
      }
      if (items.size() >= limits::kResetStoreCapacity) return false;
      items.push_back(Entry{sid, reason, now});
      return true;
    }
  };
  Ring local_;
  Ring remote_;
};

}  // namespace velmora::http2
