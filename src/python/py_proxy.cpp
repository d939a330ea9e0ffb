// ProxyMatcher and ProxyIntercept: proxy selection for the drivers. Both are immutable after
// construction, so neither holds a lock.
#include <memory>
#include <new>

#include "http/proxy.hpp"
#include "http/uri.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

http::ProxyMatcher& matcher_of(PyObject* o) {
  return unbox<http::ProxyMatcher>(o);
}
const http::ProxyRecord& record_of(PyObject* o) {
  return unbox<http::ProxyRecord>(o);
}

PyObject* matcher_type();
PyObject* intercept_type();

// A new instance of the class `type_obj` (null when its creation failed) holding `value`.
template <class T>
PyObject* new_of(PyObject* type_obj, T&& value) {
  if (!type_obj) return nullptr;
  return box_new<std::remove_cvref_t<T>>(reinterpret_cast<PyTypeObject*>(type_obj),
                                         std::forward<T>(value));
}

// ---- ProxyIntercept -------------------------------------------------------------------------

PyObject* pi_uri(PyObject* self, void*) {
  return str_from(record_of(self).uri);
}

PyObject* pi_basic_auth(PyObject* self, PyObject*) {
  const http::ProxyRecord& r = record_of(self);
  if (r.auth != http::ProxyRecord::Auth::kBasic) Py_RETURN_NONE;
  return str_from(r.basic);
}

PyObject* pi_raw_auth(PyObject* self, PyObject*) {
  const http::ProxyRecord& r = record_of(self);
  if (r.auth != http::ProxyRecord::Auth::kRaw) Py_RETURN_NONE;
  Ref user = Ref::steal(str_from(r.user));
  Ref password = Ref::steal(str_from(r.password));
  if (!user || !password) return nullptr;
  return PyTuple_Pack(2, user.get(), password.get());
}

PyObject* pi_repr(PyObject* self) {
  std::string text = "ProxyIntercept(uri=" + http::quote_escaped(record_of(self).uri);
  text += ')';
  return str_from(text);
}

PyMethodDef kInterceptMethods[] = {
    {"basic_auth", pi_basic_auth, METH_NOARGS,
     SIG_DOC("basic_auth($self)",
             "For an HTTP or HTTPS proxy with user information: the Proxy-Authorization value "
             "'Basic <base64 of user:password>'; otherwise None.")},
    {"raw_auth", pi_raw_auth, METH_NOARGS,
     SIG_DOC("raw_auth($self)",
             "For a SOCKS proxy with user information: (user, password); otherwise None.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInterceptGetters[] = {
    {"uri", pi_uri, nullptr, "The proxy URI: scheme, host and port, and the path '/'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInterceptSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<http::ProxyRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(pi_repr)},
    {Py_tp_methods, kInterceptMethods},
    {Py_tp_getset, kInterceptGetters},
    {Py_tp_doc, const_cast<char*>("The proxy selected for a destination, with its credentials. "
                                  "Created only by ProxyMatcher.intercept().")},
    {0, nullptr},
};

PyType_Spec kInterceptSpec = {
    "velmora._velmora.ProxyIntercept",
    sizeof(Box<http::ProxyRecord>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kInterceptSlots,
};

// ---- ProxyMatcher ---------------------------------------------------------------------------

PyObject* new_matcher(http::ProxyMatcher matcher) {
  return new_of(matcher_type(), std::move(matcher));
}

PyObject* pm_from_env(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kw) {
  if (!no_args("from_env", nargs, kw)) return nullptr;
  return new_matcher(http::ProxyMatcher::from_env());
}

// A proxy or bypass string: None or missing is unset; a str that is not encodable as UTF-8
// (lone surrogates) is unusable and counts as unset too.
bool text_arg(PyObject* o, const char* arg, std::string_view& out) {
  out = {};
  if (!o || o == Py_None) return true;
  if (!PyUnicode_Check(o)) {
    raise_arg_type("from_parts", arg, "str or None", o);
    return false;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (!p) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return true;
  }
  out = std::string_view(p, size_t(n));
  return true;
}

PyObject* pm_from_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"all", "http", "https", "no"};
  static const ArgSignature sig{"from_parts", names, 4, 0, 0};
  PyObject* a[4];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  std::string_view all, http, https, no;
  if (!text_arg(a[0], "all", all) || !text_arg(a[1], "http", http) ||
      !text_arg(a[2], "https", https) || !text_arg(a[3], "no", no))
    return nullptr;
  return new_matcher(http::ProxyMatcher::from_parts(all, http, https, no));
}

PyObject* pm_intercept(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  static const char* const names[] = {"url"};
  static const ArgSignature sig{"intercept", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kw, a)) return nullptr;
  if (!PyUnicode_Check(a[0])) {
    raise_arg_type("intercept", "url", "str", a[0]);
    return nullptr;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(a[0], &n);
  if (!p) {
    // Not encodable as UTF-8 (lone surrogates): not a URL.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  const http::ProxyRecord* found = matcher_of(self).intercept(std::string_view(p, size_t(n)));
  if (!found) Py_RETURN_NONE;
  return new_of(intercept_type(), http::ProxyRecord(*found));
}

PyMethodDef kMatcherMethods[] = {
    {"from_env", FAST(pm_from_env), FASTKW | METH_STATIC,
     SIG_DOC("from_env()",
             "Build a matcher from HTTP_PROXY, HTTPS_PROXY, ALL_PROXY and NO_PROXY (upper case "
             "first, then lower case). With REQUEST_METHOD set (a CGI handler) no proxy is "
             "used.")},
    {"from_parts", FAST(pm_from_parts), FASTKW | METH_STATIC,
     SIG_DOC("from_parts(*, all=None, http=None, https=None, no=None)",
             "Build a matcher from explicit strings; all serves both schemes where http or "
             "https gives none, no is the bypass list. None and empty strings are unset.")},
    {"intercept", FAST(pm_intercept), FASTKW,
     SIG_DOC("intercept($self, url)",
             "The ProxyIntercept for url, or None (bypassed, no proxy for its scheme, or not a "
             "URL with a host).")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMatcherSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<http::ProxyMatcher>)},
    {Py_tp_methods, kMatcherMethods},
    {Py_tp_doc, const_cast<char*>("Proxy selection for destination URLs. Create one with "
                                  "ProxyMatcher.from_env() or ProxyMatcher.from_parts().")},
    {0, nullptr},
};

PyType_Spec kMatcherSpec = {
    "velmora._velmora.ProxyMatcher",
    sizeof(Box<http::ProxyMatcher>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kMatcherSlots,
};

PyObject* matcher_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kMatcherSpec); });
}

PyObject* intercept_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kInterceptSpec); });
}

}  // namespace

int setup_proxy(PyObject* m) {
  if (add_to_module(m, "ProxyMatcher", matcher_type()) < 0) return -1;
  return add_to_module(m, "ProxyIntercept", intercept_type());
}

}  // namespace velmora::py
