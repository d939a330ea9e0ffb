// The WebSocket classes and functions: WSDeflate, WSRequest, WSConnection, ws_check_request and
// the permessage-deflate negotiation helpers, with the WS_* constants.
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"
#include "ws/deflate_params.hpp"

namespace velmora::py {
namespace {

PyObject* not_yet(const char* what) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", what);
  return nullptr;
}

// ---- WSDeflate ------------------------------------------------------------------------------

ws::DeflateParams& params(PyObject* o) {
  return unbox<ws::DeflateParams>(o);
}

bool window_bits(PyObject* o, uint8_t& out) {
  uint32_t v = out;
  if (o && !to_u32(o, v)) return false;
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

PyObject* deflate_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kDeflateSpec); });
}

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

PyObject* check_request(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("ws_check_request");
}
PyObject* deflate_negotiate(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("ws_deflate_negotiate");
}
PyObject* deflate_offer(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("ws_deflate_offer");
}
PyObject* deflate_accept(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("ws_deflate_accept");
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
     SIG_DOC("ws_deflate_accept(response)",
             "Client: the server's permessage-deflate answer as a WSDeflate; ValueError when "
             "it is not acceptable (RFC 7692 section 7).")},
    {nullptr, nullptr, 0, nullptr},
};

// ---- WSConnection ---------------------------------------------------------------------------

struct Conn {
  bool client = false;
};

PyObject* conn_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"client", "max_message_size", "deflate", nullptr};
  PyObject* o[3] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$OO:WSConnection", const_cast<char**>(kw), &o[0],
                                   &o[1], &o[2]))
    return nullptr;
  bool client = false;
  if (!to_bool(o[0], client)) return nullptr;
  return box_new<Conn>(type, Conn{client});
}

PyObject* conn_receive(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("WSConnection.receive");
}
PyObject* conn_outgoing(PyObject*, PyObject*) {
  return not_yet("WSConnection.outgoing");
}
PyObject* conn_send(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("WSConnection.send");
}
PyObject* conn_ping(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("WSConnection.ping");
}
PyObject* conn_pong(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("WSConnection.pong");
}
PyObject* conn_close(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return not_yet("WSConnection.close");
}
PyObject* conn_state(PyObject*, void*) {
  return PyLong_FromLong(0);
}
PyObject* conn_false(PyObject*, void*) {
  Py_RETURN_FALSE;
}

PyMethodDef kConnMethods[] = {
    {"receive", FAST(conn_receive), FASTKW,
     SIG_DOC("receive($self, data)",
             "Feed received bytes (any split); return the events completed, in wire order.")},
    {"outgoing", conn_outgoing, METH_NOARGS,
     SIG_DOC("outgoing($self)", "The bytes the protocol itself owes the peer; b'' if none.")},
    {"send", FAST(conn_send), FASTKW,
     SIG_DOC("send($self, data)", "A whole message as wire bytes: str is text, else binary.")},
    {"ping", FAST(conn_ping), FASTKW, SIG_DOC("ping($self, payload=b'')", "A Ping frame.")},
    {"pong", FAST(conn_pong), FASTKW, SIG_DOC("pong($self, payload=b'')", "A Pong frame.")},
    {"close", FAST(conn_close), FASTKW,
     SIG_DOC("close($self, code=1000, reason='')",
             "Our Close frame; b'' when a Close was already sent.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kConnGetSet[] = {
    {"state", conn_state, nullptr, "WS_OPEN, WS_CLOSING or WS_CLOSED.", nullptr},
    {"close_sent", conn_false, nullptr, "Our Close frame was produced.", nullptr},
    {"close_received", conn_false, nullptr, "The peer's Close frame was received.", nullptr},
    {"failed", conn_false, nullptr, "The peer violated the protocol.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kConnSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(conn_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Conn>)},
    {Py_tp_methods, kConnMethods},
    {Py_tp_getset, kConnGetSet},
    {Py_tp_doc, const_cast<char*>(
                    SIG_DOC("WSConnection(client, *, max_message_size=16777216, deflate=None)",
                            "The protocol state of one WebSocket after its opening handshake."))},
    {0, nullptr},
};

PyType_Spec kConnSpec = {"velmora._velmora.WSConnection", sizeof(Box<Conn>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kConnSlots};

PyObject* conn_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kConnSpec); });
}

const IntConstant kConstants[] = {
    {"WS_TEXT", 1},  {"WS_BINARY", 2}, {"WS_CLOSE", 8},   {"WS_PING", 9},
    {"WS_PONG", 10}, {"WS_OPEN", 0},   {"WS_CLOSING", 1}, {"WS_CLOSED", 2},
};

}  // namespace

int setup_ws(PyObject* m) {
  if (add_int_constants(m, kConstants) < 0) return -1;
  if (add_to_module(m, "WSDeflate", deflate_type()) < 0) return -1;
  if (add_to_module(m, "WSRequest", request_type()) < 0) return -1;
  Ref name = Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  for (PyMethodDef* def = kFunctions; def->ml_name; ++def)
    if (add_new_to_module(m, def->ml_name, PyCMethod_New(def, m, name.get(), nullptr)) < 0)
      return -1;
  return add_to_module(m, "WSConnection", conn_type());
}

}  // namespace velmora::py
