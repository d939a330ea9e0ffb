// The fuzz input read as a stream of decisions: bytes, 16-bit numbers and runs of bytes, with
// zeros once the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace fuzz {

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint32_t u16() { return uint32_t(byte()) << 8 | byte(); }
  std::string_view take(size_t k) {
    k = k < n ? k : n;
    std::string_view s(reinterpret_cast<const char*>(p), k);
    p += k;
    n -= k;
    return s;
  }
};

// A property the target checks: its failure is a finding.
inline void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace fuzz
