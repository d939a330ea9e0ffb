// Hashes for header-name lookup: a fast unkeyed mix for ordinary input and SipHash-1-3 with a
// random per-process key for maps that have seen colliding names.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http {

uint32_t fast_hash(std::string_view s) noexcept;
uint32_t keyed_hash(std::string_view s) noexcept;

}  // namespace velmora::http
