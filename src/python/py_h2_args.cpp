#include "python/py_h2_args.hpp"

#include <string>

#include "http/uri.hpp"
#include "http2/limits.hpp"
#include "python/boundary.hpp"

namespace velmora::py {

bool stream_id_arg(PyObject* o, const char* arg, uint32_t& out) {
  uint32_t v;
  if (!to_u32(o, v)) return false;
  if (v > http2::kMaxStreamId) {
    PyErr_Format(PyExc_ValueError, "%s must be <= %u, got %u", arg, unsigned(http2::kMaxStreamId),
                 unsigned(v));
    return false;
  }
  out = v;
  return true;
}

bool initiator_arg(PyObject* o, const char* function, http2::Initiator& out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_type(function, "initiator", "str", o);
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(o, "user") == 0) {
    out = http2::Initiator::kUser;
    return true;
  }
  if (PyUnicode_CompareWithASCIIString(o, "library") == 0) {
    out = http2::Initiator::kLibrary;
    return true;
  }
  if (PyUnicode_CompareWithASCIIString(o, "remote") == 0) {
    out = http2::Initiator::kRemote;
    return true;
  }
  Ref raw = Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
  if (!raw) return false;
  std::string message = "initiator must be 'user' | 'library' | 'remote', got ";
  message += http::quote_escaped(
      std::string_view(PyBytes_AS_STRING(raw.get()), size_t(PyBytes_GET_SIZE(raw.get()))));
  Ref text = Ref::steal(str_from(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return false;
}

}  // namespace velmora::py
