// H1BodyDecoder: the synchronous decoder of one incoming message body.
#include <new>

#include "http/py_errors.hpp"
#include "http/py_header_map.hpp"
#include "http1/py_http1.hpp"
#include "module/boundary.hpp"
#include "module/once.hpp"

namespace velmora::py {
namespace {

struct DecoderObject {
  PyObject_HEAD http1::BodyDecoder dec;
};

DecoderObject* as_dec(PyObject* o) {
  return reinterpret_cast<DecoderObject*>(o);
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
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&as_dec(self)->dec) http1::BodyDecoder(k, n);
  return self;
}

void dec_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  as_dec(self)->dec.~BodyDecoder();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* dec_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"data"};
  static const ArgSignature sig{"feed", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  if (!PyBytes_Check(a[0])) {
    raise_arg_type("feed", "data", "bytes", a[0]);
    return nullptr;
  }
  http1::BodyDecoder& d = as_dec(self)->dec;
  LockGuard g(d.lock);
  d.feed({PyBytes_AS_STRING(a[0]), size_t(PyBytes_GET_SIZE(a[0]))});
  Py_RETURN_NONE;
}

PyObject* dec_mark_eof(PyObject* self, PyObject*) {
  http1::BodyDecoder& d = as_dec(self)->dec;
  LockGuard g(d.lock);
  d.mark_eof();
  Py_RETURN_NONE;
}

PyObject* dec_decode(PyObject* self, PyObject*) {
  http1::BodyDecoder& d = as_dec(self)->dec;
  std::optional<http1::Error> err;
  PyObject* out = nullptr;
  {
    LockGuard g(d.lock);
    std::string_view data;
    switch (d.decode(data, err)) {
      case http1::BodyDecoder::Result::kData:
        // bytes objects are not tracked by the collector: building one cannot re-enter us.
        out = PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size()));
        d.commit();
        return out;
      case http1::BodyDecoder::Result::kNone:
        break;
      case http1::BodyDecoder::Result::kError:
        break;
    }
  }
  if (err) return raise(std::move(*err).into_pending());
  Py_RETURN_NONE;
}

PyObject* dec_take_trailers(PyObject* self, PyObject*) {
  http1::BodyDecoder& d = as_dec(self)->dec;
  std::optional<http::HeaderMap> t;
  {
    LockGuard g(d.lock);
    if (d.is_complete()) t = d.take_trailers();
  }
  if (!t) Py_RETURN_NONE;
  return header_map_new(std::move(*t));
}

PyObject* dec_is_complete(PyObject* self, void*) {
  http1::BodyDecoder& d = as_dec(self)->dec;
  LockGuard g(d.lock);
  return PyBool_FromLong(d.is_complete());
}

PyObject* dec_buffered(PyObject* self, void*) {
  http1::BodyDecoder& d = as_dec(self)->dec;
  size_t n;
  {
    LockGuard g(d.lock);
    n = d.buffered();
  }
  return PyLong_FromSize_t(n);
}

#define SIG_DOC(sig, text) sig "\n--\n\n" text

PyMethodDef kMethods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dec_feed)),
     METH_FASTCALL | METH_KEYWORDS,
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dec_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc,
     const_cast<char*>(SIG_DOC("H1BodyDecoder(kind, length=0)",
                               "Decoder of one HTTP/1 message body: kind is 'length', 'chunked' or "
                               "'close'; any other kind is an empty body."))},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.H1BodyDecoder", sizeof(DecoderObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* h1_body_decoder_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

PyObject* body_decoder_new(http1::BodyDecoder::Kind kind, uint64_t length) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(h1_body_decoder_type());
  if (!tp) return nullptr;
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) return nullptr;
  new (&as_dec(self)->dec) http1::BodyDecoder(kind, length);
  return self;
}

http1::BodyDecoder& body_decoder_of(PyObject* decoder) {
  return as_dec(decoder)->dec;
}

}  // namespace velmora::py
