#include "http/date.hpp"

#include "python/py_functions.hpp"
#include "python/boundary.hpp"

namespace velmora::py {
namespace {

PyObject* http_date(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("http_date", nargs, kwnames)) return nullptr;
  std::string_view v = http::cached_http_date();
  return PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
}

}  // namespace

PyMethodDef kHttpDateDef = {
    "http_date", FAST(http_date), FASTKW,
    "http_date()\n--\n\n"
    "Return the current Date header value (IMF-fixdate, 29 bytes), cached per second per "
    "thread."};

}  // namespace velmora::py
