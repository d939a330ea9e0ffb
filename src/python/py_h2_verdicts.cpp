// The small result classes of H2Streams: H2Stopped, H2SendVerdict, H2RecvHeadersVerdict,
// H2RecvDataVerdict, H2ResetVerdict, and the write batch H2WriteBatch (one taken pending-send
// buffer, exported read-only through the buffer protocol).
//
// Verdicts are built after the connection's lock is released; those holding a stream handle
// take part in cyclic garbage collection (a handle may well refer back to its verdict).
#include <new>

#include "python/py_h2_streams.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"

namespace velmora::py {
namespace {

PyObject* bool_obj(bool b) {
  return Py_NewRef(b ? Py_True : Py_False);
}

PyObject* obj_or_none(PyObject* o) {
  return Py_NewRef(o ? o : Py_None);
}

// Allocates an instance of a result class (a borrowed type object), zero-filled.
template <class T>
T* alloc(PyObject* type) {
  if (!type) return nullptr;
  return reinterpret_cast<T*>(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
}

// ---- H2Stopped -------------------------------------------------------------------------------

http2::Stop& as_stopped(PyObject* o) {
  return unbox<http2::Stop>(o);
}

PyObject* stopped_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"reason", "conn", nullptr};
  PyObject *reason, *conn;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:H2Stopped", const_cast<char**>(kw), &reason,
                                   &conn))
    return nullptr;
  http2::Stop stop;
  if (reason != Py_None) {
    uint32_t r;
    if (!to_u32(reason, r)) return nullptr;
    stop.reason = r;
  }
  if (!to_bool(conn, stop.conn)) return nullptr;
  return box_new<http2::Stop>(type, stop);
}

PyObject* stopped_reason(PyObject* s, void*) {
  const std::optional<uint32_t>& reason = as_stopped(s).reason;
  if (!reason) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*reason);
}

PyObject* stopped_conn(PyObject* s, void*) {
  return bool_obj(as_stopped(s).conn);
}

PyObject* stopped_repr(PyObject* s) {
  const http2::Stop& stop = as_stopped(s);
  const char* conn = stop.conn ? "true" : "false";
  if (!stop.reason) return PyUnicode_FromFormat("H2Stopped(reason=None, conn=%s)", conn);
  return PyUnicode_FromFormat("H2Stopped(reason=Some(%u), conn=%s)", unsigned(*stop.reason), conn);
}

PyObject* stopped_richcompare(PyObject* a, PyObject* b, int op) {
  if (Py_TYPE(b) != Py_TYPE(a) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool eq = as_stopped(a) == as_stopped(b);
  return bool_obj(op == Py_EQ ? eq : !eq);
}

PyGetSetDef kStoppedGetSet[] = {
    {"reason", stopped_reason, nullptr,
     "The RST_STREAM or GOAWAY reason, or None (a local cancel or a transport failure).", nullptr},
    {"conn", stopped_conn, nullptr, "A connection-level error applies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStoppedSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stopped_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<http2::Stop>)},
    {Py_tp_repr, reinterpret_cast<void*>(stopped_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(stopped_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, kStoppedGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC("H2Stopped(reason, conn)",
                                          "Why a stream stopped: the reason of the reset or "
                                          "GOAWAY, and whether a connection error applies."))},
    {0, nullptr},
};

PyType_Spec kStoppedSpec = {"velmora._velmora.H2Stopped", sizeof(Box<http2::Stop>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kStoppedSlots};

// ---- verdicts: one layout per class, GC over the held objects -------------------------------

struct SendVerdictObject {
  PyObject_HEAD uint64_t sent;
  bool done;
  uint32_t flags;
  PyObject* stopped;
  PyObject* handle;
  PyObject* reader_stop;
};

struct HeadersVerdictObject {
  PyObject_HEAD uint8_t kind;
  bool eof;
  bool no_body;
  uint32_t stream_id;
  uint32_t flags;
  PyObject* handle;
};

struct DataVerdictObject {
  PyObject_HEAD bool budgeted;
  bool eof;
  uint32_t flags;
  PyObject* handle;
  PyObject* payload;
};

struct ResetVerdictObject {
  PyObject_HEAD uint32_t flags;
  PyObject* handle;
  PyObject* stop;
};

// The object members of each layout, for traverse and clear.
template <class T>
struct Members;
template <>
struct Members<SendVerdictObject> {
  template <class F>
  static void each(SendVerdictObject* o, F&& f) {
    f(o->stopped);
    f(o->handle);
    f(o->reader_stop);
  }
};
template <>
struct Members<HeadersVerdictObject> {
  template <class F>
  static void each(HeadersVerdictObject* o, F&& f) {
    f(o->handle);
  }
};
template <>
struct Members<DataVerdictObject> {
  template <class F>
  static void each(DataVerdictObject* o, F&& f) {
    f(o->handle);
    f(o->payload);
  }
};
template <>
struct Members<ResetVerdictObject> {
  template <class F>
  static void each(ResetVerdictObject* o, F&& f) {
    f(o->handle);
    f(o->stop);
  }
};

template <class T>
int verdict_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int rc = 0;
  Members<T>::each(reinterpret_cast<T*>(self), [&](PyObject* m) {
    if (rc == 0 && m) rc = visit(m, arg);
  });
  return rc;
}

template <class T>
int verdict_clear(PyObject* self) {
  Members<T>::each(reinterpret_cast<T*>(self), [](PyObject*& m) { Py_CLEAR(m); });
  return 0;
}

template <class T>
void verdict_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  verdict_clear<T>(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

template <class T>
PyType_Slot* verdict_slots(PyGetSetDef* getset, const char* doc) {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(verdict_dealloc<T>)},
      {Py_tp_traverse, reinterpret_cast<void*>(verdict_traverse<T>)},
      {Py_tp_clear, reinterpret_cast<void*>(verdict_clear<T>)},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  };
  return slots;
}

constexpr unsigned kVerdictFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

#define OBJ_GETTER(T, field) \
  [](PyObject* s, void*) -> PyObject* { return obj_or_none(reinterpret_cast<T*>(s)->field); }
#define BOOL_GETTER(T, field) \
  [](PyObject* s, void*) -> PyObject* { return bool_obj(reinterpret_cast<T*>(s)->field); }
#define INT_GETTER(T, field)                                                                \
  [](PyObject* s, void*) -> PyObject* {                                                     \
    return PyLong_FromUnsignedLongLong((unsigned long long)reinterpret_cast<T*>(s)->field); \
  }

using SV = SendVerdictObject;
PyGetSetDef kSendGetSet[] = {
    {"sent", INT_GETTER(SV, sent), nullptr, "Bytes of data[offset:] framed and queued.", nullptr},
    {"done", BOOL_GETTER(SV, done), nullptr,
     "The last byte (and END_STREAM, when asked for) is queued.", nullptr},
    {"stopped", OBJ_GETTER(SV, stopped), nullptr, "H2Stopped: the stream cannot send; or None.",
     nullptr},
    {"handle", OBJ_GETTER(SV, handle), nullptr,
     "Server, response complete: the stream handle to notify; or None.", nullptr},
    {"reader_stop", OBJ_GETTER(SV, reader_stop), nullptr,
     "The stop the body readers of handle must see; or None.", nullptr},
    {"flags", INT_GETTER(SV, flags), nullptr, "H2_FLAG_* bits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using HV = HeadersVerdictObject;
PyGetSetDef kHeadersGetSet[] = {
    {"kind", INT_GETTER(HV, kind), nullptr, "One of the H2_HEADERS_* codes.", nullptr},
    {"handle", OBJ_GETTER(HV, handle), nullptr, "The stream's handle, or None.", nullptr},
    {"stream_id", INT_GETTER(HV, stream_id), nullptr, "The frame's stream id.", nullptr},
    {"eof", BOOL_GETTER(HV, eof), nullptr, "The frame carried END_STREAM.", nullptr},
    {"no_body", BOOL_GETTER(HV, no_body), nullptr,
     "Server, opened: the request is HEAD, so its response has no content (RFC 9110 section "
     "9.3.2).",
     nullptr},
    {"flags", INT_GETTER(HV, flags), nullptr, "H2_FLAG_* bits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using DV = DataVerdictObject;
PyGetSetDef kDataGetSet[] = {
    {"handle", OBJ_GETTER(DV, handle), nullptr, "The stream's handle, or None.", nullptr},
    {"payload", OBJ_GETTER(DV, payload), nullptr,
     "The payload to deliver, or None (swallowed, or an empty frame).", nullptr},
    {"budgeted", BOOL_GETTER(DV, budgeted), nullptr,
     "The frame was charged to the DATA-frame budget: release_data_frame once consumed.", nullptr},
    {"eof", BOOL_GETTER(DV, eof), nullptr, "The frame ended the stream's body.", nullptr},
    {"flags", INT_GETTER(DV, flags), nullptr, "H2_FLAG_* bits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using RV = ResetVerdictObject;
PyGetSetDef kResetGetSet[] = {
    {"handle", OBJ_GETTER(RV, handle), nullptr,
     "The stream's handle to notify; None: nothing to do.", nullptr},
    {"stop", OBJ_GETTER(RV, stop), nullptr,
     "H2Stopped the body readers must see; None: a clean end or a local cancel.", nullptr},
    {"flags", INT_GETTER(RV, flags), nullptr, "H2_FLAG_* bits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Spec kSendSpec = {"velmora._velmora.H2SendVerdict", sizeof(SV), 0, kVerdictFlags,
                         verdict_slots<SV>(kSendGetSet,
                                           "The outcome of send_data, send_trailers or "
                                           "send_response_head.")};
PyType_Spec kHeadersSpec = {"velmora._velmora.H2RecvHeadersVerdict", sizeof(HV), 0, kVerdictFlags,
                            verdict_slots<HV>(kHeadersGetSet, "The outcome of recv_headers.")};
PyType_Spec kDataSpec = {"velmora._velmora.H2RecvDataVerdict", sizeof(DV), 0, kVerdictFlags,
                         verdict_slots<DV>(kDataGetSet, "The outcome of recv_data.")};
PyType_Spec kResetSpec = {
    "velmora._velmora.H2ResetVerdict", sizeof(RV), 0, kVerdictFlags,
    verdict_slots<RV>(kResetGetSet, "The outcome of reset_stream, reset_on_error or aclose_body.")};

ProcessOnce g_stopped, g_send, g_headers, g_data, g_reset, g_batch;

// ---- H2WriteBatch ----------------------------------------------------------------------------

struct BatchObject {
  PyObject_HEAD std::string bytes;
  PyObject* owner;  // the H2Streams the buffer goes back to
};

BatchObject* as_batch(PyObject* o) {
  return reinterpret_cast<BatchObject*>(o);
}

int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  std::string& b = as_batch(self)->bytes;
  return PyBuffer_FillInfo(view, self, b.data(), Py_ssize_t(b.size()), 1, flags);
}

int batch_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_batch(self)->owner);
  return 0;
}

int batch_clear(PyObject* self) {
  Py_CLEAR(as_batch(self)->owner);
  return 0;
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  BatchObject* b = as_batch(self);
  // The buffer goes back to its connection (under the connection's lock, inside the core);
  // the reference to the connection is dropped after that lock was released.
  if (b->owner) streams_return_buffer(b->owner, std::move(b->bytes));
  Py_CLEAR(b->owner);
  b->bytes.~basic_string();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot kBatchSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(batch_getbuffer)},
    {Py_tp_doc, const_cast<char*>("One taken pending-send buffer of an H2Streams, read-only "
                                  "through the buffer protocol; its storage is recycled by the "
                                  "connection once the batch is released.")},
    {0, nullptr},
};

PyType_Spec kBatchSpec = {"velmora._velmora.H2WriteBatch", sizeof(BatchObject), 0, kVerdictFlags,
                          kBatchSlots};

PyObject* stopped_type() {
  return g_stopped.get([]() -> PyObject* { return make_type(&kStoppedSpec); });
}

}  // namespace

// ---- builders used by the H2Streams binding ----------------------------------------------------

PyObject* h2_stopped_type() {
  return stopped_type();
}

PyObject* stop_object(const http2::Stop& stop) {
  PyObject* type = stopped_type();
  if (!type) return nullptr;
  return box_new<http2::Stop>(reinterpret_cast<PyTypeObject*>(type), stop);
}

PyObject* stop_or_none(const std::optional<http2::Stop>& stop) {
  return stop ? stop_object(*stop) : Py_NewRef(Py_None);
}

PyObject* handle_object(http2::Handle&& h) {
  PyObject* o = static_cast<PyObject*>(h.take());
  return o ? o : Py_NewRef(Py_None);
}

PyObject* h2_send_verdict_type() {
  return g_send.get([]() -> PyObject* { return make_type(&kSendSpec); });
}
PyObject* h2_headers_verdict_type() {
  return g_headers.get([]() -> PyObject* { return make_type(&kHeadersSpec); });
}
PyObject* h2_data_verdict_type() {
  return g_data.get([]() -> PyObject* { return make_type(&kDataSpec); });
}
PyObject* h2_reset_verdict_type() {
  return g_reset.get([]() -> PyObject* { return make_type(&kResetSpec); });
}

PyObject* send_verdict_object(http2::SendVerdict&& v) {
  Ref stopped = Ref::steal(stop_or_none(v.stopped));
  Ref reader = Ref::steal(stop_or_none(v.reader_stop));
  if (!stopped || !reader) return nullptr;
  auto* o = alloc<SendVerdictObject>(h2_send_verdict_type());
  if (!o) return nullptr;
  o->sent = v.sent;
  o->done = v.done;
  o->flags = v.flags;
  o->stopped = stopped.release();
  o->reader_stop = reader.release();
  o->handle = handle_object(std::move(v.handle));
  return reinterpret_cast<PyObject*>(o);
}

PyObject* headers_verdict_object(http2::HeadersVerdict&& v) {
  auto* o = alloc<HeadersVerdictObject>(h2_headers_verdict_type());
  if (!o) return nullptr;
  o->kind = v.kind;
  o->eof = v.eof;
  o->no_body = v.no_body;
  o->stream_id = v.stream_id;
  o->flags = v.flags;
  o->handle = handle_object(std::move(v.handle));
  return reinterpret_cast<PyObject*>(o);
}

PyObject* data_verdict_object(http2::DataVerdict&& v, PyObject* payload) {
  auto* o = alloc<DataVerdictObject>(h2_data_verdict_type());
  if (!o) return nullptr;
  o->budgeted = v.budgeted;
  o->eof = v.eof;
  o->flags = v.flags;
  o->payload = v.deliver ? Py_NewRef(payload) : Py_NewRef(Py_None);
  o->handle = handle_object(std::move(v.handle));
  return reinterpret_cast<PyObject*>(o);
}

PyObject* reset_verdict_object(http2::ResetVerdict&& v) {
  Ref stop = Ref::steal(stop_or_none(v.stop));
  if (!stop) return nullptr;
  auto* o = alloc<ResetVerdictObject>(h2_reset_verdict_type());
  if (!o) return nullptr;
  o->flags = v.flags;
  o->stop = stop.release();
  o->handle = handle_object(std::move(v.handle));
  return reinterpret_cast<PyObject*>(o);
}

PyObject* write_batch_object(PyObject* owner, std::string&& bytes) {
  PyObject* type = g_batch.get([]() -> PyObject* { return make_type(&kBatchSpec); });
  if (!type) {
    streams_return_buffer(owner, std::move(bytes));
    return nullptr;
  }
  auto* o = alloc<BatchObject>(type);
  if (!o) {
    streams_return_buffer(owner, std::move(bytes));
    return nullptr;
  }
  new (&o->bytes) std::string(std::move(bytes));
  o->owner = Py_NewRef(owner);
  return reinterpret_cast<PyObject*>(o);
}

}  // namespace velmora::py
