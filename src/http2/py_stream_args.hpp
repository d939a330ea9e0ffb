// Argument checks shared by the HTTP/2 stream bindings.
#pragma once

#include <cstdint>

#include "module/boundary.hpp"

namespace velmora::py {

// A stream id lies in the 31-bit stream-id space; 2^31 and above raise ValueError naming `arg`.
bool check_stream_id(uint32_t sid, const char* arg);

}  // namespace velmora::py
