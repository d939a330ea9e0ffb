// H2StreamState: one stream state behind a mutex of its own, for drivers and tests that hold a
// single stream's lifecycle by itself.
#include <new>
#include <string>

#include "python/py_errors.hpp"
#include "http2/stream_state.hpp"
#include "python/boundary.hpp"
#include "python/py_h2_args.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

using http2::StreamState;
using http2::TransitionError;
using LockedState = Locked<StreamState>;

// Runs `f(state)` under the object's lock.
template <class F>
auto locked(PyObject* self, F&& f) {
  return unbox<LockedState>(self).with(std::forward<F>(f));
}

PyObject* ss_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwds && PyDict_GET_SIZE(kwds) != 0)) {
    PyErr_SetString(PyExc_TypeError, "H2StreamState() takes no arguments");
    return nullptr;
  }
  return box_new<LockedState>(type);
}

PyObject* none_or_raise(TransitionError e) {
  if (e != TransitionError::kNone) return raise(http2::transition_error(e));
  Py_RETURN_NONE;
}

// Runs a state query under the lock.
template <class F>
PyObject* query(PyObject* self, F&& f) {
  return PyBool_FromLong(locked(self, std::forward<F>(f)));
}

// ---- transitions ----------------------------------------------------------------------------

PyObject* ss_send_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"eos"};
  static const ArgSignature sig{"send_open", names, 1, 1, 1};
  PyObject* a[1];
  bool eos;
  if (!parse_args(sig, args, nargs, kw, a) || !to_bool(a[0], eos)) return nullptr;
  TransitionError e;
  e = locked(self, [&](StreamState& s) { return s.send_open(eos); });
  return none_or_raise(e);
}

PyObject* ss_recv_open(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"eos", "informational"};
  static const ArgSignature sig{"recv_open", names, 2, 2, 2};
  PyObject* a[2];
  bool eos, informational;
  if (!parse_args(sig, args, nargs, kw, a) || !to_bool(a[0], eos) || !to_bool(a[1], informational))
    return nullptr;
  TransitionError e;
  bool opened = false;
  e = locked(self, [&](StreamState& s) { return s.recv_open(eos, informational, opened); });
  if (e != TransitionError::kNone) return raise(http2::transition_error(e));
  return PyBool_FromLong(opened);
}

template <TransitionError (StreamState::*Method)()>
PyObject* ss_simple(PyObject* self, PyObject*) {
  TransitionError e;
  e = locked(self, [&](StreamState& s) { return (s.*Method)(); });
  return none_or_raise(e);
}

PyObject* ss_send_close(PyObject* self, PyObject*) {
  bool closed;
  closed = locked(self, [&](StreamState& s) { return s.send_close(); });
  return PyBool_FromLong(closed);
}

PyObject* ss_recv_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "reason", "queued"};
  static const ArgSignature sig{"recv_reset", names, 3, 3, 3};
  PyObject* a[3];
  uint32_t sid, reason;
  bool queued;
  if (!parse_args(sig, args, nargs, kw, a) || !stream_id_arg(a[0], "stream_id", sid) ||
      !to_u32(a[1], reason) || !to_bool(a[2], queued))
    return nullptr;
  locked(self, [&](StreamState& s) { return s.recv_reset(sid, reason, queued); });
  Py_RETURN_NONE;
}

PyObject* ss_recv_eof(PyObject* self, PyObject*) {
  locked(self, [&](StreamState& s) { return s.recv_eof(); });
  Py_RETURN_NONE;
}

PyObject* ss_set_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "reason", "initiator"};
  static const ArgSignature sig{"set_reset", names, 3, 3, 3};
  PyObject* a[3];
  uint32_t sid, reason;
  http2::Initiator who;
  if (!parse_args(sig, args, nargs, kw, a) || !stream_id_arg(a[0], "stream_id", sid) ||
      !to_u32(a[1], reason) || !initiator_arg(a[2], "set_reset", who))
    return nullptr;
  locked(self, [&](StreamState& s) { return s.set_reset(sid, reason, who); });
  Py_RETURN_NONE;
}

PyObject* ss_set_scheduled_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kw) {
  static const char* const names[] = {"reason"};
  static const ArgSignature sig{"set_scheduled_reset", names, 1, 1, 1};
  PyObject* a[1];
  uint32_t reason;
  if (!parse_args(sig, args, nargs, kw, a) || !to_u32(a[0], reason)) return nullptr;
  bool changed;
  changed = locked(self, [&](StreamState& s) { return s.set_scheduled_reset(reason); });
  return PyBool_FromLong(changed);
}

// ---- queries --------------------------------------------------------------------------------

PyObject* ss_ensure_recv_open(PyObject* self, PyObject*) {
  std::optional<PendingError> error;
  bool open;
  open = locked(self, [&](StreamState& s) { return s.ensure_recv_open(error); });
  if (error) return raise(*error);
  return PyBool_FromLong(open);
}

PyObject* ss_get_scheduled_reset(PyObject* self, PyObject*) {
  std::optional<uint32_t> reason;
  reason = locked(self, [&](StreamState& s) { return s.scheduled_reset(); });
  if (!reason) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*reason);
}

#define SS_QUERY(name)                                                 \
  PyObject* ss_##name(PyObject* self, PyObject*) {                     \
    return query(self, [](const StreamState& s) { return s.name(); }); \
  }
SS_QUERY(is_scheduled_reset)
SS_QUERY(is_local_error)
SS_QUERY(is_remote_reset)
SS_QUERY(is_reset)
SS_QUERY(is_send_streaming)
SS_QUERY(is_recv_headers)
SS_QUERY(is_recv_streaming)
SS_QUERY(is_recv_end_stream)
SS_QUERY(is_closed)
SS_QUERY(is_send_closed)
SS_QUERY(is_idle)
#undef SS_QUERY

PyObject* ss_repr(PyObject* self) {
  std::string text;
  text = locked(self, [&](StreamState& s) { return s.debug_text(); });
  return str_from(text);
}

PyMethodDef kMethods[] = {
    {"send_open", FAST(ss_send_open), FASTKW,
     SIG_DOC("send_open($self, eos)",
             "Send HEADERS: open the local half (and close it when eos).\n\n"
             "Raises H2UserError('unexpected_frame_type', ...) when the stream cannot send a "
             "head now.")},
    {"recv_open", FAST(ss_recv_open), FASTKW,
     SIG_DOC("recv_open($self, eos, informational)",
             "Receive HEADERS; return True when the frame opened the stream.\n\n"
             "Raises H2ProtocolError(1, ...) when the peer may not send a head now.")},
    {"reserve_remote", ss_simple<&StreamState::reserve_remote>, METH_NOARGS,
     SIG_DOC("reserve_remote($self)", "The peer promised this stream (PUSH_PROMISE received).")},
    {"reserve_local", ss_simple<&StreamState::reserve_local>, METH_NOARGS,
     SIG_DOC("reserve_local($self)", "This side promised this stream (PUSH_PROMISE sent).")},
    {"recv_close", ss_simple<&StreamState::recv_close>, METH_NOARGS,
     SIG_DOC("recv_close($self)", "The peer's END_STREAM arrived.")},
    {"send_close", ss_send_close, METH_NOARGS,
     SIG_DOC("send_close($self)",
             "Close the send half if it is streaming; return whether it was closed.")},
    {"recv_reset", FAST(ss_recv_reset), FASTKW,
     SIG_DOC("recv_reset($self, stream_id, reason, queued)",
             "RST_STREAM received. A closed stream keeps its cause unless queued.")},
    {"recv_eof", ss_recv_eof, METH_NOARGS,
     SIG_DOC("recv_eof($self)", "The transport broke: close an open stream with a broken pipe.")},
    {"set_reset", FAST(ss_set_reset), FASTKW,
     SIG_DOC("set_reset($self, stream_id, reason, initiator)",
             "Close the stream with a reset; initiator is 'user', 'library' or 'remote'.")},
    {"set_scheduled_reset", FAST(ss_set_scheduled_reset), FASTKW,
     SIG_DOC("set_scheduled_reset($self, reason)",
             "Unless closed, close with a reset the library will send; return whether it did.")},
    {"ensure_recv_open", ss_ensure_recv_open, METH_NOARGS,
     SIG_DOC("ensure_recv_open($self)",
             "True when more may arrive, False when nothing more will arrive cleanly; raise the "
             "error that closed the stream otherwise.")},
    {"get_scheduled_reset", ss_get_scheduled_reset, METH_NOARGS,
     SIG_DOC("get_scheduled_reset($self)", "The reason of a scheduled reset, or None.")},
    {"is_scheduled_reset", ss_is_scheduled_reset, METH_NOARGS,
     SIG_DOC("is_scheduled_reset($self)", "Closed with a reset the library will send.")},
    {"is_local_error", ss_is_local_error, METH_NOARGS,
     SIG_DOC("is_local_error($self)",
             "Closed by this side: a scheduled reset, an I/O error, or "
             "a reset or GOAWAY not initiated by the peer.")},
    {"is_remote_reset", ss_is_remote_reset, METH_NOARGS,
     SIG_DOC("is_remote_reset($self)", "Closed by a reset from the peer.")},
    {"is_reset", ss_is_reset, METH_NOARGS,
     SIG_DOC("is_reset($self)", "Closed for any reason other than a clean END_STREAM.")},
    {"is_send_streaming", ss_is_send_streaming, METH_NOARGS,
     SIG_DOC("is_send_streaming($self)", "The local half has sent its head and may send DATA.")},
    {"is_recv_headers", ss_is_recv_headers, METH_NOARGS,
     SIG_DOC("is_recv_headers($self)", "The remote half still awaits a final head.")},
    {"is_recv_streaming", ss_is_recv_streaming, METH_NOARGS,
     SIG_DOC("is_recv_streaming($self)", "The remote half has sent its head and may send DATA.")},
    {"is_recv_end_stream", ss_is_recv_end_stream, METH_NOARGS,
     SIG_DOC("is_recv_end_stream($self)", "The peer's END_STREAM has been received.")},
    {"is_closed", ss_is_closed, METH_NOARGS, SIG_DOC("is_closed($self)", "The stream is closed.")},
    {"is_send_closed", ss_is_send_closed, METH_NOARGS,
     SIG_DOC("is_send_closed($self)", "Nothing more may be sent on this stream.")},
    {"is_idle", ss_is_idle, METH_NOARGS,
     SIG_DOC("is_idle($self)", "No frame has been sent or received yet.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ss_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedState>)},
    {Py_tp_repr, reinterpret_cast<void*>(ss_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "H2StreamState()",
                    "The lifecycle of one HTTP/2 stream (RFC 9113 section 5.1), starting Idle."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H2StreamState",
    sizeof(Box<LockedState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyObject* stream_state_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

}  // namespace

int setup_h2_stream_state(PyObject* m) {
  return add_to_module(m, "H2StreamState", stream_state_type());
}

}  // namespace velmora::py
