// H1Codec: the synchronous HTTP/1 codec of one connection (head parsing and serialization, body
// framing, the read buffer).
#include <cstring>
#include <new>

#include "python/py_errors.hpp"
#include "python/py_header_map.hpp"
#include "http1/head_serializer.hpp"
#include "python/py_http1.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {

PyObject* raise_serialize(http1::SerializeError&& e) {
  if (auto* pe = std::get_if<PendingError>(&e)) return raise(*pe);
  return raise(std::move(std::get<http1::Error>(e)).into_pending());
}

namespace {

using LockedCodec = Locked<http1::Codec>;

LockedCodec& codec(PyObject* o) {
  return unbox<LockedCodec>(o);
}

PyObject* terminator() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    return PyBytes_FromStringAndSize(http1::kChunkedTerminator.data(),
                                     Py_ssize_t(http1::kChunkedTerminator.size()));
  });
}

PyObject* empty_bytes() {
  return PyBytes_FromStringAndSize(nullptr, 0);
}

// ---- construction -----------------------------------------------------------------------

PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"max_headers", "ignore_invalid_headers", "title_case_headers",
                             "date_header", "max_buf_size",           nullptr};
  PyObject *max_headers = nullptr, *ignore = nullptr, *title = nullptr, *date = nullptr,
           *max_buf = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OOOOO:H1Codec", const_cast<char**>(kw),
                                   &max_headers, &ignore, &title, &date, &max_buf))
    return nullptr;
  std::optional<uint64_t> mh;
  bool ig = false, tc = false, dh = true;
  uint64_t mb = http1::kDefaultMaxBufSize;
  if (!optional_u64(max_headers, mh) || !optional_bool(ignore, ig) || !optional_bool(title, tc) ||
      !optional_bool(date, dh))
    return nullptr;
  if (max_buf && !to_u64(max_buf, mb)) return nullptr;
  if (mb < http1::kMinBufSize) {
    PyErr_Format(PyExc_ValueError, "the max_buf_size cannot be smaller than %llu",
                 (unsigned long long)http1::kMinBufSize);
    return nullptr;
  }
  PyObject* self = box_new<LockedCodec>(type);
  if (!self) return nullptr;
  http1::Codec& c = codec(self).unguarded();  // not shared yet
  c.max_headers = mh;
  c.ignore_invalid_headers = ig;
  c.title_case_headers = tc;
  c.date_header = dh;
  c.max_buf_size = mb;
  return self;
}

// ---- read buffer ------------------------------------------------------------------------

PyObject* codec_reset(PyObject* self, PyObject*) {
  codec(self).with([](http1::Codec& c) { c.reset(); });
  Py_RETURN_NONE;
}

PyObject* codec_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"feed", names, 1, 1, 1};
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(sig, args, nargs, kwnames, a) || !bytes_arg(a[0], "feed", "data", data))
    return nullptr;
  codec(self).with([&](http1::Codec& c) { c.read.append(data); });
  Py_RETURN_NONE;
}

PyObject* codec_buffered(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(codec(self).with([](http1::Codec& c) { return c.read.size(); }));
}

PyObject* codec_take_body(PyObject* self, PyObject*) {
  http1::ReadBuffer taken = codec(self).with([](http1::Codec& c) { return c.read.take_all(); });
  return PyBytes_FromStringAndSize(taken.data(), Py_ssize_t(taken.size()));
}

PyObject* codec_take_body_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const char* const names[] = {"decoder"};
  static const ArgSignature sig{"take_body_into", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  if (Py_TYPE(a[0]) != reinterpret_cast<PyTypeObject*>(h1_body_decoder_type())) {
    raise_arg_type("take_body_into", "decoder", "H1BodyDecoder", a[0]);
    return nullptr;
  }
  http1::ReadBuffer taken = codec(self).with([](http1::Codec& c) { return c.read.take_all(); });
  if (!taken.empty())
    body_decoder_of(a[0]).with([&](http1::BodyDecoder& d) { d.feed(std::move(taken)); });
  Py_RETURN_NONE;
}

// ---- head parsing -----------------------------------------------------------------------

// Appends `data` to the read buffer and parses a head of kind Head with `parse`; returns the
// head object made by `make`, None while the head is incomplete, or raises the parse error.
template <class Head, http1::ParseOutcome (*parse)(http1::Codec&, Head&), PyObject* (*make)(Head&&)>
PyObject* receive(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  PyObject* arg = one_arg(function, "data", args, nargs, kwnames);
  std::string_view data;
  if (!arg || !bytes_arg(arg, function, "data", data)) return nullptr;
  Head head;
  http1::ParseOutcome r = codec(self).with([&](http1::Codec& c) {
    c.read.append(data);
    return parse(c, head);
  });
  if (r.error) return raise(std::move(*r.error).into_pending());
  if (!r.complete) Py_RETURN_NONE;
  return make(std::move(head));
}

PyObject* codec_receive_request_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* arg = one_arg("receive_request_head", "data", args, nargs, kwnames);
  std::string_view data;
  if (!arg || !bytes_arg(arg, "receive_request_head", "data", data)) return nullptr;
  http1::RequestHead head;
  // The target str is made under the codec's lock straight from the buffered head, without a
  // copy: a str is not tracked by the cyclic collector, so making one runs no Python code (a
  // failure only sets MemoryError, raised after the lock).
  Ref target;
  head.target_sink = [](void* ctx, std::string_view t) {
    *static_cast<Ref*>(ctx) = Ref::steal(target_str(t));
  };
  head.target_ctx = &target;
  http1::ParseOutcome r = codec(self).with([&](http1::Codec& c) {
    c.read.append(data);
    return http1::parse_request_head(c, head);
  });
  if (r.error) return raise(std::move(*r.error).into_pending());
  if (!r.complete) Py_RETURN_NONE;
  if (!target) return nullptr;
  return request_head_new(std::move(head), std::move(target));
}

PyObject* codec_receive_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return receive<http1::ResponseHead, http1::parse_response_head, response_head_new>(
      "receive_head", self, args, nargs, kwnames);
}

// ---- head serialization -----------------------------------------------------------------

// The serialized head out of the scratch, or the error that stopped it. The bytes object is
// made under the lock (bytes are not tracked by the collector), so the scratch keeps its storage
// for the next head; an error is raised after the lock is released.
struct Serialized {
  Ref out;
  std::optional<http1::SerializeError> error;
};

Serialized take_scratch(http1::Codec& c, std::optional<http1::SerializeError>&& err) {
  Serialized r;
  if (err) {
    r.error = std::move(err);
    return r;
  }
  r.out = Ref::steal(bytes_from(c.scratch));
  c.scratch.clear();
  c.trim_scratch();
  return r;
}

PyObject* serialized_result(Serialized&& r) {
  if (r.error) return raise_serialize(std::move(*r.error));
  return r.out.release();  // null with MemoryError set when the bytes could not be made
}

PyObject* codec_serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const char* const names[] = {"method",         "url",    "headers", "http10",
                                      "content_length", "chunked"};
  static const ArgSignature sig{"serialize_request", names, 6, 3, 2};
  PyObject* a[6];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  if (!PyUnicode_Check(a[0])) {
    raise_arg_type("serialize_request", "method", "str", a[0]);
    return nullptr;
  }
  if (!PyUnicode_Check(a[1])) {
    raise_arg_type("serialize_request", "url", "str", a[1]);
    return nullptr;
  }
  bool http10 = false, chunked = false;
  std::optional<uint64_t> content_length;
  if (!optional_bool(a[3], http10) || !optional_u64(a[4], content_length) ||
      !optional_bool(a[5], chunked))
    return nullptr;
  Py_ssize_t mlen, ulen;
  const char* m = PyUnicode_AsUTF8AndSize(a[0], &mlen);
  if (!m) return nullptr;
  const char* u = PyUnicode_AsUTF8AndSize(a[1], &ulen);
  if (!u) return nullptr;
  http::HeaderMap headers;
  if (!header_map_arg(a[2] ? a[2] : Py_None, "serialize_request", "headers", true, headers))
    return nullptr;
  return serialized_result(codec(self).with([&](http1::Codec& c) {
    return take_scratch(c, http1::serialize_request(c, {m, size_t(mlen)}, {u, size_t(ulen)},
                                                    headers, http10, content_length, chunked));
  }));
}

PyObject* codec_serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static const char* const names[] = {"status", "headers",        "keep_alive",
                                      "http10", "content_length", "chunked"};
  static const ArgSignature sig{"serialize_response", names, 6, 2, 1};
  PyObject* a[6];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  uint64_t status;
  if (!to_u64(a[0], status)) return nullptr;
  if (status > 0xffff) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned short");
    return nullptr;
  }
  bool keep_alive = true, http10 = false, chunked = false;
  std::optional<uint64_t> content_length;
  if (!optional_bool(a[2], keep_alive) || !optional_bool(a[3], http10) ||
      !optional_u64(a[4], content_length) || !optional_bool(a[5], chunked))
    return nullptr;
  http::HeaderMap headers;
  if (!header_map_arg(a[1] ? a[1] : Py_None, "serialize_response", "headers", true, headers))
    return nullptr;
  return serialized_result(codec(self).with([&](http1::Codec& c) {
    return take_scratch(c, http1::serialize_response(c, uint32_t(status), headers, keep_alive,
                                                     http10, content_length, chunked));
  }));
}

PyObject* codec_continue_response(PyObject*, PyObject*) {
  return PyBytes_FromStringAndSize(http1::kContinueResponse.data(),
                                   Py_ssize_t(http1::kContinueResponse.size()));
}

PyObject* codec_connection_close(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const char* const names[] = {"headers"};
  static const ArgSignature sig{"connection_close", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  http::HeaderMap headers;
  if (!header_map_arg(a[0], "connection_close", "headers", false, headers)) return nullptr;
  return PyBool_FromLong(http1::connection_close(headers));
}

// ---- body framing -----------------------------------------------------------------------

// Frames `chunk` (non-empty) with the encoder; returns a new reference, or null with `error` set
// when the encoder refuses the chunk (nothing changed then; the error is raised after the lock).
PyObject* frame(http1::BodyEncoder& enc, PyObject* chunk, std::optional<http1::Error>& error) {
  const size_t n = size_t(PyBytes_GET_SIZE(chunk));
  http1::ChunkFrame f;
  error = http1::frame_chunk(enc, n, f);
  if (error) return nullptr;
  if (!f.chunked) {
    if (f.take == n) return Py_NewRef(chunk);
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(chunk), Py_ssize_t(f.take));
  }
  PyObject* out = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(f.prefix_len + n + 2));
  if (!out) return nullptr;
  char* w = PyBytes_AS_STRING(out);
  std::memcpy(w, f.prefix, f.prefix_len);
  std::memcpy(w + f.prefix_len, PyBytes_AS_STRING(chunk), n);
  std::memcpy(w + f.prefix_len + n, "\r\n", 2);
  return out;
}

PyObject* codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const char* const names[] = {"chunk"};
  static const ArgSignature sig{"serialize_data", names, 1, 1, 1};
  PyObject* a[1];
  std::string_view chunk;
  if (!parse_args(sig, args, nargs, kwnames, a) ||
      !bytes_arg(a[0], "serialize_data", "chunk", chunk))
    return nullptr;
  if (chunk.empty()) return Py_NewRef(a[0]);
  // The framed chunk is a bytes object (untracked by the collector), made under the lock.
  bool in_flight = true;
  std::optional<http1::Error> error;
  PyObject* out = codec(self).with([&](http1::Codec& c) -> PyObject* {
    if (!c.encoder) {
      in_flight = false;
      return nullptr;
    }
    return frame(*c.encoder, a[0], error);
  });
  if (!in_flight) PyErr_SetString(PyExc_ValueError, "serialize_data with no request in flight");
  if (error) return raise(std::move(*error).into_pending());
  return out;
}

// The end of the body into `out`; the encoder is already taken out.
std::optional<http1::Error> end_into(const http1::Codec& c, const http1::BodyEncoder& enc,
                                     const http::HeaderMap* trailers, std::string& out,
                                     bool& terminator_only) {
  if (!c.allow_trailers) trailers = nullptr;
  return http1::encode_end(enc, trailers, out, terminator_only);
}

// The end of a body, encoded under the lock and turned into bytes (or raised) after it.
struct Ended {
  bool in_flight = false;
  bool terminator_only = false;
  std::string out;
  std::optional<http1::Error> error;
};

// Takes the encoder out and encodes the end of its body (with `trailers` when allowed).
Ended end_body(http1::Codec& c, const http::HeaderMap* trailers) {
  Ended r;
  std::optional<http1::BodyEncoder> enc = std::move(c.encoder);
  c.encoder.reset();
  if (!enc) return r;
  r.in_flight = true;
  r.error = end_into(c, *enc, trailers, r.out, r.terminator_only);
  return r;
}

PyObject* end_result(Ended&& r) {
  if (!r.in_flight) return empty_bytes();
  if (r.error) return raise(std::move(*r.error).into_pending());
  if (r.terminator_only) return Py_NewRef(terminator());
  return bytes_from(r.out);
}

PyObject* codec_serialize_end(PyObject* self, PyObject*) {
  return end_result(codec(self).with([](http1::Codec& c) { return end_body(c, nullptr); }));
}

PyObject* codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  static const char* const names[] = {"trailers"};
  static const ArgSignature sig{"serialize_trailers", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  http::HeaderMap trailers;
  if (!header_map_arg(a[0], "serialize_trailers", "trailers", false, trailers)) return nullptr;
  return end_result(codec(self).with([&](http1::Codec& c) { return end_body(c, &trailers); }));
}

}  // namespace

PyObject* head_and_last_frame(std::string_view head, std::string_view body,
                              const http1::LastFrame& r) {
  const http1::ChunkFrame& f = r.frame;
  const std::string_view data = body.substr(0, f.take);
  const size_t framing = f.chunked ? f.prefix_len + 2 : 0;
  PyObject* out = PyBytes_FromStringAndSize(
      nullptr, Py_ssize_t(head.size() + framing + data.size() + r.end.size()));
  if (!out) return nullptr;
  char* w = PyBytes_AS_STRING(out);
  std::memcpy(w, head.data(), head.size());
  w += head.size();
  if (f.chunked) {
    std::memcpy(w, f.prefix, f.prefix_len);
    w += f.prefix_len;
  }
  std::memcpy(w, data.data(), data.size());
  w += data.size();
  if (f.chunked) {
    std::memcpy(w, "\r\n", 2);
    w += 2;
  }
  std::memcpy(w, r.end.data(), r.end.size());
  return out;
}

namespace {

PyObject* codec_serialize_head_and_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const names[] = {"head", "body", "trailers"};
  static const ArgSignature sig{"serialize_head_and_body", names, 3, 3, 1};
  PyObject* a[3];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view head, body;
  if (!bytes_arg(a[0], "serialize_head_and_body", "head", head)) return nullptr;
  if (a[1] && a[1] != Py_None && !bytes_arg(a[1], "serialize_head_and_body", "body", body))
    return nullptr;
  std::optional<http::HeaderMap> trailers;
  if (a[2] && a[2] != Py_None) {
    trailers.emplace();
    if (!header_map_arg(a[2], "serialize_head_and_body", "trailers", false, *trailers))
      return nullptr;
  }
  http1::LastFrame r = codec(self).with(
      [&](http1::Codec& c) { return http1::frame_last(c, body, trailers ? &*trailers : nullptr); });
  if (!r.in_flight && !body.empty()) {
    PyErr_SetString(PyExc_ValueError, "serialize_head_and_body with no request in flight");
    return nullptr;
  }
  if (!r.ends) return Py_NewRef(a[0]);
  if (r.error) return raise(std::move(*r.error).into_pending());
  return head_and_last_frame(head, body, r);
}

PyObject* codec_body_is_eof(PyObject* self, PyObject*) {
  return PyBool_FromLong(
      codec(self).with([](http1::Codec& c) { return !c.encoder || c.encoder->is_eof(); }));
}

// ---- properties -------------------------------------------------------------------------

template <class F>
PyObject* locked_bool(PyObject* self, F&& f) {
  return PyBool_FromLong(codec(self).with(std::forward<F>(f)));
}

PyObject* get_max_buf_size(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(
      codec(self).with([](http1::Codec& c) { return c.max_buf_size; }));
}

PyObject* get_parse_error_status(PyObject* self, void*) {
  std::optional<uint16_t> v =
      codec(self).with([](http1::Codec& c) { return c.parse_error_status; });
  if (!v) Py_RETURN_NONE;
  return PyLong_FromLong(*v);
}

PyObject* get_request_connection_close(PyObject* self, void*) {
  return locked_bool(self, [](http1::Codec& c) { return c.request_connection_close; });
}
PyObject* get_response_is_last(PyObject* self, void*) {
  return locked_bool(self, [](http1::Codec& c) { return c.response_is_last; });
}
PyObject* get_response_close_delimited(PyObject* self, void*) {
  return locked_bool(self, [](http1::Codec& c) { return c.response_close_delimited; });
}

PyMethodDef kMethods[] = {
    {"reset", codec_reset, METH_NOARGS,
     SIG_DOC("reset($self)", "Start the next message; buffered bytes are kept.")},
    {"feed", FAST(codec_feed), FASTKW,
     SIG_DOC("feed($self, data)", "Append bytes to the read buffer without parsing.")},
    {"receive_request_head", FAST(codec_receive_request_head), FASTKW,
     SIG_DOC("receive_request_head($self, data)",
             "Buffer data and parse a request head: an H1RequestHead, or None while it is "
             "incomplete. Raises H1ParseError.")},
    {"receive_head", FAST(codec_receive_head), FASTKW,
     SIG_DOC("receive_head($self, data)",
             "Buffer data and parse a response head: an H1ResponseHead, or None while it is "
             "incomplete. Raises H1ParseError.")},
    {"serialize_request", FAST(codec_serialize_request), FASTKW,
     SIG_DOC("serialize_request($self, method, url, headers=None, *, http10=False, "
             "content_length=None, chunked=False)",
             "Write a request head and install its body encoder.")},
    {"serialize_response", FAST(codec_serialize_response), FASTKW,
     SIG_DOC("serialize_response($self, status, headers=None, *, keep_alive=True, "
             "http10=False, content_length=None, chunked=False)",
             "Write a response head and install its body encoder.")},
    {"continue_response", codec_continue_response, METH_NOARGS | METH_STATIC,
     SIG_DOC("continue_response()", "The interim response to Expect: 100-continue.")},
    {"connection_close", FAST(codec_connection_close), FASTKW | METH_STATIC,
     SIG_DOC("connection_close(headers)",
             "True when a Connection field of headers holds the token close.")},
    {"serialize_data", FAST(codec_serialize_data), FASTKW,
     SIG_DOC("serialize_data($self, chunk)", "Frame one body chunk.")},
    {"serialize_end", codec_serialize_end, METH_NOARGS,
     SIG_DOC("serialize_end($self)", "End the body.")},
    {"serialize_trailers", FAST(codec_serialize_trailers), FASTKW,
     SIG_DOC("serialize_trailers($self, trailers)", "End the body with trailer fields.")},
    {"serialize_head_and_body", FAST(codec_serialize_head_and_body), FASTKW,
     SIG_DOC("serialize_head_and_body($self, head, body=None, trailers=None)",
             "Head, framed body and end of body in one bytes object.")},
    {"body_is_eof", codec_body_is_eof, METH_NOARGS,
     SIG_DOC("body_is_eof($self)", "True when the encoder in flight carries no more body.")},
    {"take_body", codec_take_body, METH_NOARGS,
     SIG_DOC("take_body($self)", "Take every buffered byte.")},
    {"take_body_into", FAST(codec_take_body_into), FASTKW,
     SIG_DOC("take_body_into($self, decoder)", "Move every buffered byte into an H1BodyDecoder.")},
    {"buffered", codec_buffered, METH_NOARGS,
     SIG_DOC("buffered($self)", "The number of bytes in the read buffer.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"max_buf_size", get_max_buf_size, nullptr, "Cap on an incomplete head.", nullptr},
    {"parse_error_status", get_parse_error_status, nullptr,
     "Automatic status of the last failed request-head parse (400, 414, 431) or None.", nullptr},
    {"request_connection_close", get_request_connection_close, nullptr,
     "The last serialized request asked to close the connection.", nullptr},
    {"response_is_last", get_response_is_last, nullptr,
     "The connection closes after the last serialized response.", nullptr},
    {"response_close_delimited", get_response_close_delimited, nullptr,
     "The last serialized response's body ends by closing the connection.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(codec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedCodec>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(SIG_DOC("H1Codec(*, max_headers=None, ignore_invalid_headers=False, "
                               "title_case_headers=False, date_header=True, max_buf_size=...)",
                               "Synchronous HTTP/1 codec of one connection."))},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.H1Codec", sizeof(Box<LockedCodec>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* h1_codec_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    if (!terminator()) return nullptr;
    return make_type(&kSpec);
  });
}

Locked<http1::Codec>& codec_of(PyObject* o) {
  return codec(o);
}

int setup_h1_codec_classes(PyObject* m) {
  if (add_to_module(m, "H1Codec", h1_codec_type()) < 0) return -1;
  if (add_to_module(m, "H1ResponseHead", h1_response_head_type()) < 0) return -1;
  if (add_to_module(m, "H1RequestHead", h1_request_head_type()) < 0) return -1;
  return add_to_module(m, "H1BodyDecoder", h1_body_decoder_type());
}

}  // namespace velmora::py
