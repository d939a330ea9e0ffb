// Setup functions of the binding files, called by the module's execution step in registration
// order. Each adds its objects to the module with add_to_module and returns -1 on failure.
#pragma once

#include "python/pyref.hpp"

namespace velmora::py {

int setup_root_exceptions(PyObject* m);     // VelmoraError, ConnectionClosedError
int setup_header_map(PyObject* m);          // HeaderMap
int setup_functions(PyObject* m);           // http_date, uri_parts, request_url_parts, split_target
int setup_h2_frame_classes(PyObject* m);    // H2Codec, H2FrameHeaders .. H2FrameStreamError
int setup_h2_stream_state(PyObject* m);     // H2StreamState
int setup_h2_flow_classes(PyObject* m);     // H2FlowControl, H2ContentLength, H2DataFrameBudget
int setup_h2_streams_classes(PyObject* m);  // H2Streams, H2Stopped .. H2ResetVerdict
int setup_h2_flag_constants(PyObject* m);   // H2_FLAG_*, H2_HEADERS_*
int setup_h2_exceptions(PyObject* m);       // H2Error .. H2FlowControlError
int setup_h2_reason(PyObject* m);           // H2Reason
int setup_h2_limit_constants(PyObject* m);  // H2_DEFAULT_* .. H2_PREFACE
int setup_h1_exceptions(PyObject* m);       // H1Error .. H1UserError
int setup_h1_codec_classes(PyObject* m);    // H1Codec, H1ResponseHead, H1RequestHead, H1BodyDecoder
int setup_h1_state_classes(PyObject* m);    // H1ServerState, H1ClientState, OnceLatch
int setup_h1_constants(PyObject* m);        // H1_WATCH_*, H1_NEXT_*, H1_READ_*, H1_REQ_*
int setup_proxy(PyObject* m);               // ProxyMatcher, ProxyIntercept
int setup_forwarded(PyObject* m);           // TrustedPeers
int setup_coro_step(PyObject* m);           // coro_step
int setup_ws(PyObject* m);  // WS_*, WSDeflate, WSRequest, ws_* functions, WSConnection

}  // namespace velmora::py
