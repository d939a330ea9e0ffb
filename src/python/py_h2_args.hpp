// Argument conversions shared by the HTTP/2 bindings. Like every conversion of the boundary
// they may run Python code or raise: call them before taking an object lock.
#pragma once

#include "http2/stream_error.hpp"
#include "python/pyref.hpp"

#include <cstdint>

namespace velmora::py {

// An HTTP/2 stream identifier: an unsigned 32-bit int (else TypeError/OverflowError) in
// 0..2147483647; larger values raise ValueError "<arg> must be <= 2147483647, got <value>".
bool stream_id_arg(PyObject* o, const char* arg, uint32_t& out);

// Who resets a stream: "user", "library" or "remote" (a str, else TypeError); any other text
// raises ValueError "initiator must be 'user' | 'library' | 'remote', got <quoted text>".
bool initiator_arg(PyObject* o, const char* function, http2::Initiator& out);

}  // namespace velmora::py
