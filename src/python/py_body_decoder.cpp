// H1BodyDecoder: the synchronous decoder of one incoming message body.
#include <new>

#include "python/py_errors.hpp"
#include "python/py_header_map.hpp"
#include "python/py_http1.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"

namespace velmora::py {
namespace {

using LockedDecoder = Locked<http1::BodyDecoder>;

LockedDecoder& decoder(PyObject* o) {
  return unbox<LockedDecoder>(o);
}

PyObject* dec_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"kind", "length", nullptr};
  PyObject* kind = nullptr;
  PyObject* length = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:H1BodyDecoder", const_cast<char**>(kw), &kind,
                                   &length))
    return nullptr;
  if (!PyUnicode_Check(kind)) {
    raise_arg_type("H1BodyDecoder", "kind", "str", kind);
    return nullptr;
  }
  uint64_t n = 0;
  if (length && !to_u64(length, n)) return nullptr;
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(kind, &size);
  if (!text) return nullptr;
  http1::BodyDecoder::Kind k = http1::BodyDecoder::kind_from_name({text, size_t(size)});
  return box_new<LockedDecoder>(type, k, n);
}

PyObject* dec_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"feed", names, 1, 1, 1};
  PyObject* a[1];
  std::string_view data;
  if (!parse_args(sig, args, nargs, kwnames, a) || !bytes_arg(a[0], "feed", "data", data))
    return nullptr;
  decoder(self).with([&](http1::BodyDecoder& d) { d.feed(data); });
  Py_RETURN_NONE;
}

PyObject* dec_mark_eof(PyObject* self, PyObject*) {
  decoder(self).with([](http1::BodyDecoder& d) { d.mark_eof(); });
  Py_RETURN_NONE;
}

PyObject* dec_decode(PyObject* self, PyObject*) {
  std::optional<http1::Error> err;
  // A piece of body data is copied into a bytes object under the lock (bytes are not tracked
  // by the collector), so the decoder can drop it from its input in the same step.
  PyObject* out = decoder(self).with([&](http1::BodyDecoder& d) -> PyObject* {
    std::string_view data;
    if (d.decode(data, err) != http1::BodyDecoder::Result::kData) return nullptr;
    PyObject* piece = bytes_from(data);
    if (piece) d.commit();
    return piece;
  });
  if (out) return out;
  if (err) return raise(std::move(*err).into_pending());
  if (PyErr_Occurred()) return nullptr;  // the piece could not be made; it stays in the input
  Py_RETURN_NONE;
}

PyObject* dec_take_trailers(PyObject* self, PyObject*) {
  std::optional<http::HeaderMap> t = decoder(self).with([](http1::BodyDecoder& d) {
    return d.is_complete() ? d.take_trailers() : std::optional<http::HeaderMap>();
  });
  if (!t) Py_RETURN_NONE;
  return header_map_new(std::move(*t));
}

PyObject* dec_is_complete(PyObject* self, void*) {
  return PyBool_FromLong(decoder(self).with([](http1::BodyDecoder& d) { return d.is_complete(); }));
}

PyObject* dec_buffered(PyObject* self, void*) {
  return PyLong_FromSize_t(decoder(self).with([](http1::BodyDecoder& d) { return d.buffered(); }));
}

PyMethodDef kMethods[] = {
    {"feed", FAST(dec_feed), FASTKW,
     SIG_DOC("feed($self, data)", "Append received bytes to the input without decoding.")},
    {"mark_eof", dec_mark_eof, METH_NOARGS,
     SIG_DOC("mark_eof($self)", "Record that the transport closed.")},
    {"decode", dec_decode, METH_NOARGS,
     SIG_DOC("decode($self)",
             "Return the next piece of body data, or None when more input is needed or the "
             "body is complete (see is_complete). Raises H1BodyError.")},
    {"take_trailers", dec_take_trailers, METH_NOARGS,
     SIG_DOC("take_trailers($self)",
             "Return the chunked trailer fields once the body is complete, else None; moved "
             "out, so a second call returns None.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_complete", dec_is_complete, nullptr, "The body has ended.", nullptr},
    {"buffered", dec_buffered, nullptr,
     "Bytes in the input; after completion, the bytes past the body.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(dec_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedDecoder>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(SIG_DOC("H1BodyDecoder(kind, length=0)",
                               "Decoder of one HTTP/1 message body: kind is 'length', 'chunked' or "
                               "'close'; any other kind is an empty body."))},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.H1BodyDecoder", sizeof(Box<LockedDecoder>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* h1_body_decoder_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

PyObject* body_decoder_new(http1::BodyDecoder::Kind kind, uint64_t length) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(h1_body_decoder_type());
  if (!tp) return nullptr;
  return box_new<LockedDecoder>(tp, kind, length);
}

Locked<http1::BodyDecoder>& body_decoder_of(PyObject* o) {
  return decoder(o);
}

}  // namespace velmora::py
