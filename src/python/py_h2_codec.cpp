// H2Codec: the HTTP/2 frame codec alone behind its own lock. Every method takes the lock once,
// for the whole of its work on the codec; arguments are converted before, and results and
// exceptions are built after.
#include <cstring>
#include <new>
#include <string>

#include "http/chars.hpp"
#include "http/date.hpp"
#include "python/py_errors.hpp"
#include "python/py_header_map.hpp"
#include "http2/frame_decoder.hpp"
#include "http2/frame_encoder.hpp"
#include "python/py_frames.hpp"
#include "http2/send_fields.hpp"
#include "python/boundary.hpp"
#include "python/py_h2_args.hpp"
#include "python/object.hpp"
#include "python/once.hpp"

namespace velmora::py {
namespace {

struct CodecState {
  explicit CodecState(bool client) : role_client(client), decoder(!client) {}
  const bool role_client;
  http2::FrameDecoder decoder;
  http2::FrameEncoder encoder;
};
using LockedCodec = Locked<CodecState>;

LockedCodec& codec(PyObject* o) {
  return unbox<LockedCodec>(o);
}

using Args = PyObject* const*;

// str (UTF-8) or bytes.
bool text_arg(PyObject* o, const char* fn, const char* arg, std::string_view& out) {
  if (PyUnicode_Check(o)) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(o, &n);
    if (!p) return false;
    out = std::string_view(p, size_t(n));
    return true;
  }
  if (PyBytes_Check(o)) return bytes_arg(o, fn, arg, out);
  raise_arg_type(fn, arg, "str or bytes", o);
  return false;
}

bool check_frame_size(uint64_t v) {
  if (v >= http2::kDefaultMaxFrameSize && v <= http2::kMaxMaxFrameSize) return true;
  PyErr_Format(PyExc_ValueError, "max_frame_size must be in [16384, 16777215], got %llu",
               (unsigned long long)v);
  return false;
}

PyObject* raise_malformed() {
  return raise(http2::malformed_headers_error());
}

// ---- construction ---------------------------------------------------------------------------

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"role", nullptr};
  PyObject* role = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:H2Codec", const_cast<char**>(kw), &role))
    return nullptr;
  bool client = true;
  if (role) {
    if (PyUnicode_Check(role) && PyUnicode_CompareWithASCIIString(role, "client") == 0) {
      client = true;
    } else if (PyUnicode_Check(role) && PyUnicode_CompareWithASCIIString(role, "server") == 0) {
      client = false;
    } else {
      PyErr_Format(PyExc_ValueError, "role must be 'client' or 'server', got %S", role);
      return nullptr;
    }
  }
  return box_new<LockedCodec>(type, client);
}

PyObject* codec_role_client(PyObject* self, void*) {
  return PyBool_FromLong(codec(self).with([](CodecState& c) { return c.role_client; }));
}

// ---- decoding -------------------------------------------------------------------------------

PyObject* codec_receive(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"receive", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view data;
  if (!bytes_arg(a[0], "receive", "data", data)) return nullptr;
  FrameCollector frames;
  PendingError error;
  // Frame objects are not tracked by the cyclic collector (py_frames.hpp), so they are made
  // under the lock as the decoder completes them; the list is built after it.
  http2::FrameDecoder::Status status = codec(self).with([&](CodecState& c) {
    return c.decoder.receive(reinterpret_cast<const uint8_t*>(data.data()), data.size(), frames,
                             error);
  });
  return frames.take_result(status, error);
}

PyObject* codec_buffered(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(codec(self).with([](CodecState& c) { return c.decoder.buffered(); }));
}

PyObject* preface_result(int m) {
  if (m == 0) Py_RETURN_NONE;
  return Py_NewRef(m > 0 ? Py_True : Py_False);
}

PyObject* codec_feed_preface(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"feed_preface", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view data;
  if (!bytes_arg(a[0], "feed_preface", "data", data)) return nullptr;
  return preface_result(codec(self).with([&](CodecState& c) {
    return c.decoder.feed_preface(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }));
}

PyObject* codec_match_preface(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"match_preface", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view data;
  if (!bytes_arg(a[0], "match_preface", "data", data)) return nullptr;
  return preface_result(http2::match_preface(data));
}

PyObject* codec_check_send_headers(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"headers"};
  static const ArgSignature sig{"check_send_headers", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  http::HeaderMap map;
  if (!header_map_arg(a[0], "check_send_headers", "headers", false, map)) return nullptr;
  if (http2::has_connection_specific(map)) return raise_malformed();
  Py_RETURN_NONE;
}

PyObject* codec_method_is_head(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"method"};
  static const ArgSignature sig{"method_is_head", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view m;
  if (!text_arg(a[0], "method_is_head", "method", m)) return nullptr;
  return Py_NewRef(m == "HEAD" ? Py_True : Py_False);
}

PyObject* codec_is_client_initiated(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"stream_id"};
  static const ArgSignature sig{"is_client_initiated", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint64_t id;
  if (!to_u64(a[0], id)) return nullptr;
  return Py_NewRef(id % 2 == 1 ? Py_True : Py_False);
}

// ---- setters --------------------------------------------------------------------------------

template <class Apply>
PyObject* setter(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* fn,
                 bool frame_size, Apply apply) {
  static const char* const names[] = {"val"};
  const ArgSignature sig{fn, names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint32_t v;
  if (!to_u32(a[0], v)) return nullptr;
  if (frame_size && !check_frame_size(v)) return nullptr;
  codec(self).with([&](CodecState& c) { apply(c, v); });
  Py_RETURN_NONE;
}

PyObject* codec_set_send_hts(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return setter(self, args, nargs, kw, "set_send_header_table_size", false,
                [](CodecState& c, uint32_t v) { c.encoder.set_header_table_size(v); });
}
PyObject* codec_set_recv_hts(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return setter(self, args, nargs, kw, "set_recv_header_table_size", false,
                [](CodecState& c, uint32_t v) { c.decoder.set_header_table_size(v); });
}
PyObject* codec_set_max_recv_frame_size(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return setter(self, args, nargs, kw, "set_max_recv_frame_size", true,
                [](CodecState& c, uint32_t v) { c.decoder.set_max_frame_size(v); });
}
PyObject* codec_set_max_header_list_size(PyObject* self, Args args, Py_ssize_t nargs,
                                         PyObject* kw) {
  return setter(self, args, nargs, kw, "set_max_header_list_size", false,
                [](CodecState& c, uint32_t v) { c.decoder.set_max_header_list_size(v); });
}
PyObject* codec_set_send_max_frame_size(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return setter(self, args, nargs, kw, "set_send_max_frame_size", true,
                [](CodecState& c, uint32_t v) { c.encoder.set_max_frame_size(v); });
}

// ---- serializers ----------------------------------------------------------------------------

PyObject* codec_serialize_settings(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"header_table_size",      "enable_push",
                                      "max_concurrent_streams", "initial_window_size",
                                      "max_frame_size",         "max_header_list_size"};
  static const ArgSignature sig{"serialize_settings", names, 6, 0, 0};
  PyObject* a[6];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  http2::Settings s;
  for (int i = 0; i < 6; ++i) {
    if (!a[i] || a[i] == Py_None) continue;
    uint32_t v;
    if (i == 1) {
      bool b;
      if (!to_bool(a[i], b)) return nullptr;
      v = b;
    } else if (!to_u32(a[i], v)) {
      return nullptr;
    }
    if (i == 3 && v > http2::kMaxWindowSize) {
      PyErr_Format(PyExc_ValueError, "initial_window_size must be <= 2147483647, got %u", v);
      return nullptr;
    }
    if (i == 4 && !check_frame_size(v)) return nullptr;
    s.set(http2::SettingId(i + 1), v);
  }
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.settings(s, out); });
  return bytes_from(out);
}

PyObject* codec_serialize_settings_ack(PyObject* self, PyObject*) {
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.settings_ack(out); });
  return bytes_from(out);
}

// Encodes one header block (pseudo-header fields, then `fields`) under the lock.
PyObject* encode_block(PyObject* self, uint32_t stream_id, bool end_stream,
                       const std::pair<std::string_view, std::string_view>* pseudo, int npseudo,
                       const http::HeaderMap& fields, std::string_view date) {
  std::string out;
  codec(self).with([&](CodecState& c) {
    http2::encode_header_block(c.encoder, stream_id, end_stream, pseudo, npseudo, &fields, nullptr,
                               date, out);
  });
  return bytes_from(out);
}

PyObject* codec_serialize_request_headers(PyObject* self, Args args, Py_ssize_t nargs,
                                          PyObject* kw) {
  static const char* const names[] = {"stream_id",  "method", "target",   "headers",
                                      "end_stream", "scheme", "authority"};
  static const ArgSignature sig{"serialize_request_headers", names, 7, 5, 3};
  PyObject* a[7];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  const char* fn = "serialize_request_headers";
  uint32_t stream_id;
  std::string_view method, target, scheme, authority;
  bool end_stream = false;
  http::HeaderMap fields;
  if (!stream_id_arg(a[0], "stream_id", stream_id) || !text_arg(a[1], fn, "method", method) ||
      !text_arg(a[2], fn, "target", target) ||
      !header_map_arg(a[3] ? a[3] : Py_None, fn, "headers", true, fields) ||
      !optional_bool(a[4], end_stream))
    return nullptr;
  if (a[5] && a[5] != Py_None && !text_arg(a[5], fn, "scheme", scheme)) return nullptr;
  if (a[6] && a[6] != Py_None && !text_arg(a[6], fn, "authority", authority)) return nullptr;
  http2::RequestPseudo pseudo;
  http2::FieldFilter filter;
  if (auto err = http2::build_request_pseudo(method, target, scheme, authority, &fields,
                                             http2::FieldRule::kRefuse, filter, pseudo))
    return raise(*err);
  return encode_block(self, stream_id, end_stream, pseudo.fields, pseudo.count, fields, {});
}

PyObject* codec_serialize_response_headers(PyObject* self, Args args, Py_ssize_t nargs,
                                           PyObject* kw) {
  static const char* const names[] = {"stream_id", "status", "headers", "end_stream", "auto_date"};
  static const ArgSignature sig{"serialize_response_headers", names, 5, 5, 2};
  PyObject* a[5];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  const char* fn = "serialize_response_headers";
  uint32_t stream_id, status;
  bool end_stream = false, auto_date = false;
  http::HeaderMap fields;
  if (!stream_id_arg(a[0], "stream_id", stream_id) || !to_u32(a[1], status) ||
      !header_map_arg(a[2] ? a[2] : Py_None, fn, "headers", true, fields) ||
      !optional_bool(a[3], end_stream) || !optional_bool(a[4], auto_date))
    return nullptr;
  if (status < 100 || status > 999) {
    PyErr_Format(PyExc_ValueError, "status must be in [100, 999], got %u", status);
    return nullptr;
  }
  if (http2::has_connection_specific(fields)) return raise_malformed();
  char digits[3] = {char('0' + status / 100), char('0' + status / 10 % 10),
                    char('0' + status % 10)};
  std::pair<std::string_view, std::string_view> pseudo[1] = {
      {":status", std::string_view(digits, 3)}};
  std::string_view date;
  if (auto_date && fields.find("date") < 0) date = http::cached_http_date();
  return encode_block(self, stream_id, end_stream, pseudo, 1, fields, date);
}

PyObject* codec_serialize_trailers(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "trailers"};
  static const ArgSignature sig{"serialize_trailers", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  uint32_t stream_id;
  http::HeaderMap fields;
  if (!stream_id_arg(a[0], "stream_id", stream_id) ||
      !header_map_arg(a[1], "serialize_trailers", "trailers", false, fields))
    return nullptr;
  if (http2::has_connection_specific(fields)) return raise_malformed();
  return encode_block(self, stream_id, true, nullptr, 0, fields, {});
}

PyObject* codec_serialize_data(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "data", "end_stream"};
  static const ArgSignature sig{"serialize_data", names, 3, 3, 2};
  PyObject* a[3];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  uint32_t stream_id;
  std::string_view data;
  bool end_stream = false;
  if (!stream_id_arg(a[0], "stream_id", stream_id) ||
      !bytes_arg(a[1], "serialize_data", "data", data) || !optional_bool(a[2], end_stream))
    return nullptr;
  // The frame depends on the codec only through the limit, read under the lock; the frame is
  // written after it, straight into the result.
  const uint32_t limit = codec(self).with([](CodecState& c) { return c.encoder.max_frame_size(); });
  if (data.size() > limit)
    return raise(http2::user_error(http2::UserErrorKind::kPayloadTooBig,
                                   "DATA payload " + std::to_string(data.size()) +
                                       " exceeds SETTINGS_MAX_FRAME_SIZE " +
                                       std::to_string(limit)));
  // Written straight into the result: the payload is copied once.
  PyObject* out =
      PyBytes_FromStringAndSize(nullptr, Py_ssize_t(http2::kFrameHeaderSize + data.size()));
  if (!out) return nullptr;
  auto* w = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
  http2::write_frame_header(w, uint32_t(data.size()), http2::FrameType::kData,
                            end_stream ? http2::flags::kEndStream : 0, stream_id);
  if (!data.empty()) std::memcpy(w + http2::kFrameHeaderSize, data.data(), data.size());
  return out;
}

PyObject* codec_serialize_window_update(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "increment"};
  static const ArgSignature sig{"serialize_window_update", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  uint32_t stream_id, inc;
  if (!stream_id_arg(a[0], "stream_id", stream_id) || !to_u32(a[1], inc)) return nullptr;
  if (inc == 0 || inc > http2::kMaxWindowSize) {
    PyErr_Format(PyExc_ValueError, "increment must be in [1, 2147483647], got %u", inc);
    return nullptr;
  }
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.window_update(stream_id, inc, out); });
  return bytes_from(out);
}

PyObject* ping_common(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw, const char* fn,
                      bool ack) {
  static const char* const names[] = {"payload"};
  const ArgSignature sig{fn, names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  std::string_view payload;
  if (!bytes_arg(a[0], fn, "payload", payload)) return nullptr;
  if (payload.size() != 8) {
    PyErr_SetString(PyExc_ValueError, "ping payload must be exactly 8 bytes");
    return nullptr;
  }
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.ping(payload, ack, out); });
  return bytes_from(out);
}
PyObject* codec_serialize_ping(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return ping_common(self, args, nargs, kw, "serialize_ping", false);
}
PyObject* codec_serialize_ping_ack(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  return ping_common(self, args, nargs, kw, "serialize_ping_ack", true);
}

PyObject* codec_serialize_go_away(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"last_stream_id", "error_code", "debug_data"};
  static const ArgSignature sig{"serialize_go_away", names, 3, 3, 2};
  PyObject* a[3];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  uint32_t last, code;
  std::string_view debug;
  if (!stream_id_arg(a[0], "last_stream_id", last) || !to_u32(a[1], code)) return nullptr;
  if (a[2] && a[2] != Py_None && !bytes_arg(a[2], "serialize_go_away", "debug_data", debug))
    return nullptr;
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.go_away(last, code, debug, out); });
  return bytes_from(out);
}

PyObject* codec_serialize_rst_stream(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"stream_id", "error_code"};
  static const ArgSignature sig{"serialize_rst_stream", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  uint32_t stream_id, code;
  if (!stream_id_arg(a[0], "stream_id", stream_id) || !to_u32(a[1], code)) return nullptr;
  std::string out;
  codec(self).with([&](CodecState& c) { c.encoder.rst_stream(stream_id, code, out); });
  return bytes_from(out);
}

PyMethodDef kMethods[] = {
    {"receive", FAST(codec_receive), FASTKW,
     SIG_DOC("receive($self, data)",
             "Decode data and return the list of frame objects it completes, in wire order.")},
    {"buffered", codec_buffered, METH_NOARGS,
     SIG_DOC("buffered($self)", "Return the number of bytes held awaiting a complete frame.")},
    {"feed_preface", FAST(codec_feed_preface), FASTKW,
     SIG_DOC("feed_preface($self, data)",
             "Accumulate the client preface: None while incomplete, False once it diverges, "
             "True when complete (bytes after it are kept for receive).")},
    {"match_preface", FAST(codec_match_preface), FASTKW | METH_STATIC,
     SIG_DOC("match_preface(data)",
             "Classify a connection's first bytes: None (a matching prefix), True (the preface), "
             "False (not HTTP/2).")},
    {"check_send_headers", FAST(codec_check_send_headers), FASTKW | METH_STATIC,
     SIG_DOC("check_send_headers(headers)",
             "Raise H2UserError('malformed_headers', ...) when headers carry a "
             "connection-specific field.")},
    {"method_is_head", FAST(codec_method_is_head), FASTKW | METH_STATIC,
     SIG_DOC("method_is_head(method)", "True only for the method HEAD (case-sensitive).")},
    {"is_client_initiated", FAST(codec_is_client_initiated), FASTKW | METH_STATIC,
     SIG_DOC("is_client_initiated(stream_id)", "True for odd stream ids.")},
    {"set_send_header_table_size", FAST(codec_set_send_hts), FASTKW,
     SIG_DOC("set_send_header_table_size($self, val)",
             "Set the HPACK encoder's table size (announced in the next header block).")},
    {"set_recv_header_table_size", FAST(codec_set_recv_hts), FASTKW,
     SIG_DOC("set_recv_header_table_size($self, val)",
             "Set the largest HPACK table size the decoder allows.")},
    {"set_max_recv_frame_size", FAST(codec_set_max_recv_frame_size), FASTKW,
     SIG_DOC("set_max_recv_frame_size($self, val)",
             "Set the largest frame payload accepted (16384..16777215).")},
    {"set_max_header_list_size", FAST(codec_set_max_header_list_size), FASTKW,
     SIG_DOC("set_max_header_list_size($self, val)", "Set the decoder's header-list limit.")},
    {"set_send_max_frame_size", FAST(codec_set_send_max_frame_size), FASTKW,
     SIG_DOC("set_send_max_frame_size($self, val)",
             "Set the largest payload the serializers emit (16384..16777215).")},
    {"serialize_settings", FAST(codec_serialize_settings), FASTKW,
     SIG_DOC("serialize_settings($self, *, header_table_size=None, enable_push=None, "
             "max_concurrent_streams=None, initial_window_size=None, max_frame_size=None, "
             "max_header_list_size=None)",
             "A SETTINGS frame with the given values in identifier order.")},
    {"serialize_settings_ack", codec_serialize_settings_ack, METH_NOARGS,
     SIG_DOC("serialize_settings_ack($self)", "The 9-byte SETTINGS ACK frame.")},
    {"serialize_request_headers", FAST(codec_serialize_request_headers), FASTKW,
     SIG_DOC("serialize_request_headers($self, stream_id, method, target, headers=None, "
             "end_stream=False, *, scheme=None, authority=None)",
             "A request HEADERS block (plus CONTINUATION frames when it is large).")},
    {"serialize_response_headers", FAST(codec_serialize_response_headers), FASTKW,
     SIG_DOC("serialize_response_headers($self, stream_id, status, headers=None, "
             "end_stream=False, auto_date=False)",
             "A response HEADERS block (plus CONTINUATION frames when it is large).")},
    {"serialize_trailers", FAST(codec_serialize_trailers), FASTKW,
     SIG_DOC("serialize_trailers($self, stream_id, trailers)",
             "A HEADERS block of trailer fields with END_STREAM.")},
    {"serialize_data", FAST(codec_serialize_data), FASTKW,
     SIG_DOC("serialize_data($self, stream_id, data, end_stream=False)", "One DATA frame.")},
    {"serialize_window_update", FAST(codec_serialize_window_update), FASTKW,
     SIG_DOC("serialize_window_update($self, stream_id, increment)", "A WINDOW_UPDATE frame.")},
    {"serialize_ping", FAST(codec_serialize_ping), FASTKW,
     SIG_DOC("serialize_ping($self, payload)", "A PING frame with an 8-byte payload.")},
    {"serialize_ping_ack", FAST(codec_serialize_ping_ack), FASTKW,
     SIG_DOC("serialize_ping_ack($self, payload)", "A PING ACK frame with an 8-byte payload.")},
    {"serialize_go_away", FAST(codec_serialize_go_away), FASTKW,
     SIG_DOC("serialize_go_away($self, last_stream_id, error_code, debug_data=None)",
             "A GOAWAY frame.")},
    {"serialize_rst_stream", FAST(codec_serialize_rst_stream), FASTKW,
     SIG_DOC("serialize_rst_stream($self, stream_id, error_code)", "A RST_STREAM frame.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"role_client", codec_role_client, nullptr, "True for the client role.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedCodec>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(SIG_DOC(
         "H2Codec(role=\"client\")",
         "The HTTP/2 frame codec alone: frame decoding with HPACK, and the frame "
         "serializers. Each method takes the codec's lock once, for the whole of its work on the "
         "codec."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H2Codec",
    sizeof(Box<LockedCodec>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* h2_codec_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

}  // namespace velmora::py
