// H2Streams: the Python face of one HTTP/2 connection (http2::Connection), for either role.
// Subclassable (the asyncio drivers add their tasks and events), frozen (no instance
// attributes of its own), and part of cyclic garbage collection through every object the
// connection stores.
//
// Every method follows one shape: convert the arguments (which may run Python code) with no
// lock held; run one core operation, which takes the connection's lock itself and hands back
// the handles it let go of in a Released list; destroy that list (dropping those references)
// once the core returned; then build the result objects or raise the recorded error.
#include <new>
#include <string>

#include "python/py_errors.hpp"
#include "python/py_header_map.hpp"
#include "python/py_frames.hpp"
#include "python/py_h2_streams.hpp"
#include "http/uri.hpp"
#include "python/boundary.hpp"
#include "python/py_h2_args.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

using http2::Connection;
using http2::Handle;
using http2::Released;
using Args = PyObject* const*;

struct StreamsObject {
  PyObject_HEAD bool constructed;
  Connection conn;
};

Connection& conn(PyObject* self) {
  return reinterpret_cast<StreamsObject*>(self)->conn;
}

// ---- the locking idiom -----------------------------------------------------------------------

// Runs one core operation. The core holds the connection's lock for the operation and moves
// every handle it lets go of into `drop`, which is destroyed here, after the lock was released
// and before any result object is built.
template <class F>
auto run(PyObject* self, F&& f) {
  Released drop;
  return f(conn(self), drop);
}

// ---- argument helpers ---------------------------------------------------------------------------

// An object to store: None stores nothing.
Handle hold(PyObject* o) {
  return Handle::adopt(held(o).release());
}

PyObject* bool_obj(bool b) {
  return Py_NewRef(b ? Py_True : Py_False);
}

bool str_arg(PyObject* o, const char* fn, const char* arg, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_type(fn, arg, "str", o);
    return false;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (!p) return false;
  out = std::string_view(p, size_t(n));
  return true;
}

// One argument that must be a frame object of `kind`.
template <class T>
T* frame_arg(PyObject* o, FrameKind kind, const char* fn, const char* expected) {
  if (frame_kind_of(o) != int(kind)) {
    raise_arg_type(fn, "frame", expected, o);
    return nullptr;
  }
  return &frame_as<T>(o);
}

PyObject* list_of(std::vector<Handle>& handles) {
  PyObject* list = PyList_New(Py_ssize_t(handles.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < handles.size(); ++i)
    PyList_SET_ITEM(list, Py_ssize_t(i), handle_object(std::move(handles[i])));
  return list;
}

PyObject* pairs_of(http2::StreamStops& pairs) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(pairs.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pairs.size(); ++i) {
    Ref h = Ref::steal(handle_object(std::move(pairs[i].first)));
    Ref stop = Ref::steal(stop_object(pairs[i].second));
    if (!stop) return nullptr;
    PyObject* t = PyTuple_Pack(2, h.get(), stop.get());
    if (!t) return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), t);
  }
  return list.release();
}

template <class T>
PyObject* opt_int(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

PyObject* opt_bool(const std::optional<bool>& v) {
  if (!v) Py_RETURN_NONE;
  return bool_obj(*v);
}

// ---- construction and collection -------------------------------------------------------------

void retain_object(void* p) {
  Py_IncRef(static_cast<PyObject*>(p));
}
void release_object(void* p) {
  Py_DecRef(static_cast<PyObject*>(p));
}

PyObject* streams_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"role",
                             "initial_window_size",
                             "connection_window",
                             "max_frame_size",
                             "max_header_list_size",
                             "max_send_buf_size",
                             "max_concurrent_streams",
                             "max_pending_accept_reset_streams",
                             "max_local_error_reset_streams",
                             "data_frame_budget",
                             "auto_date_header",
                             "enable_push",
                             "drop_connection_fields",
                             "max_reset_burst",
                             "enable_connect_protocol",
                             nullptr};
  PyObject* a[15] = {};
  if (!PyArg_ParseTupleAndKeywords(
          args, kwds, "O|$OOOOOOOOOOOOOO:H2Streams", const_cast<char**>(kw), &a[0], &a[1], &a[2],
          &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10], &a[11], &a[12], &a[13], &a[14]))
    return nullptr;
  for (int i = 1; i <= 5; ++i) {
    if (!a[i]) {
      PyErr_Format(PyExc_TypeError, "H2Streams() missing 1 required keyword-only argument: '%s'",
                   kw[i]);
      return nullptr;
    }
  }
  std::string_view role;
  if (!str_arg(a[0], "H2Streams", "role", role)) return nullptr;
  http2::ConnectionConfig cfg;
  if (role == "server") {
    cfg.is_server = true;
  } else if (role != "client") {
    PyErr_Format(PyExc_ValueError, "role must be 'client' or 'server', got %s",
                 http::quote_escaped(role).c_str());
    return nullptr;
  }
  uint64_t pending_accept = cfg.max_pending_accept_reset_streams;
  if (!to_u32(a[1], cfg.initial_window_size) || !to_u32(a[2], cfg.connection_window) ||
      !to_u32(a[3], cfg.max_frame_size) || !to_u32(a[4], cfg.max_header_list_size) ||
      !to_u64(a[5], cfg.max_send_buf_size) || !optional_u32(a[6], cfg.max_concurrent_streams) ||
      (a[7] && !to_u64(a[7], pending_accept)) || !optional_u64(a[9], cfg.data_frame_budget) ||
      (a[10] && !to_bool(a[10], cfg.auto_date_header)) ||
      (a[12] && !to_bool(a[12], cfg.drop_connection_fields)) ||
      (a[14] && !to_bool(a[14], cfg.enable_connect_protocol)))
    return nullptr;
  cfg.max_pending_accept_reset_streams = pending_accept;
  if (a[8]) {  // omitted: the default cap; None: no cap
    cfg.max_local_error_reset_streams.reset();
    if (!optional_u64(a[8], cfg.max_local_error_reset_streams)) return nullptr;
  }
  if (a[13]) {  // omitted: the default burst; None: no limit
    cfg.max_reset_burst.reset();
    if (!optional_u64(a[13], cfg.max_reset_burst)) return nullptr;
  }
  if (a[11] && a[11] != Py_None) {
    bool push;
    if (!to_bool(a[11], push)) return nullptr;
    cfg.enable_push = push;
  }
  if (auto err = Connection::validate(cfg)) return raise(*err);
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* o = reinterpret_cast<StreamsObject*>(self);
  try {
    new (&o->conn) Connection(cfg);
  } catch (const std::bad_alloc&) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  o->constructed = true;
  return self;
}

int streams_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* o = reinterpret_cast<StreamsObject*>(self);
  if (!o->constructed) return 0;
  struct Ctx {
    visitproc visit;
    void* arg;
  } ctx{visit, arg};
  return o->conn.visit(
      [](void* obj, void* c) {
        auto* x = static_cast<Ctx*>(c);
        return x->visit(static_cast<PyObject*>(obj), x->arg);
      },
      &ctx);
}

int streams_clear(PyObject* self) {
  if (reinterpret_cast<StreamsObject*>(self)->constructed) {
    run(self, [](Connection& c, Released& drop) { c.clear(drop); });
  }
  return 0;
}

void streams_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* o = reinterpret_cast<StreamsObject*>(self);
  if (o->constructed) {
    streams_clear(self);
    o->conn.~Connection();
    o->constructed = false;
  }
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* streams_repr(PyObject* self) {
  return str_from(conn(self).repr());
}

// ---- handshake, decoding, settings, PING --------------------------------------------------------

PyObject* m_begin(PyObject* self, PyObject*) {
  if (auto err = conn(self).begin()) return raise(*err);
  Py_RETURN_NONE;
}

PyObject* m_receive(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* d = one_arg("receive", "data", args, nargs, kwnames);
  std::string_view data;
  if (!d || !bytes_arg(d, "receive", "data", data)) return nullptr;
  // Frame objects are leaf objects that never start the collector (py_frames.hpp): the core
  // builds them under its decoder lock; the list is built after.
  FrameCollector frames;
  PendingError error;
  auto status =
      conn(self).receive(reinterpret_cast<const uint8_t*>(data.data()), data.size(), frames, error);
  return frames.take_result(status, error);
}

PyObject* m_prime(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* d = one_arg("prime", "data", args, nargs, kwnames);
  std::string_view data;
  if (!d || !bytes_arg(d, "prime", "data", data)) return nullptr;
  int m = conn(self).prime(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  if (m == 0) Py_RETURN_NONE;
  return bool_obj(m > 0);
}

PyObject* m_recv_settings(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_settings", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f =
      frame_arg<FrameSettingsObject>(a, FrameKind::kSettings, "recv_settings", "H2FrameSettings");
  if (!f) return nullptr;
  http2::SettingsResult r = conn(self).recv_settings(f->ack, f->settings);
  if (r.error) return raise(*r.error);
  Ref wake = Ref::steal(list_of(r.wake_windows));
  if (!wake) return nullptr;
  return Py_BuildValue("(OOI)", r.initial ? Py_True : Py_False, wake.get(), r.flags);
}

PyObject* m_recv_ping(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_ping", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f = frame_arg<FramePingObject>(a, FrameKind::kPing, "recv_ping", "H2FramePing");
  if (!f) return nullptr;
  http2::FlagsResult r = conn(self).recv_ping(f->ack, std::string_view(f->data, 8));
  if (r.error) return raise(*r.error);
  return PyLong_FromUnsignedLong(r.flags);
}

// ---- slots and task handles -----------------------------------------------------------------

PyObject* m_try_claim_slot(PyObject* self, PyObject*) {
  return bool_obj(conn(self).try_claim_slot());
}

PyObject* m_can_open(PyObject* self, PyObject*) {
  return bool_obj(conn(self).can_open());
}

PyObject* m_release_slot_count(PyObject* self, PyObject*) {
  conn(self).release_slot_count();
  Py_RETURN_NONE;
}

PyObject* m_apply_stream_limit(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("apply_stream_limit", "limit", args, nargs, kwnames);
  std::optional<uint64_t> limit;
  if (!a || !optional_u64(a, limit)) return nullptr;
  conn(self).apply_stream_limit(limit);
  Py_RETURN_NONE;
}

PyObject* m_store_task_handles(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"read", "pump"};
  static const ArgSignature sig{"store_task_handles", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  run(self,
      [&](Connection& c, Released& drop) { c.store_task_handles(hold(a[0]), hold(a[1]), drop); });
  Py_RETURN_NONE;
}

PyObject* m_take_read_handle(PyObject* self, PyObject*) {
  return handle_object(conn(self).take_read_handle());
}

PyObject* m_take_pump_handle(PyObject* self, PyObject*) {
  return handle_object(conn(self).take_pump_handle());
}

// ---- send path ----------------------------------------------------------------------------------

PyObject* m_open_stream(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"method", "target", "headers",   "end_stream", "is_head",
                                      "handle", "scheme", "authority", "protocol"};
  static const ArgSignature sig{"open_stream", names, 9, 6, 6};
  PyObject* a[9];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  const char* fn = "open_stream";
  http2::RequestSpec req;
  http::HeaderMap headers;
  if (!str_arg(a[0], fn, "method", req.method) || !str_arg(a[1], fn, "target", req.target) ||
      !header_map_arg(a[2], fn, "headers", true, headers) || !to_bool(a[3], req.end_stream) ||
      !to_bool(a[4], req.is_head))
    return nullptr;
  if (a[6] && a[6] != Py_None && !str_arg(a[6], fn, "scheme", req.scheme)) return nullptr;
  if (a[7] && a[7] != Py_None && !str_arg(a[7], fn, "authority", req.authority)) return nullptr;
  if (a[8] && a[8] != Py_None && !str_arg(a[8], fn, "protocol", req.protocol)) return nullptr;
  req.headers = &headers;
  http2::OpenResult r = run(
      self, [&](Connection& c, Released& drop) { return c.open_stream(req, hold(a[5]), drop); });
  if (r.error) return raise(*r.error);
  return opt_int(r.stream_id);
}

PyObject* m_send_data(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "data", "offset", "end_stream"};
  static const ArgSignature sig{"send_data", names, 4, 4, 4};
  PyObject* a[4];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid;
  std::string_view data;
  uint64_t offset;
  bool end_stream;
  if (!stream_id_arg(a[0], "sid", sid) || !bytes_arg(a[1], "send_data", "data", data) ||
      !to_u64(a[2], offset) || !to_bool(a[3], end_stream))
    return nullptr;
  if (offset > data.size()) {
    PyErr_Format(PyExc_ValueError, "offset %llu is beyond the end of data (%zu bytes)",
                 (unsigned long long)offset, data.size());
    return nullptr;
  }
  http2::SendVerdict r = run(self, [&](Connection& c, Released& drop) {
    return c.send_data(sid, data, offset, end_stream, drop);
  });
  if (r.error) return raise(*r.error);
  return send_verdict_object(std::move(r));
}

PyObject* m_send_trailers(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "trailers"};
  static const ArgSignature sig{"send_trailers", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid;
  http::HeaderMap trailers;
  if (!stream_id_arg(a[0], "sid", sid) ||
      !header_map_arg(a[1], "send_trailers", "trailers", false, trailers))
    return nullptr;
  http2::SendVerdict r = run(
      self, [&](Connection& c, Released& drop) { return c.send_trailers(sid, trailers, drop); });
  if (r.error) return raise(*r.error);
  return send_verdict_object(std::move(r));
}

PyObject* m_send_response_head(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "status", "headers", "end_stream"};
  static const ArgSignature sig{"send_response_head", names, 4, 4, 4};
  PyObject* a[4];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid, status;
  bool end_stream;
  http::HeaderMap headers;
  if (!stream_id_arg(a[0], "sid", sid) || !to_u32(a[1], status) ||
      !header_map_arg(a[2], "send_response_head", "headers", true, headers) ||
      !to_bool(a[3], end_stream))
    return nullptr;
  http2::SendVerdict r = run(self, [&](Connection& c, Released& drop) {
    return c.send_response_head(sid, status, &headers, end_stream, drop);
  });
  if (r.error) return raise(*r.error);
  return send_verdict_object(std::move(r));
}

PyObject* m_take_pending(PyObject* self, PyObject*) {
  http2::Batch b = conn(self).take_pending();
  Ref batch = Ref::steal(write_batch_object(self, std::move(b.bytes)));
  if (!batch) return nullptr;
  Ref view = Ref::steal(PyMemoryView_FromObject(batch.get()));
  if (!view) return nullptr;
  return PyTuple_Pack(2, view.get(), b.stopping ? Py_True : Py_False);
}

PyObject* m_credit_written(PyObject* self, PyObject*) {
  std::vector<Handle> handles = conn(self).credit_written();
  return list_of(handles);
}

PyObject* m_has_pending(PyObject* self, PyObject*) {
  return bool_obj(conn(self).has_pending());
}

PyObject* m_stop_pump(PyObject* self, PyObject*) {
  conn(self).stop_pump();
  Py_RETURN_NONE;
}

// ---- receive path -----------------------------------------------------------------------------

PyObject* m_recv_headers(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"frame", "spare"};
  static const ArgSignature sig{"recv_headers", names, 2, 2, 1};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  auto* f =
      frame_arg<FrameHeadersObject>(a[0], FrameKind::kHeaders, "recv_headers", "H2FrameHeaders");
  if (!f) return nullptr;
  // The block's pseudo-header fields are read under the frame's lock, which guards the move
  // of its regular fields into the frame's HeaderMap.
  http2::HeadersInfo info = f->headers.with(
      [&](Ref&) { return http2::HeadersInfo::of(f->stream_id, f->end_stream, *f->block); });
  http2::HeadersVerdict r = run(
      self, [&](Connection& c, Released& drop) { return c.recv_headers(info, hold(a[1]), drop); });
  if (r.error) return raise(*r.error);
  return headers_verdict_object(std::move(r));
}

PyObject* m_recv_data(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_data", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f = frame_arg<FrameDataObject>(a, FrameKind::kData, "recv_data", "H2FrameData");
  if (!f) return nullptr;
  uint64_t len = uint64_t(PyBytes_GET_SIZE(f->data.get()));
  http2::DataVerdict r = run(self, [&](Connection& c, Released& drop) {
    return c.recv_data(f->stream_id, f->end_stream, len, f->flow_controlled_len, drop);
  });
  if (r.error) return raise(*r.error);
  return data_verdict_object(std::move(r), f->data.get());
}

PyObject* m_recv_window_update(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_window_update", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f = frame_arg<FrameStreamValueObject>(a, FrameKind::kWindowUpdate, "recv_window_update",
                                              "H2FrameWindowUpdate");
  if (!f) return nullptr;
  http2::HandlesResult r = conn(self).recv_window_update(f->stream_id, f->value);
  if (r.error) return raise(*r.error);
  return list_of(r.handles);
}

PyObject* m_recv_reset(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_reset", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f =
      frame_arg<FrameStreamValueObject>(a, FrameKind::kRstStream, "recv_reset", "H2FrameRstStream");
  if (!f) return nullptr;
  http2::RecvResetResult r = run(self, [&](Connection& c, Released& drop) {
    return c.recv_reset(f->stream_id, f->value, drop);
  });
  if (r.error) return raise(*r.error);
  if (!r.live) Py_RETURN_NONE;
  Ref handle = Ref::steal(handle_object(std::move(r.handle)));
  Ref stop = Ref::steal(stop_object(r.stop));
  if (!stop) return nullptr;
  return Py_BuildValue("(OOOI)", handle.get(), stop.get(), r.notify_body ? Py_True : Py_False,
                       r.flags);
}

// ---- shutdown, failure, resets ----------------------------------------------------------------

PyObject* m_recv_go_away(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("recv_go_away", "frame", args, nargs, kwnames);
  if (!a) return nullptr;
  auto* f = frame_arg<FrameGoAwayObject>(a, FrameKind::kGoAway, "recv_go_away", "H2FrameGoAway");
  if (!f) return nullptr;
  std::string_view debug = bytes_view(f->debug_data.get());
  http2::GoAwayResult r = run(self, [&](Connection& c, Released& drop) {
    return c.recv_go_away(f->last_stream_id, f->error_code, debug, drop);
  });
  if (r.error) return raise(*r.error);
  Ref pairs = Ref::steal(pairs_of(r.pairs));
  if (!pairs) return nullptr;
  return Py_BuildValue("(OI)", pairs.get(), r.flags);
}

PyObject* m_maybe_goaway_reply(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(conn(self).maybe_goaway_reply());
}

PyObject* m_send_goaway(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("send_goaway", "reason", args, nargs, kwnames);
  uint32_t reason;
  if (!a || !to_u32(a, reason)) return nullptr;
  return PyLong_FromUnsignedLong(conn(self).send_goaway(reason));
}

PyObject* m_begin_graceful_shutdown(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLong(conn(self).begin_graceful_shutdown());
}

PyObject* m_fail(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc", "message"};
  static const ArgSignature sig{"fail", names, 2, 2, 0};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view message = "connection closed";
  if (a[1] && !str_arg(a[1], "fail", "message", message)) return nullptr;
  http2::StreamStops pairs =
      run(self, [&](Connection& c, Released& drop) { return c.fail(hold(a[0]), message, drop); });
  return pairs_of(pairs);
}

PyObject* m_conn_error(PyObject* self, PyObject*) {
  http2::ConnError e = conn(self).conn_error();
  if (e.exception) return handle_object(std::move(e.exception));
  if (!e.message) Py_RETURN_NONE;
  Ref text = Ref::steal(str_from(*e.message));
  if (!text) return nullptr;
  return PyObject_CallOneArg(exception_class(ExcClass::kConnectionClosed), text.get());
}

PyObject* m_goaway_info(PyObject* self, PyObject*) {
  std::optional<http2::GoAwayInfo> g = conn(self).goaway_info();
  if (!g) Py_RETURN_NONE;
  return Py_BuildValue("(IIy#)", g->last_stream_id, g->error_code, g->debug_data.data(),
                       Py_ssize_t(g->debug_data.size()));
}

PyObject* m_is_closed(PyObject* self, PyObject*) {
  return bool_obj(conn(self).is_closed());
}

PyObject* m_is_failed(PyObject* self, PyObject*) {
  return bool_obj(conn(self).is_failed());
}

PyObject* m_reset_stream(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "reason", "initiator"};
  static const ArgSignature sig{"reset_stream", names, 3, 3, 2};
  PyObject* a[3];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid, reason;
  if (!stream_id_arg(a[0], "sid", sid) || !to_u32(a[1], reason)) return nullptr;
  http2::Initiator who = http2::Initiator::kUser;
  if (a[2] && !initiator_arg(a[2], "reset_stream", who)) return nullptr;
  http2::ResetVerdict r = run(
      self, [&](Connection& c, Released& drop) { return c.reset_stream(sid, reason, who, drop); });
  if (r.error) return raise(*r.error);
  return reset_verdict_object(std::move(r));
}

PyObject* m_reset_on_error(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "reason"};
  static const ArgSignature sig{"reset_on_error", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid, reason;
  if (!stream_id_arg(a[0], "sid", sid) || !to_u32(a[1], reason)) return nullptr;
  http2::ResetVerdict r =
      run(self, [&](Connection& c, Released& drop) { return c.reset_on_error(sid, reason, drop); });
  if (r.error) return raise(*r.error);
  return reset_verdict_object(std::move(r));
}

PyObject* m_aclose_body(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("aclose_body", "sid", args, nargs, kwnames);
  uint32_t sid;
  if (!a || !stream_id_arg(a, "sid", sid)) return nullptr;
  http2::ResetVerdict r =
      run(self, [&](Connection& c, Released& drop) { return c.aclose_body(sid, drop); });
  if (r.error) return raise(*r.error);
  return reset_verdict_object(std::move(r));
}

PyObject* m_release_capacity(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "n"};
  static const ArgSignature sig{"release_capacity", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid, n;
  if (!stream_id_arg(a[0], "sid", sid) || !to_u32(a[1], n)) return nullptr;
  run(self, [&](Connection& c, Released& drop) { c.release_capacity(sid, n, drop); });
  Py_RETURN_NONE;
}

PyObject* m_release_data_frame(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"sid", "payload_len"};
  static const ArgSignature sig{"release_data_frame", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t sid;
  uint64_t len;
  if (!stream_id_arg(a[0], "sid", sid) || !to_u64(a[1], len)) return nullptr;
  run(self, [&](Connection& c, Released& drop) { c.release_data_frame(sid, len, drop); });
  Py_RETURN_NONE;
}

PyObject* m_accepted(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("accepted", "sid", args, nargs, kwnames);
  uint32_t sid;
  if (!a || !stream_id_arg(a, "sid", sid)) return nullptr;
  conn(self).accepted(sid);
  Py_RETURN_NONE;
}

// ---- test hooks (a plain u32 id; None for an unknown stream) ---------------------------------

template <class F>
PyObject* hook(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* fn,
               F&& f) {
  PyObject* a = one_arg(fn, "sid", args, nargs, kwnames);
  uint32_t sid;
  if (!a || !to_u32(a, sid)) return nullptr;
  return f(conn(self), sid);
}

#define HOOK(name, body)                                                               \
  PyObject* h_##name(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) { \
    return hook(self, args, nargs, kwnames, #name,                                     \
                [](Connection& c, uint32_t sid) -> PyObject* { body; });               \
  }

HOOK(has_stream, return bool_obj(c.has_stream(sid)))
HOOK(is_recv_end_stream, return opt_bool(c.is_recv_end_stream(sid)))
HOOK(stream_state, auto s = c.stream_state(sid); return s ? str_from(*s) : Py_NewRef(Py_None))
HOOK(stream_recv_unreleased, return opt_int(c.stream_recv_unreleased(sid)))
HOOK(stream_recv_reclaimed, return opt_bool(c.stream_recv_reclaimed(sid)))
HOOK(stream_data_budget_charged, return opt_int(c.stream_data_budget_charged(sid)))
HOOK(stream_send_buffered, return opt_int(c.stream_send_buffered(sid)))
HOOK(stream_send_window, return opt_int(c.stream_send_window(sid)))
HOOK(in_reset_store, return bool_obj(c.in_reset_store(sid)))
HOOK(set_next_stream_id, c.set_next_stream_id(sid); Py_RETURN_NONE)
HOOK(set_max_stream_id, c.set_max_stream_id(sid); Py_RETURN_NONE)
HOOK(set_last_processed_id, c.set_last_processed_id(sid); Py_RETURN_NONE)
#undef HOOK

// ---- getters ------------------------------------------------------------------------------------

#define GET(name, expr)                                                                       \
  {                                                                                           \
#name, [](PyObject* self, void*) -> PyObject* { Connection& c = conn(self); return expr; }, \
   nullptr, nullptr, nullptr \
  }

PyGetSetDef kGetSet[] = {
    GET(is_server, bool_obj(c.is_server())),
    GET(graceful, bool_obj(c.graceful())),
    GET(shutdown_final, bool_obj(c.shutdown_final())),
    GET(goaway_replied, bool_obj(c.goaway_replied())),
    GET(last_processed_id, PyLong_FromUnsignedLong(c.last_processed_id())),
    GET(max_stream_id, PyLong_FromUnsignedLong(c.max_stream_id())),
    GET(peer_initial_window_size, PyLong_FromUnsignedLong(c.peer_initial_window_size())),
    GET(peer_max_frame_size, PyLong_FromUnsignedLong(c.peer_max_frame_size())),
    GET(num_streams, PyLong_FromUnsignedLongLong(c.num_streams())),
    GET(num_open_streams, PyLong_FromUnsignedLongLong(c.num_open_streams())),
    GET(local_error_resets, PyLong_FromUnsignedLongLong(c.local_error_resets())),
    GET(max_pending_accept_reset_streams,
        PyLong_FromUnsignedLongLong(c.max_pending_accept_reset_streams())),
    GET(data_frame_budget_available, PyLong_FromUnsignedLongLong(c.data_frame_budget_available())),
    GET(data_frame_budget_empty_frames,
        PyLong_FromUnsignedLongLong(c.data_frame_budget_empty_frames())),
    GET(stream_limit, opt_int(c.stream_limit())),
    GET(max_local_error_reset_streams, opt_int(c.max_local_error_reset_streams())),
    GET(max_reset_burst, opt_int(c.max_reset_burst())),
    GET(peer_max_concurrent_streams, opt_int(c.peer_max_concurrent_streams())),
    GET(peer_connect_protocol, bool_obj(c.peer_connect_protocol())),
    GET(conn_send_window, PyLong_FromUnsignedLong(c.conn_send_window())),
    GET(conn_recv_available, PyLong_FromLong(c.conn_recv_available())),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef GET

PyMethodDef kMethods[] = {
    // handshake, settings, PING
    {"begin", m_begin, METH_NOARGS,
     SIG_DOC("begin($self)",
             "Queue the connection preface (client), our SETTINGS and, for a large connection "
             "window, WINDOW_UPDATE(0).")},
    {"receive", FAST(m_receive), FASTKW,
     SIG_DOC("receive($self, data)",
             "Decode data (bytes) under the decoder lock; the list of frame objects completed, "
             "in wire order.")},
    {"prime", FAST(m_prime), FASTKW,
     SIG_DOC("prime($self, data)",
             "Seed the decoder with bytes already read: True (preface matched, or bytes "
             "queued), None (preface incomplete) or False (not the preface).")},
    {"recv_settings", FAST(m_recv_settings), FASTKW,
     SIG_DOC("recv_settings($self, frame)",
             "Apply a SETTINGS frame: (initial, wake_windows, flags).")},
    {"recv_ping", FAST(m_recv_ping), FASTKW,
     SIG_DOC("recv_ping($self, frame)",
             "Answer a PING, or complete a graceful shutdown on its ACK: flags.")},
    // slots and task handles
    {"try_claim_slot", m_try_claim_slot, METH_NOARGS,
     SIG_DOC("try_claim_slot($self)", "Claim a concurrency slot; False at the stream limit.")},
    {"can_open", m_can_open, METH_NOARGS,
     SIG_DOC("can_open($self)", "A slot could be claimed now (claims nothing).")},
    {"release_slot_count", m_release_slot_count, METH_NOARGS,
     SIG_DOC("release_slot_count($self)",
             "Give back a claimed slot that did not become a stream.")},
    {"apply_stream_limit", FAST(m_apply_stream_limit), FASTKW,
     SIG_DOC("apply_stream_limit($self, limit)",
             "Set the client's stream limit (None: no limit).")},
    {"store_task_handles", FAST(m_store_task_handles), FASTKW,
     SIG_DOC("store_task_handles($self, read, pump)",
             "Store the read and write pumps' task handles.")},
    {"take_read_handle", m_take_read_handle, METH_NOARGS,
     SIG_DOC("take_read_handle($self)", "The read pump's handle, once; then None.")},
    {"take_pump_handle", m_take_pump_handle, METH_NOARGS,
     SIG_DOC("take_pump_handle($self)", "The write pump's handle, once; then None.")},
    // send path
    {"open_stream", FAST(m_open_stream), FASTKW,
     SIG_DOC("open_stream($self, method, target, headers, end_stream, is_head, handle, *, "
             "scheme=None, authority=None, protocol=None)",
             "Open a request stream and queue its HEADERS: the new stream id, or None on a "
             "failed or GOAWAY'd connection (the claimed slot is given back). The method HEAD "
             "implies is_head: the response has no content.")},
    {"send_data", FAST(m_send_data), FASTKW,
     SIG_DOC("send_data($self, sid, data, offset, end_stream)",
             "Queue at most one DATA frame of data[offset:] as far as the windows and the send "
             "buffer allow: H2SendVerdict.")},
    {"send_trailers", FAST(m_send_trailers), FASTKW,
     SIG_DOC("send_trailers($self, sid, trailers)",
             "Queue the trailers, ending the stream: H2SendVerdict.")},
    {"send_response_head", FAST(m_send_response_head), FASTKW,
     SIG_DOC("send_response_head($self, sid, status, headers, end_stream)",
             "Queue a response head: H2SendVerdict.")},
    {"take_pending", m_take_pending, METH_NOARGS,
     SIG_DOC("take_pending($self)",
             "Take every queued byte as one read-only batch: (memoryview, stopping).")},
    {"credit_written", m_credit_written, METH_NOARGS,
     SIG_DOC("credit_written($self)",
             "The taken batches are written: the handles of the streams they carried, once "
             "each, in order.")},
    {"has_pending", m_has_pending, METH_NOARGS, SIG_DOC("has_pending($self)", "Bytes are queued.")},
    {"stop_pump", m_stop_pump, METH_NOARGS,
     SIG_DOC("stop_pump($self)", "Ask the write pump to drain and stop.")},
    // receive path
    {"recv_headers", FAST(m_recv_headers), FASTKW,
     SIG_DOC("recv_headers($self, frame, spare=None)",
             "Apply a HEADERS frame; spare is the server's handle for a new stream: "
             "H2RecvHeadersVerdict.")},
    {"recv_data", FAST(m_recv_data), FASTKW,
     SIG_DOC("recv_data($self, frame)", "Apply a DATA frame: H2RecvDataVerdict.")},
    {"recv_window_update", FAST(m_recv_window_update), FASTKW,
     SIG_DOC("recv_window_update($self, frame)",
             "Apply a WINDOW_UPDATE frame: the handles whose senders must be woken.")},
    {"recv_reset", FAST(m_recv_reset), FASTKW,
     SIG_DOC("recv_reset($self, frame)",
             "Apply a RST_STREAM frame: (handle, stop, notify_body, flags) for a live stream, "
             "else None.")},
    // shutdown, failure, resets
    {"recv_go_away", FAST(m_recv_go_away), FASTKW,
     SIG_DOC("recv_go_away($self, frame)",
             "Apply a GOAWAY frame: (list of (handle, stop) of the aborted streams, flags).")},
    {"maybe_goaway_reply", m_maybe_goaway_reply, METH_NOARGS,
     SIG_DOC("maybe_goaway_reply($self)",
             "Answer the peer's final GOAWAY once no stream is live: flags.")},
    {"send_goaway", FAST(m_send_goaway), FASTKW,
     SIG_DOC("send_goaway($self, reason)", "Queue a GOAWAY carrying reason: flags.")},
    {"begin_graceful_shutdown", m_begin_graceful_shutdown, METH_NOARGS,
     SIG_DOC("begin_graceful_shutdown($self)",
             "Server: queue GOAWAY(2^31-1) and the shutdown PING, once: flags.")},
    {"fail", FAST(m_fail), FASTKW,
     SIG_DOC("fail($self, exc=None, message=\"connection closed\")",
             "Record the connection's failure (the first one wins) and end every stream: the "
             "(handle, stop) pairs of the streams that were live.")},
    {"conn_error", m_conn_error, METH_NOARGS,
     SIG_DOC("conn_error($self)",
             "The stored exception, a ConnectionClosedError for a stored message, or None.")},
    {"goaway_info", m_goaway_info, METH_NOARGS,
     SIG_DOC("goaway_info($self)",
             "(last_stream_id, error_code, debug_data) of the peer's GOAWAY, or None.")},
    {"is_closed", m_is_closed, METH_NOARGS,
     SIG_DOC("is_closed($self)", "Failed, or the peer sent GOAWAY.")},
    {"is_failed", m_is_failed, METH_NOARGS, SIG_DOC("is_failed($self)", "An error is stored.")},
    {"reset_stream", FAST(m_reset_stream), FASTKW,
     SIG_DOC("reset_stream($self, sid, reason, initiator=\"user\")",
             "Reset a stream: H2ResetVerdict.")},
    {"reset_on_error", FAST(m_reset_on_error), FASTKW,
     SIG_DOC("reset_on_error($self, sid, reason)",
             "Reset a stream after the peer's stream error, counted against the local-error "
             "cap: H2ResetVerdict.")},
    {"aclose_body", FAST(m_aclose_body), FASTKW,
     SIG_DOC("aclose_body($self, sid)",
             "The body reader closes: give back unread capacity, or cancel an unfinished body: "
             "H2ResetVerdict.")},
    {"release_capacity", FAST(m_release_capacity), FASTKW,
     SIG_DOC("release_capacity($self, sid, n)",
             "The application consumed n received bytes of stream sid.")},
    {"release_data_frame", FAST(m_release_data_frame), FASTKW,
     SIG_DOC("release_data_frame($self, sid, payload_len)",
             "A budgeted DATA chunk was consumed: return its charge.")},
    {"accepted", FAST(m_accepted), FASTKW,
     SIG_DOC("accepted($self, sid)", "Server: the application pulled the request of stream sid.")},
    // test hooks
    {"has_stream", FAST(h_has_stream), FASTKW,
     SIG_DOC("has_stream($self, sid)", "sid is in the stream store.")},
    {"is_recv_end_stream", FAST(h_is_recv_end_stream), FASTKW,
     SIG_DOC("is_recv_end_stream($self, sid)", "The peer's END_STREAM arrived.")},
    {"stream_state", FAST(h_stream_state), FASTKW,
     SIG_DOC("stream_state($self, sid)", "The stream state's debug text.")},
    {"stream_recv_unreleased", FAST(h_stream_recv_unreleased), FASTKW,
     SIG_DOC("stream_recv_unreleased($self, sid)", "Received bytes not yet released.")},
    {"stream_recv_reclaimed", FAST(h_stream_recv_reclaimed), FASTKW,
     SIG_DOC("stream_recv_reclaimed($self, sid)", "The stream's capacity was reclaimed.")},
    {"stream_data_budget_charged", FAST(h_stream_data_budget_charged), FASTKW,
     SIG_DOC("stream_data_budget_charged($self, sid)", "DATA-budget charges not yet released.")},
    {"stream_send_buffered", FAST(h_stream_send_buffered), FASTKW,
     SIG_DOC("stream_send_buffered($self, sid)", "Bytes queued or in flight, not yet credited.")},
    {"stream_send_window", FAST(h_stream_send_window), FASTKW,
     SIG_DOC("stream_send_window($self, sid)", "The stream's send window (0 when negative).")},
    {"in_reset_store", FAST(h_in_reset_store), FASTKW,
     SIG_DOC("in_reset_store($self, sid)", "sid is remembered as recently reset.")},
    {"set_next_stream_id", FAST(h_set_next_stream_id), FASTKW,
     SIG_DOC("set_next_stream_id($self, sid)", "Set the next client stream id.")},
    {"set_max_stream_id", FAST(h_set_max_stream_id), FASTKW,
     SIG_DOC("set_max_stream_id($self, sid)", "Set the last stream id of our final GOAWAY.")},
    {"set_last_processed_id", FAST(h_set_last_processed_id), FASTKW,
     SIG_DOC("set_last_processed_id($self, sid)", "Set the highest peer stream id accepted.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(streams_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(streams_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(streams_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(streams_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(streams_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "H2Streams(role, *, initial_window_size, connection_window, max_frame_size, "
                    "max_header_list_size, max_send_buf_size, max_concurrent_streams=None, "
                    "max_pending_accept_reset_streams=20, max_local_error_reset_streams=..., "
                    "data_frame_budget=None, auto_date_header=True, enable_push=None, "
                    "drop_connection_fields=False, max_reset_burst=..., "
                    "enable_connect_protocol=False)",
                    "The protocol state of one HTTP/2 connection, client or server: settings, flow "
                    "control, streams, slots, GOAWAY and failure, and the pending-send buffer.\n\n"
                    "drop_connection_fields: the connection-specific fields (RFC 9113 section "
                    "8.2.2) of request and response heads are left out instead of refused, a "
                    "request's te unless it is trailers, and a request's host gives :authority; "
                    "trailers and a response's te other than trailers are still refused.\n\n"
                    "max_reset_burst: how many resets the peer may make this side pay for (its "
                    "resets of requests not yet answered, and resets its stream errors force) "
                    "before the connection ends with ENHANCE_YOUR_CALM; refilled over time. "
                    "Omitted: 200; None: no limit.\n\n"
                    "enable_connect_protocol: a server announces "
                    "SETTINGS_ENABLE_CONNECT_PROTOCOL = 1 (RFC 8441)."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H2Streams", sizeof(StreamsObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots};

}  // namespace

PyObject* h2_streams_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    Handle::install({retain_object, release_object});
    return make_type(&kSpec);
  });
}

void streams_return_buffer(PyObject* owner, std::string&& bytes) {
  auto* o = reinterpret_cast<StreamsObject*>(owner);
  if (o->constructed) o->conn.return_buffer(std::move(bytes));
}

int setup_h2_streams_classes(PyObject* m) {
  if (add_to_module(m, "H2Streams", h2_streams_type()) < 0) return -1;
  if (add_to_module(m, "H2Stopped", h2_stopped_type()) < 0) return -1;
  if (add_to_module(m, "H2RecvHeadersVerdict", h2_headers_verdict_type()) < 0) return -1;
  if (add_to_module(m, "H2RecvDataVerdict", h2_data_verdict_type()) < 0) return -1;
  if (add_to_module(m, "H2SendVerdict", h2_send_verdict_type()) < 0) return -1;
  return add_to_module(m, "H2ResetVerdict", h2_reset_verdict_type());
}

int setup_h2_flag_constants(PyObject* m) {
  static const IntConstant table[] = {
      {"H2_FLAG_WAKE", 1},           {"H2_FLAG_SLOT_FREED", 2},  {"H2_FLAG_CONN_DONE", 4},
      {"H2_FLAG_STOP_ACCEPTING", 8}, {"H2_HEADERS_IGNORED", 0},  {"H2_HEADERS_OPENED", 1},
      {"H2_HEADERS_HEAD", 2},        {"H2_HEADERS_TRAILERS", 3},
  };
  return add_int_constants(m, table);
}

}  // namespace velmora::py
