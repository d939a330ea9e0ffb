// TrustedPeers: the peers a server believes about where a request came from, and the client and
// scheme that the proxy fields of a request name. Immutable after construction: no lock.
#include <string>
#include <vector>

#include "http/chars.hpp"
#include "http/forwarded.hpp"
#include "http/uri.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

const http::TrustedPeers& peers_of(PyObject* o) {
  return unbox<http::TrustedPeers>(o);
}

PyObject* peers_type();

PyObject* tp_new_peers(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"allow", nullptr};
  const char* text = nullptr;
  Py_ssize_t n = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#:TrustedPeers", const_cast<char**>(names),
                                   &text, &n))
    return nullptr;
  std::string_view bad;
  std::optional<http::TrustedPeers> peers =
      http::TrustedPeers::parse(std::string_view(text, size_t(n)), &bad);
  if (!peers) {
    std::string message = "not an IP address, IP network, \"*\" or \"unix:\": ";
    message += http::quote_escaped(bad);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  return box_new<http::TrustedPeers>(type, std::move(*peers));
}

PyObject* tp_trusts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a = one_arg("trusts", "host", args, nargs, kw);
  if (!a) return nullptr;
  std::string_view host;
  if (a != Py_None) {
    if (!PyUnicode_Check(a)) {
      raise_arg_type("trusts", "host", "str or None", a);
      return nullptr;
    }
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(a, &n);
    if (!p) return nullptr;
    host = std::string_view(p, size_t(n));
    if (host.empty()) Py_RETURN_FALSE;
  }
  return PyBool_FromLong(peers_of(self).trusts(host));
}

// The proxy field a lower-case name is: 0 Forwarded, 1 X-Forwarded-For, 2 X-Forwarded-Proto,
// -1 another field.
int proxy_field(std::string_view name) {
  switch (name.size()) {
    case 9:
      return http::ascii_iequals(name, "forwarded") ? 0 : -1;
    case 15:
      return http::ascii_iequals(name, "x-forwarded-for") ? 1 : -1;
    case 17:
      return http::ascii_iequals(name, "x-forwarded-proto") ? 2 : -1;
    default:
      return -1;
  }
}

// The origin the proxy fields among `headers` name; false with an exception set when `headers`
// is not a list of (bytes, bytes) pairs. `o.client` stays kUnchanged and `o.scheme` empty when
// no proxy field is present (nothing is allocated then).
bool origin_of(PyObject* self, const char* function, PyObject* headers, http::ForwardedOrigin& o) {
  if (!PyList_Check(headers)) {
    raise_arg_type(function, "headers", "list", headers);
    return false;
  }
  // Views into the list's bytes: nothing below runs Python code while they are held.
  std::vector<std::string_view> fields[3];
  bool any = false;
  const Py_ssize_t n = PyList_GET_SIZE(headers);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(headers, i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
        !PyBytes_Check(PyTuple_GET_ITEM(item, 0)) || !PyBytes_Check(PyTuple_GET_ITEM(item, 1))) {
      PyErr_Format(PyExc_TypeError, "%s() headers must be (bytes, bytes) pairs", function);
      return false;
    }
    const int which = proxy_field(bytes_view(PyTuple_GET_ITEM(item, 0)));
    if (which >= 0) {
      fields[which].push_back(bytes_view(PyTuple_GET_ITEM(item, 1)));
      any = true;
    }
  }
  if (any) o = http::resolve_forwarded(peers_of(self), fields[0], fields[1], fields[2]);
  return true;
}

using Client = http::ForwardedOrigin::Client;

// (client, scheme) of an origin as new references: client None for kUnknown (and kUnchanged),
// scheme None when unchanged.
bool origin_objects(const http::ForwardedOrigin& o, Ref& client, Ref& scheme) {
  if (o.client == Client::kAddress) {
    Ref host = Ref::steal(str_from(o.host));
    Ref port = Ref::steal(PyLong_FromLong(o.port));
    if (!host || !port) return false;
    client = Ref::steal(PyTuple_Pack(2, host.get(), port.get()));
    if (!client) return false;
  }
  if (!o.scheme.empty()) {
    scheme = Ref::steal(str_from(o.scheme));
    if (!scheme) return false;
  }
  return true;
}

PyObject* tp_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a = one_arg("resolve", "headers", args, nargs, kw);
  http::ForwardedOrigin o;
  if (!a || !origin_of(self, "resolve", a, o)) return nullptr;
  if (o.client == Client::kUnchanged && o.scheme.empty()) Py_RETURN_NONE;
  Ref client, scheme;
  if (!origin_objects(o, client, scheme)) return nullptr;
  return PyTuple_Pack(3, o.client == Client::kUnchanged ? Py_False : Py_True, none_or(client),
                      none_or(scheme));
}

PyObject* interned(ProcessOnce& once, const char* text) {
  return once.get([text]() -> PyObject* { return PyUnicode_InternFromString(text); });
}

PyObject* tp_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static ProcessOnce headers_key, client_key, scheme_key;
  PyObject* scope = one_arg("apply", "scope", args, nargs, kw);
  if (!scope) return nullptr;
  PyObject* key = interned(headers_key, "headers");
  if (!key) return nullptr;
  Ref headers = Ref::steal(PyObject_GetItem(scope, key));
  if (!headers) return nullptr;
  http::ForwardedOrigin o;
  if (!origin_of(self, "apply", headers.get(), o)) return nullptr;
  if (o.client == Client::kUnchanged && o.scheme.empty()) Py_RETURN_NONE;
  Ref client, scheme;
  if (!origin_objects(o, client, scheme)) return nullptr;
  if (o.client != Client::kUnchanged) {
    key = interned(client_key, "client");
    if (!key || PyObject_SetItem(scope, key, none_or(client)) < 0) return nullptr;
  }
  if (scheme) {
    key = interned(scheme_key, "scheme");
    if (!key || PyObject_SetItem(scope, key, scheme.get()) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef kPeersMethods[] = {
    {"trusts", FAST(tp_trusts), FASTKW,
     SIG_DOC("trusts($self, host)",
             "Whether a peer is trusted: host is its IP address as text, or None for a peer "
             "connected over a unix socket.")},
    {"apply", FAST(tp_apply), FASTKW,
     SIG_DOC("apply($self, scope)",
             "resolve(scope['headers']) applied to an ASGI scope (a mutable mapping): its 'client' "
             "and 'scheme' "
             "replaced by those the proxy fields name, when they name any.")},
    {"resolve", FAST(tp_resolve), FASTKW,
     SIG_DOC("resolve($self, headers)",
             "The origin that the proxy fields among headers ((name, value) pairs of bytes, "
             "names in lower case) give a request from a trusted peer: None when they change "
             "nothing, else (client_changed, client, scheme). client is (host, port) or None "
             "(an unknown or obfuscated hop): the right-most hop that is not trusted. scheme "
             "is 'http', 'https' or None (unchanged). A Forwarded field (RFC 7239) is used "
             "alone when present; else X-Forwarded-For and X-Forwarded-Proto.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kPeersSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<http::TrustedPeers>)},
    {Py_tp_new, reinterpret_cast<void*>(tp_new_peers)},
    {Py_tp_methods, kPeersMethods},
    {Py_tp_doc,
     const_cast<char*>("TrustedPeers(allow)\n--\n\n"
                       "The peers trusted to forward requests: allow lists, comma-separated, IP "
                       "addresses, IP networks ('10.0.0.0/8'), '*' (everyone) and 'unix:' (peers "
                       "over a unix socket). Raises ValueError for any other entry.")},
    {0, nullptr},
};

PyType_Spec kPeersSpec = {
    "velmora._velmora.TrustedPeers",
    sizeof(Box<http::TrustedPeers>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kPeersSlots,
};

PyObject* peers_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kPeersSpec); });
}

}  // namespace

int setup_forwarded(PyObject* m) {
  return add_to_module(m, "TrustedPeers", peers_type());
}

}  // namespace velmora::py
