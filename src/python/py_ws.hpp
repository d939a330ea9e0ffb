// The WebSocket classes shared between the binding files: WSDeflate (py_ws.cpp) and
// WSConnection (py_ws_connection.cpp).
#pragma once

#include "python/pyref.hpp"
#include "ws/deflate_params.hpp"

namespace velmora::py {

// The WSDeflate class (borrowed; created on first need).
PyObject* ws_deflate_type();
// A WSDeflate holding `params`.
PyObject* ws_deflate_new(const ws::DeflateParams& params);
// The parameters of a WSDeflate object; `o` must be one.
const ws::DeflateParams& ws_deflate_params(PyObject* o);

// The WSConnection class (borrowed; created on first need).
PyObject* ws_connection_type();

}  // namespace velmora::py
