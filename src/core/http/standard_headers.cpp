#include "http/standard_headers.hpp"

#include "http/hash.hpp"

namespace velmora::http {
// Built when the library loads, so that lookups need no first-use check.
const StandardHeaderIndex kStandardHeaderIndex = [] {
  StandardHeaderIndex t;
  t.slot.fill(-1);
  for (int i = 0; i < kStandardHeaderCount; ++i) {
    t.hash[i] = fast_hash(kStandardHeaders[i]);
    uint32_t k = t.hash[i] & (StandardHeaderIndex::kSlots - 1);
    while (t.slot[k] >= 0)
      k = (k + 1) & (StandardHeaderIndex::kSlots - 1);
    t.slot[k] = static_cast<int16_t>(i);
  }
  return t;
}();

int find_standard_header(std::string_view s) noexcept {
  return find_standard_header(s, fast_hash(s));
}

}  // namespace velmora::http
