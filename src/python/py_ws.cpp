// The WebSocket classes and functions: WSDeflate, WSRequest, WSConnection, ws_check_request and
// the permessage-deflate negotiation helpers, with the WS_* constants.
#include <optional>

#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/py_header_map.hpp"
#include "python/py_ws.hpp"
#include "python/setup.hpp"
#include "ws/deflate_negotiation.hpp"
#include "ws/handshake.hpp"

namespace velmora::py {
namespace {

// ---- WSDeflate ------------------------------------------------------------------------------

ws::DeflateParams& params(PyObject* o) {
  return unbox<ws::DeflateParams>(o);
}

bool window_bits(PyObject* o, uint8_t& out) {
  uint32_t v = out;
  if (o && o != Py_None && !to_u32(o, v)) return false;
  if (v < 8 || v > 15) {
    PyErr_Format(PyExc_ValueError, "window bits must be 8..15, not %u", v);
    return false;
  }
  out = uint8_t(v);
  return true;
}

PyObject* deflate_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"server_no_context_takeover", "client_no_context_takeover",
                             "server_max_window_bits", "client_max_window_bits", nullptr};
  PyObject* o[4] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OOOO:WSDeflate", const_cast<char**>(kw), &o[0],
                                   &o[1], &o[2], &o[3]))
    return nullptr;
  ws::DeflateParams p;
  if (!optional_bool(o[0], p.server_no_context_takeover) ||
      !optional_bool(o[1], p.client_no_context_takeover) ||
      !window_bits(o[2], p.server_max_window_bits) || !window_bits(o[3], p.client_max_window_bits))
    return nullptr;
  return box_new<ws::DeflateParams>(type, p);
}

PyObject* deflate_server_nct(PyObject* self, void*) {
  return PyBool_FromLong(params(self).server_no_context_takeover);
}
PyObject* deflate_client_nct(PyObject* self, void*) {
  return PyBool_FromLong(params(self).client_no_context_takeover);
}
PyObject* deflate_server_bits(PyObject* self, void*) {
  return PyLong_FromLong(params(self).server_max_window_bits);
}
PyObject* deflate_client_bits(PyObject* self, void*) {
  return PyLong_FromLong(params(self).client_max_window_bits);
}

PyGetSetDef kDeflateGetSet[] = {
    {"server_no_context_takeover", deflate_server_nct, nullptr,
     "The server resets its compression context after each message.", nullptr},
    {"client_no_context_takeover", deflate_client_nct, nullptr,
     "The client resets its compression context after each message.", nullptr},
    {"server_max_window_bits", deflate_server_bits, nullptr,
     "The LZ77 window of the server's compressor, as a power of two (8..15).", nullptr},
    {"client_max_window_bits", deflate_client_bits, nullptr,
     "The LZ77 window of the client's compressor, as a power of two (8..15).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDeflateSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(deflate_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ws::DeflateParams>)},
    {Py_tp_getset, kDeflateGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "WSDeflate(*, server_no_context_takeover=False, "
                    "client_no_context_takeover=False, server_max_window_bits=15, "
                    "client_max_window_bits=15)",
                    "The negotiated parameters of permessage-deflate (RFC 7692), immutable."))},
    {0, nullptr},
};

PyType_Spec kDeflateSpec = {"velmora._velmora.WSDeflate", sizeof(Box<ws::DeflateParams>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kDeflateSlots};

// ---- WSRequest ------------------------------------------------------------------------------

struct Request {
  int status = 0;
  Ref message, key, subprotocols, extensions;
};

Request& request(PyObject* o) {
  return unbox<Request>(o);
}

PyObject* request_status(PyObject* self, void*) {
  return PyLong_FromLong(request(self).status);
}
PyObject* request_message(PyObject* self, void*) {
  return Py_NewRef(request(self).message.get());
}
PyObject* request_key(PyObject* self, void*) {
  return Py_NewRef(request(self).key.get());
}
PyObject* request_subprotocols(PyObject* self, void*) {
  return PySequence_List(request(self).subprotocols.get());
}
PyObject* request_extensions(PyObject* self, void*) {
  return Py_NewRef(request(self).extensions.get());
}

PyGetSetDef kRequestGetSet[] = {
    {"status", request_status, nullptr,
     "0 for a valid opening handshake, else the HTTP status to answer (400, 426).", nullptr},
    {"message", request_message, nullptr, "Why the handshake was refused; '' when valid.", nullptr},
    {"key", request_key, nullptr, "Sec-WebSocket-Key as sent; b'' over HTTP/2.", nullptr},
    {"subprotocols", request_subprotocols, nullptr,
     "Every Sec-WebSocket-Protocol line merged, in order.", nullptr},
    {"extensions", request_extensions, nullptr,
     "Every Sec-WebSocket-Extensions line joined with b', '.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRequestSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Request>)},
    {Py_tp_getset, kRequestGetSet},
    {Py_tp_doc, const_cast<char*>("The server's reading of a WebSocket opening handshake.")},
    {0, nullptr},
};

PyType_Spec kRequestSpec = {
    "velmora._velmora.WSRequest", sizeof(Box<Request>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kRequestSlots};

PyObject* request_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kRequestSpec); });
}

// ---- functions ------------------------------------------------------------------------------

PyObject* check_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"method", "http2", "headers"};
  static const ArgSignature sig{"ws_check_request", names, 3, 3, 3};
  PyObject* a[3];
  std::string_view method;
  bool http2 = false;
  http::HeaderMap headers;
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !bytes_arg(a[0], "ws_check_request", "method", method) || !to_bool(a[1], http2) ||
      !header_map_arg(a[2], "ws_check_request", "headers", false, headers))
    return nullptr;
  std::optional<ws::RequestCheck> r = ws::check_request(method, http2, headers);
  if (!r) Py_RETURN_NONE;
  Ref subprotocols = Ref::steal(PyTuple_New(Py_ssize_t(r->subprotocols.size())));
  if (!subprotocols) return nullptr;
  for (size_t i = 0; i < r->subprotocols.size(); ++i) {
    PyObject* name = str_from(r->subprotocols[i]);
    if (!name) return nullptr;
    PyTuple_SET_ITEM(subprotocols.get(), Py_ssize_t(i), name);
  }
  Ref message = Ref::steal(PyUnicode_FromString(r->message));
  Ref key = Ref::steal(bytes_from(r->key));
  Ref extensions = Ref::steal(bytes_from(r->extensions));
  if (!message || !key || !extensions) return nullptr;
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(request_type());
  if (!tp) return nullptr;
  return box_new<Request>(tp, Request{r->status, std::move(message), std::move(key),
                                      std::move(subprotocols), std::move(extensions)});
}

// An optional window-bits argument: absent or None leaves `out` at 0.
bool optional_window_bits(PyObject* o, int& out) {
  if (!o || o == Py_None) return true;
  uint8_t bits = 15;
  if (!window_bits(o, bits)) return false;
  out = bits;
  return true;
}

PyObject* deflate_negotiate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"offers", "max_window_bits", "no_context_takeover"};
  static const ArgSignature sig{"ws_deflate_negotiate", names, 3, 1, 1};
  PyObject* a[3];
  std::string_view offers;
  uint8_t bits = 15;
  bool nct = false;
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !bytes_arg(a[0], "ws_deflate_negotiate", "offers", offers) || !window_bits(a[1], bits) ||
      !optional_bool(a[2], nct))
    return nullptr;
  std::optional<ws::DeflateAgreement> agreed = ws::negotiate_deflate(offers, bits, nct);
  if (!agreed) Py_RETURN_NONE;
  Ref response = Ref::steal(bytes_from(agreed->response));
  Ref params = Ref::steal(ws_deflate_new(agreed->params));
  if (!response || !params) return nullptr;
  return PyTuple_Pack(2, response.get(), params.get());
}

PyObject* deflate_offer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"client_max_window_bits", "client_no_context_takeover"};
  static const ArgSignature sig{"ws_deflate_offer", names, 2, 0, 0};
  PyObject* a[2];
  int bits = 0;
  bool nct = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !optional_window_bits(a[0], bits) ||
      !optional_bool(a[1], nct))
    return nullptr;
  return bytes_from(ws::deflate_offer(bits, nct));
}

PyObject* deflate_accept(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"response", "client_max_window_bits"};
  static const ArgSignature sig{"ws_deflate_accept", names, 2, 1, 1};
  PyObject* a[2];
  std::string_view response;
  int bits = 0;
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !bytes_arg(a[0], "ws_deflate_accept", "response", response) ||
      !optional_window_bits(a[1], bits))
    return nullptr;
  const char* error = "";
  std::optional<ws::DeflateParams> p = ws::accept_deflate(response, bits, error);
  if (!p) {
    PyErr_Format(PyExc_ValueError, "unacceptable permessage-deflate answer: %s", error);
    return nullptr;
  }
  return ws_deflate_new(*p);
}

PyMethodDef kFunctions[] = {
    {"ws_check_request", FAST(check_request), FASTKW,
     SIG_DOC("ws_check_request(method, http2, headers)",
             "The server's checks of a WebSocket opening handshake (RFC 6455 section 4.2.1; "
             "RFC 8441 when http2): None when the request does not ask for a WebSocket, else a "
             "WSRequest.")},
    {"ws_deflate_negotiate", FAST(deflate_negotiate), FASTKW,
     SIG_DOC("ws_deflate_negotiate(offers, *, max_window_bits=15, no_context_takeover=False)",
             "Server: the first acceptable permessage-deflate offer of a "
             "Sec-WebSocket-Extensions value as (response value, WSDeflate), or None.")},
    {"ws_deflate_offer", FAST(deflate_offer), FASTKW,
     SIG_DOC("ws_deflate_offer(*, client_max_window_bits=None, client_no_context_takeover=False)",
             "Client: the Sec-WebSocket-Extensions value offering permessage-deflate.")},
    {"ws_deflate_accept", FAST(deflate_accept), FASTKW,
     SIG_DOC("ws_deflate_accept(response, *, client_max_window_bits=None)",
             "Client: the server's permessage-deflate answer as a WSDeflate; ValueError when "
             "it is not acceptable (RFC 7692 section 7). client_max_window_bits is the value "
             "our offer gave, if any.")},
    {nullptr, nullptr, 0, nullptr},
};

const IntConstant kConstants[] = {
    {"WS_TEXT", 1},  {"WS_BINARY", 2}, {"WS_CLOSE", 8},   {"WS_PING", 9},
    {"WS_PONG", 10}, {"WS_OPEN", 0},   {"WS_CLOSING", 1}, {"WS_CLOSED", 2},
};

}  // namespace

int setup_ws(PyObject* m) {
  if (add_int_constants(m, kConstants) < 0) return -1;
  if (add_to_module(m, "WSDeflate", ws_deflate_type()) < 0) return -1;
  if (add_to_module(m, "WSRequest", request_type()) < 0) return -1;
  Ref name = Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  for (PyMethodDef* def = kFunctions; def->ml_name; ++def)
    if (add_new_to_module(m, def->ml_name, PyCMethod_New(def, m, name.get(), nullptr)) < 0)
      return -1;
  return add_to_module(m, "WSConnection", ws_connection_type());
}

PyObject* ws_deflate_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kDeflateSpec); });
}

PyObject* ws_deflate_new(const ws::DeflateParams& p) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(ws_deflate_type());
  if (!tp) return nullptr;
  return box_new<ws::DeflateParams>(tp, p);
}

const ws::DeflateParams& ws_deflate_params(PyObject* o) {
  return params(o);
}

}  // namespace velmora::py
