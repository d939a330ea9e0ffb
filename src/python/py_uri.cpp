#include "http/uri.hpp"

#include "python/py_functions.hpp"
#include "python/boundary.hpp"

namespace velmora::py {
namespace {

PyObject* uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"url"};
  static const ArgSignature sig{"uri_parts", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  if (!PyUnicode_Check(a[0])) {
    raise_arg_type("uri_parts", "url", "str", a[0]);
    return nullptr;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(a[0], &n);
  if (!p) return nullptr;
  std::string_view text(p, size_t(n));
  http::Uri uri;
  if (auto err = http::parse_uri(text, uri)) {
    std::string message = "invalid url " + http::quote_escaped(text) + ": ";
    message += http::uri_error_text(*err);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  std::string_view scheme = uri.scheme_name();
  Ref py_scheme = Ref::borrow(Py_None);
  if (!scheme.empty()) {
    py_scheme = Ref::steal(str_from(scheme));
    if (!py_scheme) return nullptr;
  }
  if (!uri.has_authority) return PyTuple_Pack(4, py_scheme.get(), Py_None, Py_None, Py_None);

  std::string_view host = http::authority_host(uri.authority);
  std::optional<uint16_t> port = http::authority_port(uri.authority);
  if (!port) port = http::default_port(scheme);
  std::string_view bare = host;
  while (!bare.empty() && bare.front() == '[')
    bare.remove_prefix(1);
  while (!bare.empty() && bare.back() == ']')
    bare.remove_suffix(1);
  Ref py_host = Ref::steal(str_from(bare));
  if (!py_host) return nullptr;
  if (!port) return PyTuple_Pack(4, py_scheme.get(), py_host.get(), Py_None, Py_None);
  std::string authority(host);
  authority += ':';
  authority += std::to_string(*port);
  Ref py_port = Ref::steal(PyLong_FromLong(*port));
  Ref py_authority = Ref::steal(str_from(authority));
  if (!py_port || !py_authority) return nullptr;
  return PyTuple_Pack(4, py_scheme.get(), py_host.get(), py_port.get(), py_authority.get());
}

}  // namespace

PyMethodDef kUriPartsDef = {
    "uri_parts", FAST(uri_parts), FASTKW,
    "uri_parts(url)\n--\n\n"
    "Split a URL into (scheme, host, port, authority) for choosing and dialling a destination.\n\n"
    "port is the explicit port or the scheme's default; authority is host:port when the port is "
    "known. Raises ValueError for a URL that does not parse."};

}  // namespace velmora::py
