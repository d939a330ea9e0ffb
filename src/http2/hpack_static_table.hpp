// The HPACK static table (RFC 7541 Appendix A) and its lookups for the encoder.
#pragma once

#include <cstdint>
#include <string_view>

#include "http2/hpack_tables.hpp"

namespace velmora::hpack {

inline constexpr uint32_t kStaticTableSize = 61;

// Entry `index`, 1-based; the caller checks 1 <= index <= 61.
inline const StaticEntry& static_entry(uint32_t index) {
  return kStaticTable[index - 1];
}

// Looks `name` and `value` up: returns the index of an entry matching both and sets `exact`,
// else the first index with the name, else 0.
uint32_t static_find(std::string_view name, std::string_view value, bool& exact);

}  // namespace velmora::hpack
