#include "http2/stream_store.hpp"

#include <chrono>
#include <random>

namespace velmora::http2 {

uint64_t StreamIdHash::seed() {
  static const uint64_t s = [] {
    std::random_device rd;
    uint64_t v = (uint64_t(rd()) << 32) ^ rd();
    return v ^ uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  }();
  return s;
}

size_t stream_store_heap_bytes(const StreamStore& store) {
  // A node holds the next pointer and the value; glibc rounds each block up to 16 bytes and
  // adds an 8-byte header.
  constexpr size_t node = sizeof(void*) + sizeof(StreamStore::value_type);
  constexpr size_t block = (node + 8 + 15) / 16 * 16;
  return store.size() * block + store.bucket_count() * sizeof(void*);
}

}  // namespace velmora::http2
