// H1RequestHead and H1ResponseHead: immutable parsed heads.
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "python/py_header_map.hpp"
#include "python/py_http1.hpp"
#include "python/boundary.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

#include <structmember.h>  // (after Python.h)

namespace velmora::py {
namespace {

struct RequestHeadObject {
  PyObject_HEAD uint64_t decoded_length;
  Ref method;   // str
  Ref target;   // str
  Ref headers;  // HeaderMap
  bool is_connect;
  bool keep_alive;
  bool expect_continue;
  bool is_upgrade;
  bool http10;
  bool allow_trailers;
};

struct ResponseHeadObject {
  PyObject_HEAD uint64_t decoded_length;
  Ref headers;  // HeaderMap
  uint16_t status;
  bool keep_alive;
  bool is_upgrade;
  bool http10;
};

RequestHeadObject* req(PyObject* o) {
  return reinterpret_cast<RequestHeadObject*>(o);
}
ResponseHeadObject* resp(PyObject* o) {
  return reinterpret_cast<ResponseHeadObject*>(o);
}

constexpr http1::Method kStandardMethods[] = {
    http1::Method::kGet,   http1::Method::kPost,    http1::Method::kPut,     http1::Method::kDelete,
    http1::Method::kHead,  http1::Method::kOptions, http1::Method::kConnect, http1::Method::kPatch,
    http1::Method::kTrace, http1::Method::kQuery};

// One interned string per standard method, indexed by Method value.
PyObject* method_strings() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    Ref t = Ref::steal(PyTuple_New(int(http1::Method::kOther) + 1));
    if (!t) return nullptr;
    for (int i = 0; i <= int(http1::Method::kOther); ++i)
      PyTuple_SET_ITEM(t.get(), i, Py_NewRef(Py_None));
    for (http1::Method m : kStandardMethods) {
      std::string_view n = http1::method_name(m);
      PyObject* s = PyUnicode_InternFromString(std::string(n).c_str());
      if (!s) return nullptr;
      PyObject* old = PyTuple_GET_ITEM(t.get(), int(m));
      PyTuple_SET_ITEM(t.get(), int(m), s);
      Py_DECREF(old);
    }
    return t.release();
  });
}

PyObject* kind_strings() {
  static ProcessOnce once;
  return once.get(
      []() -> PyObject* { return Py_BuildValue("(ssss)", "empty", "length", "chunked", "close"); });
}

PyObject* content_length_of(uint64_t decoded) {
  switch (http1::body_kind_of(decoded)) {
    case http1::BodyKind::kEmpty:
      return PyLong_FromLong(0);
    case http1::BodyKind::kLength:
      return PyLong_FromUnsignedLongLong(decoded);
    default:
      Py_RETURN_NONE;
  }
}

#define BOOL_GETTER(Obj, cast, field)                    \
  PyObject* get_##Obj##_##field(PyObject* self, void*) { \
    return PyBool_FromLong(cast(self)->field);           \
  }

BOOL_GETTER(req, req, keep_alive)
BOOL_GETTER(req, req, expect_continue)
BOOL_GETTER(req, req, is_upgrade)
BOOL_GETTER(req, req, http10)
BOOL_GETTER(req, req, allow_trailers)
BOOL_GETTER(resp, resp, keep_alive)
BOOL_GETTER(resp, resp, is_upgrade)
BOOL_GETTER(resp, resp, http10)

PyObject* get_req_content_length(PyObject* self, void*) {
  return content_length_of(req(self)->decoded_length);
}
PyObject* get_req_body_kind(PyObject* self, void*) {
  return Py_NewRef(body_kind_str(http1::body_kind_of(req(self)->decoded_length)));
}
PyObject* get_resp_content_length(PyObject* self, void*) {
  return content_length_of(resp(self)->decoded_length);
}
PyObject* get_resp_headers(PyObject* self, void*) {
  return Py_NewRef(resp(self)->headers.get());
}
PyObject* get_resp_body_kind(PyObject* self, void*) {
  return Py_NewRef(body_kind_str(http1::body_kind_of(resp(self)->decoded_length)));
}
PyObject* get_resp_status(PyObject* self, void*) {
  return PyLong_FromLong(resp(self)->status);
}

PyObject* req_repr(PyObject* self) {
  RequestHeadObject* h = req(self);
  return PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=%U)", h->method.get(),
                              h->target.get(),
                              body_kind_str(http1::body_kind_of(h->decoded_length)));
}

PyObject* resp_repr(PyObject* self) {
  ResponseHeadObject* h = resp(self);
  return PyUnicode_FromFormat("H1ResponseHead(status=%d, body_kind=%U, keep_alive=%s)",
                              int(h->status), body_kind_str(http1::body_kind_of(h->decoded_length)),
                              h->keep_alive ? "true" : "false");
}

void req_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  req(self)->method.~Ref();
  req(self)->target.~Ref();
  req(self)->headers.~Ref();
  tp->tp_free(self);
  Py_DECREF(tp);
}

void resp_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  resp(self)->headers.~Ref();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyGetSetDef kReqGetSet[] = {
    {"content_length", get_req_content_length, nullptr,
     "Declared body length: 0 for an empty body, None for chunked.", nullptr},
    {"body_kind", get_req_body_kind, nullptr, "'empty', 'length' or 'chunked'.", nullptr},
    {"keep_alive", get_req_keep_alive, nullptr, "The client permits reuse of the connection.",
     nullptr},
    {"expect_continue", get_req_expect_continue, nullptr, "The client sent Expect: 100-continue.",
     nullptr},
    {"is_upgrade", get_req_is_upgrade, nullptr, "A CONNECT or an HTTP/1.1 Upgrade request.",
     nullptr},
    {"http10", get_req_http10, nullptr, "The request line said HTTP/1.0.", nullptr},
    {"allow_trailers", get_req_allow_trailers, nullptr, "The request declared TE: trailers.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kRespGetSet[] = {
    {"content_length", get_resp_content_length, nullptr,
     "Declared body length: 0 for an empty body, None for chunked or close-delimited.", nullptr},
    {"headers", get_resp_headers, nullptr, "The header fields (HeaderMap) in wire order.", nullptr},
    {"body_kind", get_resp_body_kind, nullptr, "'empty', 'length', 'chunked' or 'close'.", nullptr},
    {"status", get_resp_status, nullptr, "The status code.", nullptr},
    {"keep_alive", get_resp_keep_alive, nullptr, "The connection may be reused.", nullptr},
    {"is_upgrade", get_resp_is_upgrade, nullptr, "A 101, or a 2xx answer to CONNECT.", nullptr},
    {"http10", get_resp_http10, nullptr, "The status line said HTTP/1.0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The object fields as read-only members: the interpreter reads members without a call.
static_assert(std::is_standard_layout_v<RequestHeadObject> && sizeof(Ref) == sizeof(PyObject*));
PyMemberDef kReqMembers[] = {
    {"method", T_OBJECT_EX, offsetof(RequestHeadObject, method), READONLY, "The request method."},
    {"target", T_OBJECT_EX, offsetof(RequestHeadObject, target), READONLY, "The request-target."},
    {"headers", T_OBJECT_EX, offsetof(RequestHeadObject, headers), READONLY,
     "The header fields (HeaderMap) in wire order."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kReqSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(req_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(req_repr)},
    {Py_tp_getset, kReqGetSet},
    {Py_tp_members, kReqMembers},
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 request head (immutable).")},
    {0, nullptr},
};
PyType_Slot kRespSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resp_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(resp_repr)},
    {Py_tp_getset, kRespGetSet},
    {Py_tp_doc, const_cast<char*>("A parsed HTTP/1 response head (immutable).")},
    {0, nullptr},
};

PyType_Spec kReqSpec = {
    "velmora._velmora.H1RequestHead", sizeof(RequestHeadObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, kReqSlots};
PyType_Spec kRespSpec = {
    "velmora._velmora.H1ResponseHead", sizeof(ResponseHeadObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, kRespSlots};

}  // namespace

PyObject* body_kind_str(http1::BodyKind kind) {
  return PyTuple_GET_ITEM(kind_strings(), int(kind));
}

PyObject* h1_request_head_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    if (!method_strings() || !kind_strings()) return nullptr;
    return make_type(&kReqSpec);
  });
}

PyObject* h1_response_head_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    if (!kind_strings()) return nullptr;
    return make_type(&kRespSpec);
  });
}

// A str from the target: most targets are ASCII, which needs no decoding (checked a word at a
// time).
PyObject* target_str(std::string_view t) {
  const char* p = t.data();
  const size_t n = t.size();
  uint64_t high = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    high |= w;
  }
  for (; i < n; ++i)
    high |= uint8_t(p[i]);
  if (high & 0x8080808080808080ull) return PyUnicode_DecodeUTF8(p, Py_ssize_t(n), nullptr);
  PyObject* s = PyUnicode_New(Py_ssize_t(n), 127);
  if (s) std::memcpy(PyUnicode_DATA(s), p, n);
  return s;
}

PyObject* request_head_new(http1::RequestHead&& head) {
  Ref target = Ref::steal(target_str(head.target));
  if (!target) return nullptr;
  return request_head_new(std::move(head), std::move(target));
}

PyObject* request_head_new(http1::RequestHead&& head, Ref&& target) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(h1_request_head_type());
  if (!tp) return nullptr;
  Ref method;
  if (head.method == http1::Method::kOther) {
    method = Ref::steal(PyUnicode_DecodeASCII(head.method_text.data(),
                                              Py_ssize_t(head.method_text.size()), nullptr));
  } else {
    method = Ref::borrow(PyTuple_GET_ITEM(method_strings(), int(head.method)));
  }
  if (!method) return nullptr;
  Ref headers = Ref::steal(header_map_new(std::move(head.headers)));
  if (!headers) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  RequestHeadObject* h = req(self);
  h->decoded_length = head.decoded_length;
  new (&h->method) Ref(std::move(method));
  new (&h->target) Ref(std::move(target));
  new (&h->headers) Ref(std::move(headers));
  h->is_connect = head.is_connect;
  h->keep_alive = head.keep_alive;
  h->expect_continue = head.expect_continue;
  h->is_upgrade = head.is_upgrade;
  h->http10 = head.http10;
  h->allow_trailers = head.allow_trailers;
  return self;
}

PyObject* response_head_new(http1::ResponseHead&& head) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(h1_response_head_type());
  if (!tp) return nullptr;
  Ref headers = Ref::steal(header_map_new(std::move(head.headers)));
  if (!headers) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  ResponseHeadObject* h = resp(self);
  h->decoded_length = head.decoded_length;
  new (&h->headers) Ref(std::move(headers));
  h->status = head.status;
  h->keep_alive = head.keep_alive;
  h->is_upgrade = head.is_upgrade;
  h->http10 = head.http10;
  return self;
}

RequestHeadView request_head_view(PyObject* head) {
  RequestHeadObject* h = req(head);
  return {h->decoded_length, h->is_connect, h->keep_alive,    h->expect_continue,
          h->is_upgrade,     h->http10,     h->allow_trailers};
}

}  // namespace velmora::py
