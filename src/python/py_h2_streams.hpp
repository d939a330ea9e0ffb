// The Python classes of the HTTP/2 connection object: H2Streams (py_h2_streams.cpp) and its
// result classes (py_h2_verdicts.cpp). Builders take core results after the connection's lock
// was released and return new references (null with an exception set on failure).
#pragma once

#include <optional>
#include <string>

#include "http2/connection.hpp"
#include "python/pyref.hpp"

namespace velmora::py {

PyObject* h2_streams_type();
PyObject* h2_stopped_type();
PyObject* h2_send_verdict_type();
PyObject* h2_headers_verdict_type();
PyObject* h2_data_verdict_type();
PyObject* h2_reset_verdict_type();

// A stored handle as the object it holds (its reference moves to the caller), or None.
PyObject* handle_object(http2::Handle&& h);
PyObject* stop_object(const http2::Stop& stop);
PyObject* stop_or_none(const std::optional<http2::Stop>& stop);
PyObject* send_verdict_object(http2::SendVerdict&& v);
PyObject* headers_verdict_object(http2::HeadersVerdict&& v);
// `payload`: the DATA frame's payload object, returned when the verdict delivers it.
PyObject* data_verdict_object(http2::DataVerdict&& v, PyObject* payload);
PyObject* reset_verdict_object(http2::ResetVerdict&& v);
// A new H2WriteBatch holding `bytes` and a reference to `owner` (an H2Streams). On failure the
// buffer goes straight back to the owner.
PyObject* write_batch_object(PyObject* owner, std::string&& bytes);
// Gives a released batch's buffer back to its H2Streams `owner`.
void streams_return_buffer(PyObject* owner, std::string&& bytes);

}  // namespace velmora::py
