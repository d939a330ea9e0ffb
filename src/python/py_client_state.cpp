// H1ClientState: the connection state of one HTTP/1 client connection (subclassable; the
// client driver adds the asynchronous machinery).
#include <new>

#include "http1/client_state.hpp"
#include "python/py_http1.hpp"
#include "python/py_state_common.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"

namespace velmora::py {
namespace {

using State = http1::ClientState<Ref>;
using Drops = State::Drops;

using LockedState = Locked<State>;

// Runs `f(state)` under the state's lock.
template <class F>
auto locked(PyObject* self, F&& f) {
  return unbox<LockedState>(self).with(std::forward<F>(f));
}

// ---- construction and collection --------------------------------------------------------

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"transport", nullptr};
  PyObject* transport = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:H1ClientState", const_cast<char**>(kw),
                                   &transport))
    return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&unbox<LockedState>(self)) LockedState(held(transport));
  return self;
}

constexpr auto client_traverse = gc_traverse<State>;
constexpr auto client_clear = gc_clear<State>;
constexpr auto client_dealloc = gc_dealloc<State>;

PyObject* client_repr(PyObject* self) {
  State::Snapshot s = locked(self, [&](State& st) { return st.snapshot(); });
  auto b = [](bool v) { return v ? "true" : "false"; };
  return PyUnicode_FromFormat(
      "H1ClientState(closed=%s, failed=%s, busy=%s, exchange_active=%s, watcher=%s)", b(s.closed),
      b(s.failed), b(s.busy), b(s.exchange_active), b(s.has_watcher));
}

// ---- methods ----------------------------------------------------------------------------

PyObject* m_transport_ref(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.transport_ref(); }));
}

PyObject* m_set_peer_http10(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* v = one_arg("set_peer_http10", "value", args, nargs, kwnames);
  bool value;
  if (!v || !to_bool(v, value)) return nullptr;
  locked(self, [&](State& st) { return st.set_peer_http10(value); });
  Py_RETURN_NONE;
}

PyObject* m_is_dead(PyObject* self, PyObject*) {
  return PyBool_FromLong(locked(self, [&](State& st) { return st.is_dead(); }));
}

PyObject* m_try_begin_exchange(PyObject* self, PyObject*) {
  return PyBool_FromLong(locked(self, [&](State& st) { return st.try_begin_exchange(); }));
}

PyObject* m_end_exchange(PyObject* self, PyObject*) {
  return PyBool_FromLong(locked(self, [&](State& st) { return st.end_exchange(); }));
}

PyObject* m_exchange_started(PyObject* self, PyObject*) {
  locked(self, [&](State& st) { return st.exchange_started(); });
  Py_RETURN_NONE;
}

PyObject* m_response_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const char* const names[] = {"keep_alive", "request_close", "close_delimited", "http10"};
  static const ArgSignature sig{"response_head", names, 4, 4, 4};
  PyObject* a[4];
  bool v[4];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  for (int i = 0; i < 4; ++i)
    if (!to_bool(a[i], v[i])) return nullptr;
  locked(self, [&](State& st) { return st.response_head(v[0], v[1], v[2], v[3]); });
  Py_RETURN_NONE;
}

PyObject* m_note_peer_closed(PyObject* self, PyObject*) {
  locked(self, [&](State& st) { return st.note_peer_closed(); });
  Py_RETURN_NONE;
}

PyObject* m_complete_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  PyObject* v = one_arg("complete_exchange", "leftover", args, nargs, kwnames);
  bool leftover;
  if (!v || !to_bool(v, leftover)) return nullptr;
  State::Completion r = locked(self, [&](State& st) { return st.complete_exchange(leftover); });
  return PyTuple_Pack(2, r.reuse ? Py_True : Py_False, none_or(r.transport));
}

PyObject* m_fail(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc"};
  static const ArgSignature sig{"fail", names, 1, 1, 0};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  Ref exc = held(a[0]);
  Ref transport;
  {
    Drops drops;
    transport = locked(self, [&](State& st) { return st.fail(std::move(exc), drops); });
  }
  return new_ref_or_none(std::move(transport));
}

PyObject* m_close_now(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.close_now(); }));
}

PyObject* m_mark_closed(PyObject* self, PyObject*) {
  State::MarkClosed r = locked(self, [&](State& st) { return st.mark_closed(); });
  return Py_BuildValue("(OOOO)", none_or(r.transport), none_or(r.done), none_or(r.writer),
                       r.idle ? Py_True : Py_False);
}

PyObject* m_upgrade(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.upgrade(); }));
}

PyObject* m_store_writer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* scope = one_arg("store_writer", "scope", args, nargs, kwnames);
  if (!scope) return nullptr;
  Ref refused;
  {
    Drops drops;
    Ref stored = held(scope);
    refused = locked(self, [&](State& st) { return st.store_writer(std::move(stored), drops); });
  }
  return new_ref_or_none(std::move(refused));
}

PyObject* m_take_writer(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.take_writer(); }));
}

PyObject* m_writer_done(PyObject* self, PyObject*) {
  locked(self, [&](State& st) { return st.writer_done(); });
  Py_RETURN_NONE;
}

PyObject* m_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* done = one_arg("arm_watcher", "done", args, nargs, kwnames);
  if (!done) return nullptr;
  bool armed;
  {
    Drops drops;
    Ref event = held(done);
    armed = locked(self, [&](State& st) { return st.arm_watcher(std::move(event), drops); });
  }
  return PyBool_FromLong(armed);
}

PyObject* m_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* handle = one_arg("store_watcher_handle", "handle", args, nargs, kwnames);
  if (!handle) return nullptr;
  Ref stored = held(handle);
  return new_ref_or_none(
      locked(self, [&](State& st) { return st.store_watcher_handle(std::move(stored)); }));
}

PyObject* m_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const char* const names[] = {"data", "error"};
  static const ArgSignature sig{"watcher_completed", names, 2, 2, 0};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  Ref data;
  size_t size = 0;
  if (a[0] && a[0] != Py_None) {
    if (!PyBytes_Check(a[0])) {
      raise_arg_type("watcher_completed", "data", "bytes or None", a[0]);
      return nullptr;
    }
    data = Ref::borrow(a[0]);
    size = size_t(PyBytes_GET_SIZE(a[0]));
  }
  Ref error = held(a[1]);
  std::pair<uint8_t, Ref> r;
  {
    Drops drops;
    r = locked(self, [&](State& st) {
      return st.watcher_completed(std::move(data), size, std::move(error), drops);
    });
  }
  return Py_BuildValue("(iO)", int(r.first), none_or(r.second));
}

// ---- properties -------------------------------------------------------------------------

#define FLAG_GETTER(name)                                                                \
  PyObject* get_##name(PyObject* self, void*) {                                          \
    return PyBool_FromLong(locked(self, [&](State& st) { return st.snapshot(); }).name); \
  }
FLAG_GETTER(closed)
FLAG_GETTER(busy)
FLAG_GETTER(upgraded)
FLAG_GETTER(peer_http10)
FLAG_GETTER(has_watcher)
FLAG_GETTER(writer_finished)
FLAG_GETTER(reusable)
FLAG_GETTER(peer_closed)
#undef FLAG_GETTER

PyObject* get_error(PyObject* self, void*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.error(); }));
}

PyMethodDef kMethods[] = {
    {"transport_ref", m_transport_ref, METH_NOARGS,
     SIG_DOC("transport_ref($self)", "The transport, or None once taken.")},
    {"set_peer_http10", FAST(m_set_peer_http10), FASTKW,
     SIG_DOC("set_peer_http10($self, value)", "Record whether the server answers with HTTP/1.0.")},
    {"is_dead", m_is_dead, METH_NOARGS,
     SIG_DOC(
         "is_dead($self)",
         "True when the connection is closed, an error is stored or the server ended its side.")},
    {"try_begin_exchange", m_try_begin_exchange, METH_NOARGS,
     SIG_DOC("try_begin_exchange($self)", "Claim the connection for one exchange.")},
    {"end_exchange", m_end_exchange, METH_NOARGS,
     SIG_DOC("end_exchange($self)", "Release the claim; True when it was held.")},
    {"exchange_started", m_exchange_started, METH_NOARGS,
     SIG_DOC("exchange_started($self)",
             "The request is about to be written: a completing watcher read now belongs to the "
             "exchange.")},
    {"response_head", FAST(m_response_head), FASTKW,
     SIG_DOC("response_head($self, keep_alive, request_close, close_delimited, http10)",
             "The response head of this exchange: what decides whether the connection may be "
             "reused.")},
    {"note_peer_closed", m_note_peer_closed, METH_NOARGS,
     SIG_DOC("note_peer_closed($self)", "The server ended its side: no later exchange.")},
    {"complete_exchange", FAST(m_complete_exchange), FASTKW,
     SIG_DOC("complete_exchange($self, leftover)",
             "The response is complete: (True, None) when the connection is released for reuse, "
             "(False, transport) when it closes.")},
    {"fail", FAST(m_fail), FASTKW,
     SIG_DOC("fail($self, exc=None)",
             "Poison and close; the first error stored wins. The taken transport or None.")},
    {"close_now", m_close_now, METH_NOARGS,
     SIG_DOC("close_now($self)", "Close without an error; the taken transport or None.")},
    {"mark_closed", m_mark_closed, METH_NOARGS,
     SIG_DOC("mark_closed($self)", "Close: (transport, done, writer, idle).")},
    {"upgrade", m_upgrade, METH_NOARGS,
     SIG_DOC("upgrade($self)", "Hand the transport off after a protocol switch.")},
    {"store_writer", FAST(m_store_writer), FASTKW,
     SIG_DOC("store_writer($self, scope)",
             "Store the request writer's scope; None when stored, the scope when refused.")},
    {"take_writer", m_take_writer, METH_NOARGS,
     SIG_DOC("take_writer($self)", "Take the writer scope out, once.")},
    {"writer_done", m_writer_done, METH_NOARGS,
     SIG_DOC("writer_done($self)", "The request writer sent the body in full.")},
    {"arm_watcher", FAST(m_arm_watcher), FASTKW,
     SIG_DOC("arm_watcher($self, done)",
             "Arm the idle watcher; True when the caller must spawn it.")},
    {"store_watcher_handle", FAST(m_store_watcher_handle), FASTKW,
     SIG_DOC("store_watcher_handle($self, handle)",
             "Store the watcher task's handle; None when stored, the handle when refused.")},
    {"watcher_completed", FAST(m_watcher_completed), FASTKW,
     SIG_DOC("watcher_completed($self, data=None, error=None)",
             "The watcher's read completed: (verdict, transport).")},
    WATCHER_SLOT_METHODS(State),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"closed", get_closed, nullptr, "The connection is closed.", nullptr},
    {"busy", get_busy, nullptr, "An exchange holds the connection.", nullptr},
    {"upgraded", get_upgraded, nullptr, "The transport was handed off.", nullptr},
    {"peer_http10", get_peer_http10, nullptr, "The server answered with HTTP/1.0.", nullptr},
    {"error", get_error, nullptr, "The stored error, or None.", nullptr},
    {"has_watcher", get_has_watcher, nullptr, "A watcher slot exists.", nullptr},
    {"writer_finished", get_writer_finished, nullptr, "The request writer sent the body in full.",
     nullptr},
    {"reusable", get_reusable, nullptr, "The response head so far leaves the connection reusable.",
     nullptr},
    {"peer_closed", get_peer_closed, nullptr, "The server ended its side.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(client_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(client_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(client_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC("H1ClientState(transport)",
                                          "Connection state of one HTTP/1 client connection."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H1ClientState", sizeof(Box<LockedState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots};

}  // namespace

PyObject* h1_client_state_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

}  // namespace velmora::py
