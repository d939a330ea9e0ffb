// Python classes of the HTTP/1 codec and what the connection-state bindings need from them.
#pragma once

#include "python/pyref.hpp"
#include "http/lock.hpp"
#include "http1/body_decoder.hpp"
#include "http1/codec.hpp"
#include "http1/head_serializer.hpp"
#include "http1/request_head.hpp"
#include "http1/response_head.hpp"

namespace velmora::py {

// Class objects (borrowed; created on first need).
PyObject* h1_codec_type();
PyObject* h1_request_head_type();
PyObject* h1_response_head_type();
PyObject* h1_body_decoder_type();
PyObject* h1_server_state_type();
PyObject* h1_client_state_type();

// The core state behind an H1Codec / H1BodyDecoder object (the caller checked the type).
Locked<http1::Codec>& codec_of(PyObject* codec);
Locked<http1::BodyDecoder>& body_decoder_of(PyObject* decoder);
// A new H1BodyDecoder object (holds no Python objects, so making one never runs the collector).
PyObject* body_decoder_new(http1::BodyDecoder::Kind kind, uint64_t length);

// New head objects from parsed heads; these build the Python values (call without locks).
PyObject* request_head_new(http1::RequestHead&& head);
// The same with the target str already made (from RequestHead::target_sink).
PyObject* request_head_new(http1::RequestHead&& head, Ref&& target);
// A str of a request-target (valid UTF-8, usually ASCII). Makes an object the collector does
// not track, so it may be called under a lock.
PyObject* target_str(std::string_view t);
PyObject* response_head_new(http1::ResponseHead&& head);

// Fields of a request head object the connection state reads.
struct RequestHeadView {
  uint64_t decoded_length;
  bool is_connect, keep_alive, expect_continue, is_upgrade, http10, allow_trailers;
};
RequestHeadView request_head_view(PyObject* head);

// Raises a failed head serialization (call after releasing every lock). Always returns null.
PyObject* raise_serialize(http1::SerializeError&& e);

// `head` followed by the framed last piece of a body (see http1::frame_last), as one bytes
// object: the body bytes are copied once, into the result.
PyObject* head_and_last_frame(std::string_view head, std::string_view body,
                              const http1::LastFrame& r);

// The body-kind strings, shared by every head.
PyObject* body_kind_str(http1::BodyKind kind);

}  // namespace velmora::py
