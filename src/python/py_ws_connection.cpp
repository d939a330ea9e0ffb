// WSConnection: the protocol state of one WebSocket (ws/connection.hpp) for the drivers.
#include <new>
#include <optional>
#include <vector>

#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/py_ws.hpp"
#include "ws/close_code.hpp"
#include "ws/connection.hpp"

namespace velmora::py {
namespace {

using SendError = ws::Connection::SendError;

// A connection, and the bytes object of the binary message it is reading in pieces: made under
// the lock when the frame begins (an untracked leaf), unmasked into, and handed over whole.
struct WSState final : ws::MessageStorage {
  WSState(bool client, size_t max_size, std::optional<ws::DeflateParams> deflate)
      : core(client, max_size, deflate) {
    core.set_storage(this);
  }
  WSState(const WSState&) = delete;
  WSState& operator=(const WSState&) = delete;

  uint8_t* acquire(size_t n) override {
    pending = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
    if (!pending) {
      PyErr_Clear();  // (the connection reassembles the message itself)
      return nullptr;
    }
    return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(pending.get()));
  }
  void release() override { pending = Ref(); }

  ws::Connection core;
  Ref pending;
};

using LockedConn = Locked<WSState>;

LockedConn& conn(PyObject* o) {
  return unbox<LockedConn>(o);
}

// A caller's buffer, held for the length of a call.
class BufferArg {
 public:
  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
  }
  // An absent argument is empty.
  bool get(PyObject* o) {
    if (!o) return true;
    if (PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    return true;
  }
  const uint8_t* data() const { return held_ ? static_cast<const uint8_t*>(view_.buf) : nullptr; }
  size_t size() const { return held_ ? size_t(view_.len) : 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Storage for a frame: a bytes object of the final size, made under the connection's lock (an
// untracked leaf) so the core writes the frame into it directly.
struct FrameOut {
  Ref bytes;
  uint8_t* operator()(size_t n) {
    bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
    return bytes ? reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())) : nullptr;
  }
};

// The events of one receive call, made under the lock as bytes and str objects (untracked
// leaves); the list and its tuples are built after the lock is released.
class Events final : public ws::EventSink {
 public:
  // The connection whose stored message a binary event takes (set under its lock).
  void attach(WSState& state) { state_ = &state; }

  bool message(ws::Opcode opcode, const ws::Payload& p) override {
    PyObject* o = opcode == ws::Opcode::kText ? text(p) : binary(p);
    if (!o) return false;
    return push(int(opcode), Ref::steal(o));
  }
  bool close(uint16_t code, std::string_view reason, bool) override {
    Ref r = Ref::steal(str_from(reason));
    if (!r) return false;
    close_code_ = code;
    return push(int(ws::Opcode::kClose), std::move(r));
  }

  PyObject* to_list() {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(size_)));
    if (!list) return nullptr;
    for (size_t i = 0; i < size_; ++i) {
      Event& e = at(i);
      Ref kind = Ref::steal(PyLong_FromLong(e.kind));
      if (!kind) return nullptr;
      Ref value = std::move(e.value);
      if (e.kind == int(ws::Opcode::kClose)) {
        Ref code = Ref::steal(PyLong_FromLong(close_code_));
        if (!code) return nullptr;
        value = Ref::steal(PyTuple_Pack(2, code.get(), value.get()));
        if (!value) return nullptr;
      }
      PyObject* t = PyTuple_Pack(2, kind.get(), value.get());
      if (!t) return nullptr;
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), t);
    }
    return list.release();
  }

 private:
  struct Event {
    int kind;
    Ref value;
  };

  PyObject* binary(const ws::Payload& p) {
    if (p.stored) return state_->pending.release();
    PyObject* o = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(p.size));
    if (o) p.copy_to(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(o)));
    return o;
  }
  PyObject* text(const ws::Payload& p) {
    if (p.ascii) {
      // ASCII goes straight into the str's storage: one copy (and the unmasking with it).
      PyObject* o = PyUnicode_New(Py_ssize_t(p.size), 127);
      if (o) p.copy_to(PyUnicode_1BYTE_DATA(o));
      return o;
    }
    if (!p.key)
      return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p.data), Py_ssize_t(p.size),
                                  "strict");
    Ref plain = Ref::steal(binary(p));
    return plain
               ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(plain.get()), Py_ssize_t(p.size), "strict")
               : nullptr;
  }
  Event& at(size_t i) { return i < kInline ? inline_[i] : more_[i - kInline]; }
  bool push(int kind, Ref&& value) {
    if (size_ < kInline) {
      inline_[size_++] = Event{kind, std::move(value)};
      return true;
    }
    try {
      more_.push_back(Event{kind, std::move(value)});
    } catch (const std::bad_alloc&) {
      return false;
    }
    ++size_;
    return true;
  }

  static constexpr size_t kInline = 8;
  WSState* state_ = nullptr;
  Event inline_[kInline];
  std::vector<Event> more_;
  size_t size_ = 0;
  uint16_t close_code_ = 0;
};

PyObject* conn_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"client", "max_message_size", "deflate", nullptr};
  PyObject* o[3] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$OO:WSConnection", const_cast<char**>(kw), &o[0],
                                   &o[1], &o[2]))
    return nullptr;
  bool client = false;
  uint64_t max_size = 16 * 1024 * 1024;
  if (!to_bool(o[0], client) || (o[1] && !to_u64(o[1], max_size))) return nullptr;
  std::optional<ws::DeflateParams> deflate;
  if (o[2] && o[2] != Py_None) {
    if (Py_TYPE(o[2]) != reinterpret_cast<PyTypeObject*>(ws_deflate_type())) {
      raise_arg_type("WSConnection", "deflate", "WSDeflate or None", o[2]);
      return nullptr;
    }
    deflate = ws_deflate_params(o[2]);
  }
  return box_new<LockedConn>(type, client, size_t(max_size), deflate);
}

PyObject* conn_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("receive", "data", args, nargs, kwnames);
  BufferArg data;
  if (!a || !data.get(a)) return nullptr;
  Events events;
  const bool ok = conn(self).with([&](WSState& s) {
    events.attach(s);
    return s.core.receive(data.data(), data.size(), events);
  });
  if (!ok) return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  return events.to_list();
}

PyObject* conn_outgoing(PyObject* self, PyObject*) {
  FrameOut out;
  conn(self).with([&](WSState& s) {
    if (size_t n = s.core.outgoing_size()) {
      if (uint8_t* dst = out(n)) s.core.take_outgoing(dst);
    }
  });
  if (out.bytes) return out.bytes.release();
  return PyErr_Occurred() ? nullptr : PyBytes_FromStringAndSize("", 0);
}

// Raises for a failed send, after the lock.
PyObject* raise_send(SendError e) {
  switch (e) {
    case SendError::kClosed:
      PyErr_SetString(PyExc_RuntimeError, "a Close frame was already sent");
      return nullptr;
    case SendError::kTooLarge:
      PyErr_SetString(PyExc_ValueError, "a control frame carries at most 125 bytes");
      return nullptr;
    case SendError::kBadCode:
      PyErr_SetString(PyExc_ValueError, "this close code may not be sent (RFC 6455 section 7.4)");
      return nullptr;
    case SendError::kBadReason:
      PyErr_SetString(
          PyExc_ValueError,
          "the close reason must be at most 123 bytes of UTF-8, and empty without a code");
      return nullptr;
    default:
      return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  }
}

// A whole message as one bytes object: the frame.
PyObject* send_frame(PyObject* self, PyObject* a) {
  const bool text = PyUnicode_Check(a);
  BufferArg buffer;
  const uint8_t* p = nullptr;
  size_t n = 0;
  if (text) {
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(a, &len);
    if (!utf8) return nullptr;
    p = reinterpret_cast<const uint8_t*>(utf8), n = size_t(len);
  } else {
    if (!buffer.get(a)) return nullptr;
    p = buffer.data(), n = buffer.size();
  }
  FrameOut out;
  SendError e = conn(self).with([&](WSState& s) { return s.core.send_message(text, p, n, out); });
  if (e != SendError::kNone) return raise_send(e);
  return out.bytes.release();
}

PyObject* conn_send(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a = one_arg("send", "data", args, nargs, kwnames);
  return a ? send_frame(self, a) : nullptr;
}

// Below this size a payload is copied after its header: one write is cheaper than two.
constexpr Py_ssize_t kSplitAbove = 16 * 1024;

PyObject* conn_send_parts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* a = one_arg("send_parts", "data", args, nargs, kwnames);
  if (!a) return nullptr;
  if (PyBytes_CheckExact(a) && PyBytes_GET_SIZE(a) > kSplitAbove) {
    uint8_t head[ws::kMaxHeaderSize];
    size_t len = 0;
    SendError e = conn(self).with([&](WSState& s) {
      return s.core.payload_as_is()
                 ? s.core.send_header(false, size_t(PyBytes_GET_SIZE(a)), head, len)
                 : SendError::kNone;
    });
    if (e != SendError::kNone) return raise_send(e);
    if (len) {
      Ref header = Ref::steal(
          PyBytes_FromStringAndSize(reinterpret_cast<const char*>(head), Py_ssize_t(len)));
      return header ? PyTuple_Pack(2, header.get(), a) : nullptr;
    }
  }
  Ref frame = Ref::steal(send_frame(self, a));
  return frame ? PyTuple_Pack(1, frame.get()) : nullptr;
}

PyObject* control(PyObject* self, ws::Opcode opcode, const char* fn, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"payload"};
  const ArgSignature sig{fn, names, 1, 1, 0};
  PyObject* a[1];
  BufferArg payload;
  if (!parse_args(sig, args, nargs, kwnames, a) || !payload.get(a[0])) return nullptr;
  FrameOut out;
  SendError e = conn(self).with(
      [&](WSState& s) { return s.core.send_control(opcode, payload.data(), payload.size(), out); });
  if (e != SendError::kNone) return raise_send(e);
  return out.bytes.release();
}

PyObject* conn_ping(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return control(self, ws::Opcode::kPing, "ping", args, nargs, kwnames);
}

PyObject* conn_pong(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return control(self, ws::Opcode::kPong, "pong", args, nargs, kwnames);
}

PyObject* conn_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"code", "reason"};
  static const ArgSignature sig{"close", names, 2, 2, 0};
  PyObject* a[2];
  uint32_t code = ws::close_code::kNormal;
  std::string_view reason;
  if (!parse_args(sig, args, nargs, kwnames, a) || (a[0] && !to_u32(a[0], code))) return nullptr;
  if (a[1]) {
    if (!PyUnicode_Check(a[1])) {
      raise_arg_type("close", "reason", "str", a[1]);
      return nullptr;
    }
    Py_ssize_t len;
    const char* utf8 = PyUnicode_AsUTF8AndSize(a[1], &len);
    if (!utf8) return nullptr;
    reason = {utf8, size_t(len)};
  }
  FrameOut out;
  SendError e = conn(self).with([&](WSState& s) { return s.core.send_close(code, reason, out); });
  if (e == SendError::kClosed) return PyBytes_FromStringAndSize("", 0);
  if (e != SendError::kNone) return raise_send(e);
  return out.bytes.release();
}

PyObject* conn_state(PyObject* self, void*) {
  return PyLong_FromLong(long(conn(self).with([](WSState& s) { return s.core.phase(); })));
}
PyObject* conn_close_sent(PyObject* self, void*) {
  return PyBool_FromLong(conn(self).with([](WSState& s) { return s.core.close_sent(); }));
}
PyObject* conn_close_received(PyObject* self, void*) {
  return PyBool_FromLong(conn(self).with([](WSState& s) { return s.core.close_received(); }));
}
PyObject* conn_failed(PyObject* self, void*) {
  return PyBool_FromLong(conn(self).with([](WSState& s) { return s.core.failed(); }));
}

PyMethodDef kMethods[] = {
    {"receive", FAST(conn_receive), FASTKW,
     SIG_DOC("receive($self, data)",
             "Feed received bytes (any split); return the events completed, in wire order, as "
             "(kind, value) pairs: (WS_TEXT, str), (WS_BINARY, bytes), (WS_PING, bytes), "
             "(WS_PONG, bytes), (WS_CLOSE, (code, reason)). A violation by the peer is a "
             "WS_CLOSE with its code (1002, 1007, 1009), `failed` set, and our Close queued in "
             "outgoing(). Nothing follows a WS_CLOSE.")},
    {"outgoing", conn_outgoing, METH_NOARGS,
     SIG_DOC("outgoing($self)",
             "The bytes the protocol itself owes the peer (the pong to the latest ping, the "
             "echo of a Close, the Close reporting a failure); b'' if none.")},
    {"send", FAST(conn_send), FASTKW,
     SIG_DOC("send($self, data)",
             "A whole message as wire bytes: str is text, anything else binary; masked as a "
             "client, compressed when deflate was negotiated. RuntimeError after a Close was "
             "sent.")},
    {"send_parts", FAST(conn_send_parts), FASTKW,
     SIG_DOC("send_parts($self, data)",
             "send() as the buffers to write in order: a large bytes payload a server sends "
             "uncompressed comes back as its frame header and the object itself (no copy); "
             "anything else as the one frame send() returns.")},
    {"ping", FAST(conn_ping), FASTKW,
     SIG_DOC("ping($self, payload=b'')", "A Ping frame (at most 125 bytes of payload).")},
    {"pong", FAST(conn_pong), FASTKW,
     SIG_DOC("pong($self, payload=b'')", "A Pong frame (at most 125 bytes of payload).")},
    {"close", FAST(conn_close), FASTKW,
     SIG_DOC("close($self, code=1000, reason='')",
             "Our Close frame; b'' when a Close was already sent. Code 0 or 1005 sends an "
             "empty Close; ValueError for a code that may not be sent (RFC 6455 section 7.4).")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"state", conn_state, nullptr,
     "WS_OPEN, WS_CLOSING (one side sent a Close) or WS_CLOSED (both did).", nullptr},
    {"close_sent", conn_close_sent, nullptr, "Our Close frame was produced.", nullptr},
    {"close_received", conn_close_received, nullptr, "The peer's Close frame was received.",
     nullptr},
    {"failed", conn_failed, nullptr, "The peer violated the protocol.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(conn_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedConn>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "WSConnection(client, *, max_message_size=16777216, deflate=None)",
                    "The protocol state of one WebSocket after its opening handshake, either "
                    "role; messages over max_message_size bytes fail the connection with 1009."))},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.WSConnection", sizeof(Box<LockedConn>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* ws_connection_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

}  // namespace velmora::py
