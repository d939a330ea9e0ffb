// H1ServerState: the connection state of one HTTP/1 server connection (subclassable; the
// server driver adds the asynchronous machinery).
#include "http1/client_state.hpp"
#include <cstring>
#include <new>

#include "http/chars.hpp"
#include "http/standard_headers.hpp"
#include "python/py_errors.hpp"
#include "python/py_functions.hpp"
#include "python/py_header_map.hpp"
#include "python/py_http1.hpp"
#include "python/py_state_common.hpp"
#include "http1/server_state.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

struct PyTraits {
  using Obj = Ref;
  static Locked<http1::BodyDecoder>& decoder(const Ref& r) { return body_decoder_of(r.get()); }
  static std::string_view bytes(const Ref& r) {
    return {PyBytes_AS_STRING(r.get()), size_t(PyBytes_GET_SIZE(r.get()))};
  }
};

using State = http1::ServerState<PyTraits>;
using Drops = State::Drops;

using LockedState = Locked<State>;

// Runs `f(state)` under the state's lock.
template <class F>
auto locked(PyObject* self, F&& f) {
  return unbox<LockedState>(self).with(std::forward<F>(f));
}

bool seq_arg(PyObject* o, uint64_t& seq) {
  return to_u64(o, seq);
}

// A response status: an unsigned 16-bit integer.
bool status_arg(PyObject* o, uint32_t& status) {
  uint64_t v;
  if (!to_u64(o, v)) return false;
  if (v > 0xffff) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned short");
    return false;
  }
  status = uint32_t(v);
  return true;
}

// One argument `seq`.
bool parse_seq(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               uint64_t& seq) {
  static const char* const names[] = {"seq"};
  const ArgSignature sig{function, names, 1, 1, 1};
  PyObject* a[1];
  return parse_args(sig, args, nargs, kwnames, a) && seq_arg(a[0], seq);
}

// The bytes handed to a tunnel: one object holding every piece in order, each byte copied once;
// the watcher's bytes object itself when it is the only piece.
PyObject* leftover_bytes(http1::Leftover<Ref>& l) {
  const size_t a = l.codec_part.size(), b = l.decoder_part.size();
  const size_t c = l.watcher_data ? size_t(PyBytes_GET_SIZE(l.watcher_data.get())) : 0;
  if (a == 0 && b == 0 && l.watcher_data && PyBytes_CheckExact(l.watcher_data.get()))
    return l.watcher_data.release();
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(a + b + c));
  if (!out) return nullptr;
  char* w = PyBytes_AS_STRING(out);
  if (a) std::memcpy(w, l.codec_part.data(), a);
  if (b) std::memcpy(w + a, l.decoder_part.data(), b);
  if (c) std::memcpy(w + a + b, PyBytes_AS_STRING(l.watcher_data.get()), c);
  return out;
}

PyObject* verdict_tuple(State::Verdict&& v) {
  Ref obj = std::move(v.obj);
  return Py_BuildValue("(iO)", int(v.code), none_or(obj));
}

// ---- construction and collection --------------------------------------------------------

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"codec", "transport", "keep_alive", "half_close", nullptr};
  PyObject *codec = nullptr, *transport = nullptr, *keep_alive = nullptr, *half_close = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OO:H1ServerState", const_cast<char**>(kw),
                                   &codec, &transport, &keep_alive, &half_close))
    return nullptr;
  if (Py_TYPE(codec) != reinterpret_cast<PyTypeObject*>(h1_codec_type())) {
    raise_arg_type("H1ServerState", "codec", "H1Codec", codec);
    return nullptr;
  }
  bool ka = true, hc = false;
  if ((keep_alive && !to_bool(keep_alive, ka)) || (half_close && !to_bool(half_close, hc)))
    return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&unbox<LockedState>(self))
      LockedState(Ref::borrow(codec), codec_of(codec), held(transport), ka, hc);
  return self;
}

constexpr auto server_traverse = gc_traverse<State>;
constexpr auto server_clear = gc_clear<State>;
constexpr auto server_dealloc = gc_dealloc<State>;

PyObject* server_repr(PyObject* self) {
  State::Snapshot s = locked(self, [&](State& st) { return st.snapshot(); });
  auto b = [](bool v) { return v ? "true" : "false"; };
  return PyUnicode_FromFormat(
      "H1ServerState(seq=%llu, closed=%s, reusable=%s, responded=%s, response_done=%s, "
      "watcher=%s)",
      (unsigned long long)s.seq, b(s.closed), b(s.reusable), b(s.responded), b(s.response_done),
      b(s.has_watcher));
}

// ---- objects ----------------------------------------------------------------------------

PyObject* m_transport_ref(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.transport_ref(); }));
}

PyObject* m_current_decoder(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.current_decoder(); }));
}

// ---- between requests -------------------------------------------------------------------

PyObject* m_begin_read(PyObject* self, PyObject*) {
  Drops drops;
  State::Verdict v = locked(self, [&](State& st) { return st.begin_read(drops); });
  return verdict_tuple(std::move(v));
}

PyObject* m_drain_done(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"complete"};
  static const ArgSignature sig{"drain_done", names, 1, 1, 1};
  PyObject* a[1];
  bool complete;
  if (!parse_args(sig, args, nargs, kwnames, a) || !to_bool(a[0], complete)) return nullptr;
  Drops drops;
  State::Verdict v = locked(self, [&](State& st) { return st.drain_done(complete, drops); });
  return verdict_tuple(std::move(v));
}

PyObject* m_unpark_idle_read(PyObject* self, PyObject*) {
  return PyBool_FromLong(locked(self, [&](State& st) { return st.unpark_idle_read(); }));
}

// accept_head's step: the new current request's head object, number, decoder and target
// str; false with `head` null when the head is incomplete, false with an exception set on
// failure.
bool accept_step(PyObject* self, const char* function, PyObject* data_obj, Ref& head, uint64_t& seq,
                 Ref& decoder, Ref& target) {
  std::string_view data;
  if (!bytes_arg(data_obj, function, "data", data)) return false;
  // The decoder is made before the lock is taken; the head decides its framing.
  decoder = Ref::steal(body_decoder_new(http1::BodyDecoder::Kind::kEmpty, 0));
  if (!decoder) return false;
  // The target str is made under the lock straight from the buffered head, without a copy: a
  // str is not tracked by the cyclic collector, so making one runs no Python code (a failure
  // only sets MemoryError, raised after the lock).
  auto sink = [](void* ctx, std::string_view t) {
    *static_cast<Ref*>(ctx) = Ref::steal(target_str(t));
  };
  State::Accepted r;
  {
    Drops drops;
    Ref offered = decoder;
    r = locked(self, [&](State& st) {
      return st.accept_head(data, std::move(offered), drops, sink, &target);
    });
  }
  switch (r.outcome) {
    case State::Accepted::Outcome::kError:
      raise(std::move(*r.error).into_pending());
      return false;
    case State::Accepted::Outcome::kIncomplete:
      return false;
    case State::Accepted::Outcome::kComplete:
      break;
  }
  if (!target) return false;
  seq = r.seq;
  head = Ref::steal(request_head_new(std::move(r.head), Ref(target)));
  return bool(head);
}

PyObject* m_accept_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"accept_head", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  Ref head, decoder, target;
  uint64_t seq = 0;
  if (!accept_step(self, "accept_head", a[0], head, seq, decoder, target))
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  Ref seq_obj = Ref::steal(PyLong_FromUnsignedLongLong(seq));
  if (!seq_obj) return nullptr;
  PyObject* out = PyTuple_New(3);
  if (!out) return nullptr;
  PyTuple_SET_ITEM(out, 0, head.release());
  PyTuple_SET_ITEM(out, 1, seq_obj.release());
  PyTuple_SET_ITEM(out, 2, decoder.release());
  return out;
}

// The interned names accept_request reads and writes, and the one value it writes as is.
enum ScopeKey {
  kKeyMethod,
  kKeyHeaders,
  kKeyVersion,
  kKeyPath,
  kKeyRawPath,
  kKeyQuery,
  kKeyState,
  kText10,  // (a value: "1.0")
  kKeyCount
};

PyObject* scope_keys() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    static const char* const names[kKeyCount] = {"method",   "headers",      "http_version", "path",
                                                 "raw_path", "query_string", "state",        "1.0"};
    Ref t = Ref::steal(PyTuple_New(kKeyCount));
    if (!t) return nullptr;
    for (int i = 0; i < kKeyCount; ++i) {
      PyObject* s = PyUnicode_InternFromString(names[i]);
      if (!s) return nullptr;
      PyTuple_SET_ITEM(t.get(), i, s);
    }
    return t.release();
  });
}

// accept_head, and the new request's ASGI http scope made in the same call: a copy of `scope`
// (what the connection's scopes share) with the request's method, http_version (only when
// it is "1.0": the shared one says "1.1"), path, raw_path, query_string, headers and a copy of
// `state`. Runs no Python code but dict and str operations on objects it made.
PyObject* m_accept_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"data", "scope", "state", "root_path"};
  static const ArgSignature sig{"accept_request", names, 4, 4, 4};
  PyObject* a[4];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  if (!PyDict_CheckExact(a[1]) || !PyDict_CheckExact(a[2])) {
    PyErr_SetString(PyExc_TypeError, "accept_request() arguments 'scope' and 'state' must be dict");
    return nullptr;
  }
  std::string_view root;
  if (!text_of(a[3], "accept_request", "root_path", root)) return nullptr;
  PyObject* keys = scope_keys();
  if (!keys) return nullptr;
  auto key = [keys](ScopeKey k) { return PyTuple_GET_ITEM(keys, k); };
  Ref head, decoder, target;
  uint64_t seq = 0;
  if (!accept_step(self, "accept_request", a[0], head, seq, decoder, target))
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  Ref method = Ref::steal(PyObject_GetAttr(head.get(), key(kKeyMethod)));
  Ref fields = Ref::steal(PyObject_GetAttr(head.get(), key(kKeyHeaders)));
  if (!method || !target || !fields) return nullptr;
  const RequestHeadView view = request_head_view(head.get());
  Py_ssize_t target_len = 0;
  const char* target_text = PyUnicode_AsUTF8AndSize(target.get(), &target_len);
  if (!target_text) return nullptr;
  TargetObjects parts;
  if (!target_objects(target.get(), {target_text, size_t(target_len)}, root, parts)) return nullptr;
  Ref raw_items = Ref::steal(header_map_raw_items(fields.get()));
  Ref state = Ref::steal(PyDict_Copy(a[2]));
  Ref scope = Ref::steal(PyDict_Copy(a[1]));
  Ref seq_obj = Ref::steal(PyLong_FromUnsignedLongLong(seq));
  if (!raw_items || !state || !scope || !seq_obj) return nullptr;
  PyObject* d = scope.get();
  if ((view.http10 && PyDict_SetItem(d, key(kKeyVersion), key(kText10)) < 0) ||
      PyDict_SetItem(d, key(kKeyMethod), method.get()) < 0 ||
      PyDict_SetItem(d, key(kKeyPath), parts.path.get()) < 0 ||
      PyDict_SetItem(d, key(kKeyRawPath), parts.raw_path.get()) < 0 ||
      PyDict_SetItem(d, key(kKeyQuery), parts.query.get()) < 0 ||
      PyDict_SetItem(d, key(kKeyHeaders), raw_items.get()) < 0 ||
      PyDict_SetItem(d, key(kKeyState), state.get()) < 0)
    return nullptr;
  PyObject* out = PyTuple_New(6);
  if (!out) return nullptr;
  PyTuple_SET_ITEM(out, 0, head.release());
  PyTuple_SET_ITEM(out, 1, seq_obj.release());
  PyTuple_SET_ITEM(out, 2, decoder.release());
  PyTuple_SET_ITEM(out, 3, scope.release());
  PyTuple_SET_ITEM(out, 4, target.release());
  PyTuple_SET_ITEM(out, 5, Py_NewRef(view.is_upgrade ? Py_True : Py_False));
  return out;
}

PyObject* m_fail_read(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.fail_read(); }));
}

PyObject* m_stop_serving(PyObject* self, PyObject*) {
  locked(self, [&](State& st) { return st.stop_serving(); });
  Py_RETURN_NONE;
}

PyObject* m_mark_closed(PyObject* self, PyObject*) {
  State::MarkClosed r = locked(self, [&](State& st) { return st.mark_closed(); });
  return Py_BuildValue("(OOO)", none_or(r.transport), none_or(r.done),
                       r.was_closed ? Py_True : Py_False);
}

PyObject* m_mark_unusable(PyObject* self, PyObject*) {
  locked(self, [&](State& st) { return st.mark_unusable(); });
  Py_RETURN_NONE;
}

PyObject* m_request_shutdown(PyObject* self, PyObject*) {
  return new_ref_or_none(locked(self, [&](State& st) { return st.request_shutdown(); }));
}

// ---- the current request ----------------------------------------------------------------

PyObject* m_try_send_continue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("try_send_continue", args, nargs, kwnames, seq)) return nullptr;
  return PyBool_FromLong(locked(self, [&](State& st) { return st.try_send_continue(seq); }));
}

PyObject* m_begin_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("begin_body_read", args, nargs, kwnames, seq)) return nullptr;
  return PyBool_FromLong(locked(self, [&](State& st) { return st.begin_body_read(seq); }));
}

PyObject* m_end_body_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const char* const names[] = {"seq", "complete"};
  static const ArgSignature sig{"end_body_read", names, 2, 2, 2};
  PyObject* a[2];
  uint64_t seq;
  bool complete;
  if (!parse_args(sig, args, nargs, kwnames, a) || !seq_arg(a[0], seq) || !to_bool(a[1], complete))
    return nullptr;
  locked(self, [&](State& st) { return st.end_body_read(seq, complete); });
  Py_RETURN_NONE;
}

PyObject* m_peer_closed_now(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("peer_closed_now", args, nargs, kwnames, seq)) return nullptr;
  int r = locked(self, [&](State& st) { return st.peer_closed_now(seq); });
  if (r < 0) Py_RETURN_NONE;
  return PyBool_FromLong(r);
}

PyObject* m_peer_closed_flag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("peer_closed_flag", args, nargs, kwnames, seq)) return nullptr;
  return PyBool_FromLong(locked(self, [&](State& st) { return st.peer_closed_flag(seq); }));
}

PyObject* m_close_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("close_window", args, nargs, kwnames, seq)) return nullptr;
  return PyBool_FromLong(locked(self, [&](State& st) { return st.close_window(seq); }));
}

// ---- the mid-message watcher ------------------------------------------------------------

PyObject* m_arm_watcher(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"seq", "done", "want", "head_negotiated"};
  static const ArgSignature sig{"arm_watcher", names, 4, 2, 2};
  PyObject* a[4];
  uint64_t seq;
  bool want = true, negotiated = false;
  if (!parse_args(sig, args, nargs, kwnames, a) || !seq_arg(a[0], seq) ||
      (a[2] && !to_bool(a[2], want)) || (a[3] && !to_bool(a[3], negotiated)))
    return nullptr;
  bool armed;
  {
    Drops drops;
    Ref done = held(a[1]);
    armed = locked(self, [&](State& st) {
      return st.arm_watcher(seq, std::move(done), want, negotiated, drops);
    });
  }
  return PyBool_FromLong(armed);
}

PyObject* m_store_watcher_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const char* const names[] = {"handle"};
  static const ArgSignature sig{"store_watcher_handle", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  Ref handle = held(a[0]);
  return new_ref_or_none(
      locked(self, [&](State& st) { return st.store_watcher_handle(std::move(handle)); }));
}

// `data` must be bytes or None.
bool data_arg(const char* function, PyObject* o, Ref& out) {
  if (!o || o == Py_None) return true;
  if (!PyBytes_Check(o)) {
    raise_arg_type(function, "data", "bytes or None", o);
    return false;
  }
  out = Ref::borrow(o);
  return true;
}

PyObject* m_watcher_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const char* const names[] = {"data", "error"};
  static const ArgSignature sig{"watcher_completed", names, 2, 2, 0};
  PyObject* a[2];
  Ref data;
  if (!parse_args(sig, args, nargs, kwnames, a) || !data_arg("watcher_completed", a[0], data))
    return nullptr;
  Ref error = held(a[1]);
  bool resolve;
  {
    Drops drops;
    resolve = locked(self, [&](State& st) {
      return st.watcher_completed(std::move(data), std::move(error), drops);
    });
  }
  return PyBool_FromLong(resolve);
}

// ---- the response -----------------------------------------------------------------------

PyObject* m_respond_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const char* const names[] = {"seq",     "status", "headers", "done", "content_length",
                                      "chunked", "want"};
  static const ArgSignature sig{"respond_head", names, 7, 4, 4};
  PyObject* a[7];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint64_t seq;
  uint32_t status;
  if (!seq_arg(a[0], seq) || !status_arg(a[1], status)) return nullptr;
  std::optional<uint64_t> content_length;
  if (a[4] && a[4] != Py_None) {
    uint64_t n;
    if (!to_u64(a[4], n)) return nullptr;
    content_length = n;
  }
  bool chunked = false, want = false;
  if ((a[5] && !to_bool(a[5], chunked)) || (a[6] && !to_bool(a[6], want))) return nullptr;
  http::HeaderMap headers;
  if (!header_map_arg(a[2], "respond_head", "headers", true, headers)) return nullptr;
  State::Responded r;
  {
    Drops drops;
    Ref done = held(a[3]);
    r = locked(self, [&](State& st) {
      return st.respond_head(seq, status, headers, std::move(done), content_length, chunked, want,
                             drops);
    });
  }
  if (r.error) return raise_serialize(std::move(*r.error));
  if (r.code != http1::kReqOk) return Py_BuildValue("(iOO)", int(r.code), Py_None, Py_False);
  Ref head = Ref::steal(PyBytes_FromStringAndSize(r.head.data(), Py_ssize_t(r.head.size())));
  if (!head) return nullptr;
  return Py_BuildValue("(iOO)", int(r.code), head.get(), r.armed ? Py_True : Py_False);
}

// The application's header fields when they are a list or tuple of at most FieldPairs::kMax
// tuples of two bytes objects, each name a lowercase token and each value valid (what ASGI
// applications send): read in place, the tuples held so that the values stay alive. Any other
// fields (or an invalid one) are converted into a HeaderMap, with its checks and errors.
struct ListedFields {
  http1::FieldPairs pairs;
  Ref items[http1::FieldPairs::kMax];
};

bool lowercase_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!http::is_token_char(c) || (c >= 'A' && c <= 'Z')) return false;
  return true;
}

std::string_view bytes_view(PyObject* b) {
  return {PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b))};
}

// True when `fields` was read into `out`; false (no exception set) when it is to be converted.
bool listed_fields(PyObject* fields, ListedFields& out) {
  if (!PyList_CheckExact(fields) && !PyTuple_CheckExact(fields)) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fields);
  if (n > Py_ssize_t(http1::FieldPairs::kMax)) return false;
  PyObject* const* items = PySequence_Fast_ITEMS(fields);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = items[i];
    if (!PyTuple_CheckExact(o) || PyTuple_GET_SIZE(o) != 2) return false;
    PyObject* name = PyTuple_GET_ITEM(o, 0);
    PyObject* value = PyTuple_GET_ITEM(o, 1);
    if (!PyBytes_CheckExact(name) || !PyBytes_CheckExact(value) ||
        !lowercase_token(bytes_view(name)) || !http::is_valid_field_value(bytes_view(value)))
      return false;
    out.items[i] = Ref::borrow(o);
    out.pairs.add(bytes_view(name), bytes_view(value));
  }
  return true;
}

// respond_whole's work once its fields are read; the Server field is added unless one is there.
template <class Fields>
PyObject* respond_whole_with(PyObject* self, uint64_t seq, uint32_t status, Fields& headers,
                             std::string_view body, std::string_view server) {
  if (!server.empty() && headers.find("server") < 0) {
    if (!http::is_valid_field_value(server)) {
      PyErr_SetString(PyExc_ValueError, "invalid header value: server");
      return nullptr;
    }
    headers.add("server", server);
  }
  State::RespondedWhole r;
  {
    Drops drops;
    r = locked(self,
               [&](State& st) { return st.respond_whole(seq, status, headers, body, drops); });
  }
  if (r.error) return raise_serialize(std::move(*r.error));
  if (r.code != http1::kReqOk) return Py_BuildValue("(iOiO)", int(r.code), Py_None, 0, Py_None);
  Ref next = std::move(r.next.obj);
  int next_code = int(r.next.code);
  if (!r.finished) {
    // The codec refused the body: the error is the result, beside what was framed before it.
    next = Ref::steal(error_object(std::move(*r.body.error).into_pending()));
    if (!next) return nullptr;
    next_code = http1::kNextRaise;
  }
  Ref data =
      Ref::steal(r.body.ends ? head_and_last_frame(r.head, body, r.body)
                             : PyBytes_FromStringAndSize(r.head.data(), Py_ssize_t(r.head.size())));
  if (!data) return nullptr;
  PyObject* out = PyTuple_New(4);
  if (!out) return nullptr;
  PyTuple_SET_ITEM(out, 0, PyLong_FromLong(int(r.code)));
  PyTuple_SET_ITEM(out, 1, data.release());
  PyTuple_SET_ITEM(out, 2, PyLong_FromLong(next_code));
  PyTuple_SET_ITEM(out, 3, Py_NewRef(none_or(next)));
  return out;
}

PyObject* m_respond_whole(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const char* const names[] = {"seq", "status", "headers", "body", "server"};
  static const ArgSignature sig{"respond_whole", names, 5, 5, 4};
  PyObject* a[5];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint64_t seq;
  uint32_t status;
  if (!seq_arg(a[0], seq) || !status_arg(a[1], status)) return nullptr;
  std::string_view body, server;
  if (!bytes_arg(a[3], "respond_whole", "body", body)) return nullptr;
  if (a[4] && a[4] != Py_None && !bytes_arg(a[4], "respond_whole", "server", server))
    return nullptr;
  if (a[2] != Py_None) {
    ListedFields listed;
    if (listed_fields(a[2], listed))
      return respond_whole_with(self, seq, status, listed.pairs, body, server);
  }
  // Other fields are converted (which may run Python code) into a map before the lock is
  // taken. The storage of a few fields is reserved first, so that the Server field added after
  // them (and the framing fields the head gains) do not grow it again.
  http::HeaderMap headers;
  headers.reserve(http::HeaderMap::kLinearNames, 256);
  if (a[2] != Py_None && !header_map_fill(headers, a[2])) return nullptr;
  return respond_whole_with(self, seq, status, headers, body, server);
}

PyObject* m_finish_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("finish_response", args, nargs, kwnames, seq)) return nullptr;
  State::Finished r = locked(self, [&](State& st) { return st.finish_response(seq); });
  Ref leftover;
  if (r.leftover) {
    leftover = Ref::steal(leftover_bytes(*r.leftover));
    if (!leftover) return nullptr;
  }
  return Py_BuildValue("(OOOO)", r.switched ? Py_True : Py_False, r.close ? Py_True : Py_False,
                       none_or(r.transport), none_or(leftover));
}

PyObject* m_fail_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("fail_response", args, nargs, kwnames, seq)) return nullptr;
  return new_ref_or_none(locked(self, [&](State& st) { return st.fail_response(seq); }));
}

PyObject* m_detach(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint64_t seq;
  if (!parse_seq("detach", args, nargs, kwnames, seq)) return nullptr;
  State::Detached r = locked(self, [&](State& st) { return st.detach(seq); });
  Ref leftover;
  if (r.leftover) {
    leftover = Ref::steal(leftover_bytes(*r.leftover));
    if (!leftover) return nullptr;
  }
  return Py_BuildValue("(iOO)", int(r.code), none_or(r.transport), none_or(leftover));
}

// ---- properties -------------------------------------------------------------------------

PyObject* get_codec(PyObject* self, void*) {
  return Py_NewRef(locked(self, [&](State& st) { return st.codec_obj(); }).get());
}

#define FLAG_GETTER(name, field)                                                          \
  PyObject* get_##name(PyObject* self, void*) {                                           \
    return PyBool_FromLong(locked(self, [&](State& st) { return st.snapshot(); }).field); \
  }
FLAG_GETTER(closed, closed)
FLAG_GETTER(reusable, reusable)
FLAG_GETTER(upgraded, upgraded)
FLAG_GETTER(half_close, half_close)
FLAG_GETTER(keep_alive_enabled, keep_alive_enabled)
FLAG_GETTER(shutdown_requested, shutdown_requested)
FLAG_GETTER(has_watcher, has_watcher)
FLAG_GETTER(watcher_parked, watcher_parked)
#undef FLAG_GETTER

PyObject* get_current_seq(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(locked(self, [&](State& st) { return st.snapshot(); }).seq);
}

PyMethodDef kMethods[] = {
    {"transport_ref", m_transport_ref, METH_NOARGS,
     SIG_DOC("transport_ref($self)", "The transport, or None once it was taken.")},
    {"current_decoder", m_current_decoder, METH_NOARGS,
     SIG_DOC("current_decoder($self)", "The current request's H1BodyDecoder, or None.")},
    {"begin_read", m_begin_read, METH_NOARGS,
     SIG_DOC("begin_read($self)",
             "Position the connection for its next read: (code, obj) with an H1_NEXT_* or "
             "H1_READ_* code and the transport, the watcher's done event or None.")},
    {"drain_done", FAST(m_drain_done), FASTKW,
     SIG_DOC("drain_done($self, complete)",
             "Report one poll of draining an unread body; (code, obj) as begin_read.")},
    {"unpark_idle_read", m_unpark_idle_read, METH_NOARGS,
     SIG_DOC("unpark_idle_read($self)",
             "The idle read returned; True when the connection was closed meanwhile.")},
    {"accept_head", FAST(m_accept_head), FASTKW,
     SIG_DOC("accept_head($self, data)",
             "Parse received bytes; None while the head is incomplete, else (head, seq, "
             "decoder) for the new current request. Raises H1ParseError.")},
    {"accept_request", FAST(m_accept_request), FASTKW,
     SIG_DOC("accept_request($self, data, scope, state, root_path)",
             "accept_head and the request's ASGI http scope: None while the head is incomplete, "
             "else (head, seq, decoder, scope, target, is_upgrade). The scope is a copy of the "
             "dict scope with the request's method, path, raw_path, query_string, headers, "
             "http_version when it is \"1.0\", and a copy of the dict state.")},
    {"fail_read", m_fail_read, METH_NOARGS,
     SIG_DOC("fail_read($self)", "Close after a failed head read; the taken transport or None.")},
    {"stop_serving", m_stop_serving, METH_NOARGS,
     SIG_DOC("stop_serving($self)", "Close; the transport stays for mark_closed.")},
    {"mark_closed", m_mark_closed, METH_NOARGS,
     SIG_DOC("mark_closed($self)", "Close: (transport, done, was_closed).")},
    {"mark_unusable", m_mark_unusable, METH_NOARGS,
     SIG_DOC("mark_unusable($self)", "The connection serves no further request.")},
    {"request_shutdown", m_request_shutdown, METH_NOARGS,
     SIG_DOC("request_shutdown($self)",
             "Graceful shutdown: the taken transport when an idle read was parked, else None.")},
    {"try_send_continue", FAST(m_try_send_continue), FASTKW,
     SIG_DOC("try_send_continue($self, seq)",
             "True when the caller may (and must) write 100 Continue for this request.")},
    {"begin_body_read", FAST(m_begin_body_read), FASTKW,
     SIG_DOC("begin_body_read($self, seq)",
             "True when the caller is now the one reader of the transport.")},
    {"end_body_read", FAST(m_end_body_read), FASTKW,
     SIG_DOC("end_body_read($self, seq, complete)", "The body reader lets go of the transport.")},
    {"peer_closed_now", FAST(m_peer_closed_now), FASTKW,
     SIG_DOC("peer_closed_now($self, seq)",
             "Whether the client went away: True/False when final, None while the window is "
             "open.")},
    {"peer_closed_flag", FAST(m_peer_closed_flag), FASTKW,
     SIG_DOC("peer_closed_flag($self, seq)", "Whether the client went away during this request.")},
    {"arm_watcher", FAST(m_arm_watcher), FASTKW,
     SIG_DOC("arm_watcher($self, seq, done, *, want=True, head_negotiated=False)",
             "True when the caller must spawn the mid-message watcher now.")},
    {"store_watcher_handle", FAST(m_store_watcher_handle), FASTKW,
     SIG_DOC("store_watcher_handle($self, handle)",
             "Store the watcher task's handle; None when stored, the handle when refused.")},
    {"watcher_completed", FAST(m_watcher_completed), FASTKW,
     SIG_DOC("watcher_completed($self, data=None, error=None)",
             "The watcher's read returned; True when the caller must resolve peer_closed().")},
    WATCHER_SLOT_METHODS(State),
    {"close_window", FAST(m_close_window), FASTKW,
     SIG_DOC("close_window($self, seq)", "End the mid-message window; True when this call did.")},
    {"respond_head", FAST(m_respond_head), FASTKW,
     SIG_DOC("respond_head($self, seq, status, headers, done, *, content_length=None, "
             "chunked=False, want=False)",
             "Claim and encode the response head: (code, head, armed).")},
    {"respond_whole", FAST(m_respond_whole), FASTKW,
     SIG_DOC("respond_whole($self, seq, status, headers, body, server=None)",
             "Answer the current request with a body known in full, in one step: the claim "
             "and head of respond_head (framed by a Content-Length among the headers, else "
             "by the body's length; `server` is added as the Server field unless the headers "
             "name one), the body, finish_response and the next read. Returns (code, data, "
             "next_code, next_obj): with H1_REQ_OK, the bytes to write and what the "
             "connection does next (H1_NEXT_CLOSE with the transport, or the verdict of "
             "begin_read), or H1_NEXT_RAISE with the codec's error when the body disagrees "
             "with the declared length (the response stays unfinished: write what was framed "
             "and fail it); otherwise (code, None, 0, None).")},
    {"finish_response", FAST(m_finish_response), FASTKW,
     SIG_DOC("finish_response($self, seq)",
             "The response is on the wire: (switch, close, transport, leftover).")},
    {"fail_response", FAST(m_fail_response), FASTKW,
     SIG_DOC("fail_response($self, seq)",
             "A failed response closes; the taken transport or None.")},
    {"detach", FAST(m_detach), FASTKW,
     SIG_DOC("detach($self, seq)",
             "Take over the raw connection without a response: (code, transport, leftover).")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"codec", get_codec, nullptr, "The connection's H1Codec.", nullptr},
    {"closed", get_closed, nullptr, "The connection is closed or handed off.", nullptr},
    {"reusable", get_reusable, nullptr, "Another request may be served.", nullptr},
    {"upgraded", get_upgraded, nullptr, "The transport was handed off.", nullptr},
    {"half_close", get_half_close, nullptr, "A client half-close is tolerated.", nullptr},
    {"keep_alive_enabled", get_keep_alive_enabled, nullptr, "Keep-alive is enabled.", nullptr},
    {"shutdown_requested", get_shutdown_requested, nullptr, "A graceful shutdown was asked for.",
     nullptr},
    {"has_watcher", get_has_watcher, nullptr, "A watcher slot exists.", nullptr},
    {"watcher_parked", get_watcher_parked, nullptr, "The watcher's read is outstanding.", nullptr},
    {"current_seq", get_current_seq, nullptr, "The current request's number; 0 before the first.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(server_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(server_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(server_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC("H1ServerState(codec, transport, *, keep_alive=True, "
                                          "half_close=False)",
                                          "Connection state of one HTTP/1 server connection."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H1ServerState", sizeof(Box<LockedState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots};

}  // namespace

PyObject* h1_server_state_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

int setup_h1_constants(PyObject* m) {
  using namespace http1;
  static const IntConstant watch[] = {
      {"H1_WATCH_HANDOFF", kWatchHandoff},      {"H1_WATCH_IDLE_EOF", kWatchIdleEof},
      {"H1_WATCH_IDLE_BYTES", kWatchIdleBytes}, {"H1_WATCH_IDLE_ERROR", kWatchIdleError},
      {"H1_WATCH_IGNORED", kWatchIgnored},
  };
  // One numbering space for H1_NEXT_* (0-3) and H1_READ_* (4-8); H1_REQ_* restarts at 0.
  static const IntConstant codes[] = {
      {"H1_NEXT_NONE", kNextNone},       {"H1_NEXT_RAISE", kNextRaise},
      {"H1_NEXT_CLOSE", kNextClose},     {"H1_NEXT_DRAIN", kNextDrain},
      {"H1_READ_PARSE", kReadParse},     {"H1_READ_SHUTDOWN", kReadShutdown},
      {"H1_READ_WATCHER", kReadWatcher}, {"H1_READ_TRANSPORT", kReadTransport},
      {"H1_READ_EOF", kReadEof},         {"H1_REQ_OK", kReqOk},
      {"H1_REQ_ALREADY", kReqAlready},   {"H1_REQ_STALE", kReqStale},
      {"H1_REQ_PARKED", kReqParked},     {"H1_REQ_PEER_CLOSED", kReqPeerClosed},
      {"H1_REQ_CONTINUE", kReqContinue},
  };
  if (add_int_constants(m, watch) < 0) return -1;
  return add_int_constants(m, codes);
}

}  // namespace velmora::py
