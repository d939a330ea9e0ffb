#include <algorithm>

#include "http/base64.hpp"
#include "http/uri.hpp"

#include "python/py_functions.hpp"
#include "python/boundary.hpp"

namespace velmora::py {
bool text_of(PyObject* o, const char* function, const char* arg, std::string_view& out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_type(function, arg, "str", o);
    return false;
  }
  Py_ssize_t n;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (!p) return false;
  out = std::string_view(p, size_t(n));
  return true;
}

namespace {

// Parses `text` as a URL, raising ValueError("invalid url ...") when it does not parse.
bool parse_url(std::string_view text, http::Uri& uri) {
  if (auto err = http::parse_uri(text, uri)) {
    std::string message = "invalid url " + http::quote_escaped(text) + ": ";
    message += http::uri_error_text(*err);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  return true;
}

PyObject* str_or_none(std::string_view s, bool present) {
  return present ? str_from(s) : Py_NewRef(Py_None);
}

// (scheme, host, port, authority) and, with `request`, (host_header, target, authorization).
PyObject* url_tuple(std::string_view text, bool request) {
  http::Uri uri;
  if (!parse_url(text, uri)) return nullptr;
  const Py_ssize_t size = request ? 7 : 4;
  std::string_view scheme = uri.scheme_name();
  Ref out = Ref::steal(PyTuple_New(size));
  if (!out) return nullptr;
  http::RequestUrl r;
  if (uri.has_authority) r = http::request_url(uri, request);
  const bool known = r.port.has_value();
  PyObject* items[7] = {
      str_or_none(scheme, !scheme.empty()),
      str_or_none(r.host, uri.has_authority),
      known ? PyLong_FromLong(*r.port) : Py_NewRef(Py_None),
      str_or_none(r.authority, known),
      nullptr,
      nullptr,
      nullptr,
  };
  if (request) {
    items[4] = str_or_none(r.host_header, uri.has_authority);
    items[5] = str_or_none(r.target, uri.has_authority);
    if (r.has_credentials) {
      std::string value = "Basic " + http::base64_encode(r.credentials);
      items[6] = str_from(value);
    } else {
      items[6] = Py_NewRef(Py_None);
    }
  }
  bool ok = true;
  for (Py_ssize_t i = 0; i < size; ++i) {
    ok &= items[i] != nullptr;
    if (items[i]) PyTuple_SET_ITEM(out.get(), i, items[i]);
  }
  return ok ? out.release() : nullptr;
}

PyObject* uri_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view text;
  PyObject* a = one_arg("uri_parts", "url", args, nargs, kwnames);
  if (!a || !text_of(a, "uri_parts", "url", text)) return nullptr;
  return url_tuple(text, false);
}

PyObject* request_url_parts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string_view text;
  PyObject* a = one_arg("request_url_parts", "url", args, nargs, kwnames);
  if (!a || !text_of(a, "request_url_parts", "url", text)) return nullptr;
  return url_tuple(text, true);
}

PyObject* split_target(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"target", "root_path"};
  static const ArgSignature sig{"split_target", names, 2, 2, 1};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  std::string_view target, root;
  if (!text_of(a[0], "split_target", "target", target)) return nullptr;
  if (a[1] && !text_of(a[1], "split_target", "root_path", root)) return nullptr;
  TargetObjects parts;
  if (!target_objects(a[0], target, root, parts)) return nullptr;
  return PyTuple_Pack(3, parts.path.get(), parts.raw_path.get(), parts.query.get());
}

}  // namespace

bool target_objects(PyObject* target_obj, std::string_view target, std::string_view root,
                    TargetObjects& out) {
  http::TargetParts parts = http::split_target(target);
  std::string_view raw = parts.raw_path;
  const bool escaped = raw.find('%') != std::string_view::npos;
  if (root.empty() && !escaped && raw.size() == target.size()) {
    out.path = Ref::borrow(target_obj);
  } else {
    std::string text(root);
    text += escaped ? http::percent_decode_text(raw) : std::string(raw);
    out.path = Ref::steal(str_from(text));
  }
  if (root.empty()) {
    out.raw_path = Ref::steal(bytes_from(raw));
  } else {
    out.raw_path =
        Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(root.size() + raw.size())));
    if (out.raw_path) {
      char* p = PyBytes_AS_STRING(out.raw_path.get());
      std::copy(root.begin(), root.end(), p);
      std::copy(raw.begin(), raw.end(), p + root.size());
    }
  }
  out.query = Ref::steal(bytes_from(parts.query));
  return out.path && out.raw_path && out.query;
}

PyMethodDef kUriPartsDef = {
    "uri_parts", FAST(uri_parts), FASTKW,
    "uri_parts(url)\n--\n\n"
    "Split a URL into (scheme, host, port, authority) for choosing and dialling a destination.\n\n"
    "port is the explicit port or the scheme's default; authority is host:port when the port is "
    "known. Raises ValueError for a URL that does not parse."};

PyMethodDef kRequestUrlPartsDef = {
    "request_url_parts", FAST(request_url_parts), FASTKW,
    "request_url_parts(url)\n--\n\n"
    "uri_parts(url) and what a request to it writes: (scheme, host, port, authority, "
    "host_header, target, authorization).\n\n"
    "host_header is the authority without userinfo, a bare \":\" or the scheme's default port "
    "dropped; target is the path and query (\"/\" first, fragment dropped); authorization is "
    "\"Basic ...\" for credentials in the URL (percent-decoded), else None. The last three are "
    "None without an authority. Raises ValueError for a URL that does not parse."};

PyMethodDef kSplitTargetDef = {
    "split_target", FAST(split_target), FASTKW,
    "split_target(target, root_path='')\n--\n\n"
    "(path, raw_path, query_string) of a request-target in any form, as applications see it: "
    "the path percent-decoded (ill-formed UTF-8 becomes U+FFFD), both paths after root_path. "
    "Absolute form keeps its path and query (\"/\" without a path), authority form has none."};

}  // namespace velmora::py
