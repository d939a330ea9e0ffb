#include "http/py_header_map.hpp"

#include <new>
#include <vector>

#include "http/chars.hpp"
#include "http/lock.hpp"
#include "http/py_errors.hpp"
#include "http/standard_headers.hpp"
#include "module/boundary.hpp"
#include "module/once.hpp"
#include "module/setup.hpp"

namespace velmora::py {
namespace {

struct HeaderMapObject {
  PyObject_HEAD Mutex lock;
  http::HeaderMap map;
};

constexpr const char kFullMessage[] =
    "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";

HeaderMapObject* as_map(PyObject* o) {
  return reinterpret_cast<HeaderMapObject*>(o);
}

bool is_header_map(PyObject* o) {
  return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(header_map_type());
}

bool utf8_of(PyObject* obj, std::string_view& out) {
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_IS_COMPACT_ASCII(obj)) {  // its characters are its UTF-8 bytes
      out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                             size_t(PyUnicode_GET_LENGTH(obj)));
      return true;
    }
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!p) return false;
    out = std::string_view(p, size_t(n));
    return true;
  }
  out = std::string_view(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj)));
  return true;
}

// Reports a failed insertion; true when the map took it.
bool check(http::HeaderMap::Result r) {
  switch (r) {
    case http::HeaderMap::Result::kOk:
      return true;
    case http::HeaderMap::Result::kFull:
      PyErr_SetString(PyExc_ValueError, kFullMessage);
      return false;
    case http::HeaderMap::Result::kTooLarge:
      break;
  }
  PyErr_SetString(PyExc_MemoryError, "header map storage exceeds its 2 GiB limit");
  return false;
}

PyObject* standard_names() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    Ref t = Ref::steal(PyTuple_New(http::kStandardHeaderCount));
    if (!t) return nullptr;
    for (int i = 0; i < http::kStandardHeaderCount; ++i) {
      std::string_view n = http::kStandardHeaders[i];
      PyObject* s = PyUnicode_FromStringAndSize(n.data(), Py_ssize_t(n.size()));
      if (!s) return nullptr;
      PyUnicode_InternInPlace(&s);
      PyTuple_SET_ITEM(t.get(), i, s);
    }
    return t.release();
  });
}

PyObject* bytes_of(std::string_view v) {
  return PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
}

PyObject* key_error(std::string_view lowered) {
  Ref key = Ref::steal(PyUnicode_FromStringAndSize(lowered.data(), Py_ssize_t(lowered.size())));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// Adds one (name, value) pair of Python objects to a map under construction.
bool add_pair(http::HeaderMap& map, PyObject* name, PyObject* value) {
  HeaderName n;
  std::string_view v;
  if (!n.convert(name) || !convert_header_value(value, v)) return false;
  return check(map.add(n.view(), v));
}

// Adds one item of an iterable: item[0] is the name, item[1] the value.
bool add_item(http::HeaderMap& map, PyObject* o) {
  if ((PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) >= 2) ||
      (PyList_CheckExact(o) && PyList_GET_SIZE(o) >= 2)) {
    // Converting str or bytes runs no Python code, so the borrowed items stay alive.
    return add_pair(map, PySequence_Fast_ITEMS(o)[0], PySequence_Fast_ITEMS(o)[1]);
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!zero || !one) return false;
  Ref name = Ref::steal(PyObject_GetItem(o, zero.get()));
  if (!name) return false;
  Ref value = Ref::steal(PyObject_GetItem(o, one.get()));
  if (!value) return false;
  return add_pair(map, name.get(), value.get());
}

// Byte length of a str or bytes name or value as stored (0 for anything else).
size_t stored_length(PyObject* f) {
  if (PyUnicode_Check(f) && PyUnicode_IS_COMPACT_ASCII(f)) return size_t(PyUnicode_GET_LENGTH(f));
  if (PyBytes_Check(f)) return size_t(PyBytes_GET_SIZE(f));
  return 0;
}

bool fill_from(http::HeaderMap& map, PyObject* init) {
  if (is_header_map(init)) {
    HeaderMapObject* src = as_map(init);
    LockGuard g(src->lock);
    map = src->map;
    return true;
  }
  // Containers whose size is known up front get their storage sized once.
  if (PyDict_Check(init)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    size_t bytes = 0;
    while (PyDict_Next(init, &pos, &k, &v))
      bytes += stored_length(k) + stored_length(v);
    map.reserve(size_t(PyDict_GET_SIZE(init)), bytes);
    pos = 0;
    while (PyDict_Next(init, &pos, &k, &v))
      if (!add_pair(map, k, v)) return false;
    return true;
  }
  if (PyList_CheckExact(init) || PyTuple_CheckExact(init)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(init);
    size_t bytes = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* o = PySequence_Fast_ITEMS(init)[i];
      if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) >= 2)
        bytes += stored_length(PyTuple_GET_ITEM(o, 0)) + stored_length(PyTuple_GET_ITEM(o, 1));
    }
    map.reserve(size_t(n), bytes);
    // Same order and semantics as iterating; the size is re-read on every step because an
    // item's __getitem__ could change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(init); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_ITEMS(init)[i]);
      if (!add_item(map, item.get())) return false;
    }
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(init));
  if (!it) return false;
  for (;;) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) return !PyErr_Occurred();
    if (!add_item(map, item.get())) return false;
  }
}

PyObject* alloc_map(PyTypeObject* type, http::HeaderMap&& map) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  HeaderMapObject* m = as_map(self);
  new (&m->lock) Mutex();
  new (&m->map) http::HeaderMap(std::move(map));
  return self;
}

PyObject* hm_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"init", nullptr};
  PyObject* init = Py_None;
  if (!kwds && PyTuple_GET_SIZE(args) <= 1) {
    if (PyTuple_GET_SIZE(args) == 1) init = PyTuple_GET_ITEM(args, 0);
  } else if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:HeaderMap", const_cast<char**>(kw),
                                          &init)) {
    return nullptr;
  }
  http::HeaderMap map;
  if (init != Py_None && !fill_from(map, init)) return nullptr;
  return alloc_map(type, std::move(map));
}

void hm_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  HeaderMapObject* m = as_map(self);
  m->map.~HeaderMap();
  m->lock.~Mutex();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// Listings build their leaf objects (str and bytes) under the lock: those are not tracked by
// the cyclic collector, so no finalizer can run and re-enter the map. Lists and tuples are
// built after the lock is released.
enum class Listing { kKeys, kValues, kItems, kRawItems };

struct Leaves {
  std::vector<PyObject*> names;                        // one per entry (items) or per key
  std::vector<std::pair<uint32_t, PyObject*>> values;  // (index into names, value)
  ~Leaves() {
    for (PyObject* o : names)
      Py_XDECREF(o);
    for (auto& p : values)
      Py_XDECREF(p.second);
  }
};

bool snapshot(HeaderMapObject* m, Listing kind, Leaves& out) {
  LockGuard g(m->lock);
  const http::HeaderMap& map = m->map;
  const bool names = kind != Listing::kValues;
  const bool values = kind != Listing::kKeys;
  if (names) out.names.reserve(map.name_count());
  if (values) out.values.reserve(map.size());
  bool ok = true;
  for (uint32_t i = 0; i < map.name_count() && ok; ++i) {
    if (names) {
      PyObject* n;
      if (kind == Listing::kRawItems) {
        n = bytes_of(map.name(i));
      } else {
        n = header_name_str(map, i);
      }
      if (!n) return false;
      out.names.push_back(n);
    }
    if (!values) continue;
    map.for_each_value(i, [&](std::string_view v) {
      if (!ok) return;
      PyObject* b = bytes_of(v);
      if (!b)
        ok = false;
      else
        out.values.emplace_back(i, b);
    });
  }
  return ok;
}

PyObject* list_of(std::vector<PyObject*>& objs) {
  PyObject* list = PyList_New(Py_ssize_t(objs.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < objs.size(); ++i) {
    PyList_SET_ITEM(list, Py_ssize_t(i), objs[i]);
    objs[i] = nullptr;
  }
  return list;
}

PyObject* listing(PyObject* self, Listing kind) {
  Leaves leaves;
  if (!snapshot(as_map(self), kind, leaves)) return nullptr;
  if (kind == Listing::kKeys) return list_of(leaves.names);
  if (kind == Listing::kValues) {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(leaves.values.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < leaves.values.size(); ++i) {
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), leaves.values[i].second);
      leaves.values[i].second = nullptr;
    }
    return list.release();
  }
  Ref list = Ref::steal(PyList_New(Py_ssize_t(leaves.values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < leaves.values.size(); ++i) {
    PyObject* t = PyTuple_New(2);
    if (!t) return nullptr;
    PyObject* n = leaves.names[leaves.values[i].first];
    Py_INCREF(n);
    PyTuple_SET_ITEM(t, 0, n);
    PyTuple_SET_ITEM(t, 1, leaves.values[i].second);
    leaves.values[i].second = nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), t);
  }
  return list.release();
}

PyObject* hm_keys(PyObject* self, PyObject*) {
  return listing(self, Listing::kKeys);
}
PyObject* hm_values(PyObject* self, PyObject*) {
  return listing(self, Listing::kValues);
}
PyObject* hm_items(PyObject* self, PyObject*) {
  return listing(self, Listing::kItems);
}
PyObject* hm_raw_items(PyObject* self, PyObject*) {
  return listing(self, Listing::kRawItems);
}

PyObject* hm_iter(PyObject* self) {
  Ref keys = Ref::steal(listing(self, Listing::kKeys));
  return keys ? PyObject_GetIter(keys.get()) : nullptr;
}

PyObject* hm_repr(PyObject* self) {
  Ref items = Ref::steal(listing(self, Listing::kItems));
  if (!items) return nullptr;
  return PyUnicode_FromFormat("HeaderMap(%R)", items.get());
}

// Looks `name` up and returns its first value as bytes, or null without an error set when it is
// absent.
PyObject* first_value(HeaderMapObject* m, std::string_view name) {
  LockGuard g(m->lock);
  int32_t pos = m->map.find(name);
  if (pos < 0) return nullptr;
  return bytes_of(m->map.first_value(uint32_t(pos)));
}

PyObject* hm_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "default"};
  static const ArgSignature sig{"get", names, 2, 2, 1};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  HeaderName n;
  if (!n.convert(a[0])) return nullptr;
  PyObject* v = first_value(as_map(self), n.view());
  if (v || PyErr_Occurred()) return v;
  return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* hm_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const ArgSignature sig{"get_all", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  HeaderName n;
  if (!n.convert(a[0])) return nullptr;
  HeaderMapObject* m = as_map(self);
  std::vector<PyObject*> values;
  bool ok = true;
  {
    LockGuard g(m->lock);
    int32_t pos = m->map.find(n.view());
    if (pos >= 0) {
      values.reserve(m->map.value_count(uint32_t(pos)));
      m->map.for_each_value(uint32_t(pos), [&](std::string_view v) {
        if (!ok) return;
        PyObject* b = bytes_of(v);
        if (!b)
          ok = false;
        else
          values.push_back(b);
      });
    }
  }
  if (!ok) {
    for (PyObject* o : values)
      Py_DECREF(o);
    return nullptr;
  }
  PyObject* list = list_of(values);
  if (!list)
    for (PyObject* o : values)
      Py_XDECREF(o);
  return list;
}

PyObject* hm_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "value"};
  static const ArgSignature sig{"add", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  HeaderName n;
  std::string_view v;
  if (!n.convert(a[0]) || !convert_header_value(a[1], v)) return nullptr;
  HeaderMapObject* m = as_map(self);
  http::HeaderMap::Result r;
  {
    LockGuard g(m->lock);
    r = m->map.add(n.view(), v);
  }
  if (!check(r)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* hm_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"name", "value"};
  static const ArgSignature sig{"setdefault", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  HeaderName n;
  if (!n.convert(a[0])) return nullptr;
  HeaderMapObject* m = as_map(self);
  std::string_view v;
  {
    LockGuard g(m->lock);
    int32_t pos = m->map.find(n.view());
    if (pos >= 0) return bytes_of(m->map.first_value(uint32_t(pos)));
    // Converting a str or bytes runs no Python code, so it is safe under the lock.
    if (!convert_header_value(a[1], v)) return nullptr;
    http::HeaderMap::Result r = m->map.reserve_one();
    if (r == http::HeaderMap::Result::kOk) r = m->map.append_entry(n.view(), v);
    if (!check(r)) return nullptr;
  }
  return bytes_of(v);
}

Py_ssize_t hm_length(PyObject* self) {
  HeaderMapObject* m = as_map(self);
  LockGuard g(m->lock);
  return Py_ssize_t(m->map.size());
}

PyObject* hm_subscript(PyObject* self, PyObject* key) {
  HeaderName n;
  if (!n.convert(key)) return nullptr;
  PyObject* v = first_value(as_map(self), n.view());
  if (v || PyErr_Occurred()) return v;
  return key_error(n.view());
}

int hm_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  HeaderName n;
  if (!n.convert(key)) return -1;
  HeaderMapObject* m = as_map(self);
  if (!value) {
    bool found;
    {
      LockGuard g(m->lock);
      found = m->map.erase(n.view());
    }
    if (!found) {
      key_error(n.view());
      return -1;
    }
    return 0;
  }
  std::string_view v;
  if (!convert_header_value(value, v)) return -1;
  http::HeaderMap::Result r;
  {
    LockGuard g(m->lock);
    r = m->map.set(n.view(), v);
  }
  return check(r) ? 0 : -1;
}

int hm_contains(PyObject* self, PyObject* key) {
  HeaderName n;
  if (!n.convert(key)) {
    PyErr_Clear();
    return 0;
  }
  HeaderMapObject* m = as_map(self);
  LockGuard g(m->lock);
  return m->map.find(n.view()) >= 0;
}

PyObject* hm_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  if (op == Py_NE) {
    int eq = PyObject_RichCompareBool(self, other, Py_EQ);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(!eq);
  }
  if (!is_header_map(other)) Py_RETURN_FALSE;
  if (self == other) Py_RETURN_TRUE;
  HeaderMapObject* a = as_map(self);
  HeaderMapObject* b = as_map(other);
  bool equal;
  {
    PairGuard g(a->lock, b->lock);
    equal = a->map.equals(b->map);
  }
  return PyBool_FromLong(equal);
}

#define SIG_DOC(sig, text) sig "\n--\n\n" text

PyMethodDef kMethods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hm_get)),
     METH_FASTCALL | METH_KEYWORDS,
     SIG_DOC("get($self, name, default=None)",
             "Return the first value of name as bytes, or default when it is absent.")},
    {"get_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hm_get_all)),
     METH_FASTCALL | METH_KEYWORDS,
     SIG_DOC("get_all($self, name)",
             "Return every value of name in order (an empty list if absent).")},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hm_add)),
     METH_FASTCALL | METH_KEYWORDS,
     SIG_DOC("add($self, name, value)", "Append value under name, keeping existing values.")},
    {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(hm_setdefault)),
     METH_FASTCALL | METH_KEYWORDS,
     SIG_DOC("setdefault($self, name, value)",
             "Return the first value of name; if absent, append value and return it as bytes.")},
    {"keys", hm_keys, METH_NOARGS,
     SIG_DOC("keys($self)", "Return the distinct names, lower case, in first-insertion order.")},
    {"values", hm_values, METH_NOARGS,
     SIG_DOC("values($self)", "Return every value in listing order, duplicates included.")},
    {"items", hm_items, METH_NOARGS,
     SIG_DOC("items($self)",
             "Return every (name, value) pair; each name is followed by all of its values.")},
    {"raw_items", hm_raw_items, METH_NOARGS,
     SIG_DOC("raw_items($self)", "Return every pair as (bytes, bytes), in the order of items().")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hm_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hm_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(hm_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_iter, reinterpret_cast<void*>(hm_iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(hm_richcompare)},
    {Py_tp_methods, kMethods},
    {Py_mp_length, reinterpret_cast<void*>(hm_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(hm_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(hm_ass_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(hm_contains)},
    {Py_tp_doc, const_cast<char*>(SIG_DOC(
                    "HeaderMap(init=None)",
                    "Ordered, case-insensitive, multi-valued HTTP header collection.\n\n"
                    "Names are lower-case str, values bytes; init may be a HeaderMap, a dict or "
                    "an iterable of (name, value) pairs."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.HeaderMap",
    sizeof(HeaderMapObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* header_map_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    // The interned standard names are made first: listings use them under the map's lock.
    if (!standard_names()) return nullptr;
    return make_type(&kSpec);
  });
}

PyObject* header_map_new(http::HeaderMap&& map) {
  PyObject* type = header_map_type();
  if (!type) return nullptr;
  return alloc_map(reinterpret_cast<PyTypeObject*>(type), std::move(map));
}

bool header_map_arg(PyObject* obj, const char* function, const char* arg, bool allow_none,
                    http::HeaderMap& out) {
  if (obj == Py_None && allow_none) {
    out = http::HeaderMap();
    return true;
  }
  if (!is_header_map(obj)) {
    raise_arg_type(function, arg, "HeaderMap", obj);
    return false;
  }
  HeaderMapObject* m = as_map(obj);
  LockGuard g(m->lock);
  out = m->map;
  return true;
}

bool HeaderName::convert(PyObject* obj) {
  if (!PyUnicode_Check(obj) && !PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "header name must be str or bytes");
    return false;
  }
  std::string_view raw;
  if (!utf8_of(obj, raw)) return false;
  char* out = small_;
  if (raw.size() > sizeof(small_)) {
    large_.resize(raw.size());
    out = large_.data();
  }
  if (!http::lower_field_name(raw, out)) {
    PyErr_SetString(PyExc_ValueError, "invalid header name: invalid HTTP header name");
    return false;
  }
  view_ = std::string_view(out, raw.size());
  return true;
}

bool convert_header_value(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj) && !PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "header value must be str or bytes");
    return false;
  }
  if (!utf8_of(obj, out)) return false;
  if (!http::is_valid_field_value(out)) {
    PyErr_SetString(PyExc_ValueError, "invalid header value: failed to parse header value");
    return false;
  }
  return true;
}

PyObject* header_name_str(const http::HeaderMap& map, uint32_t entry) {
  int id = map.standard_id(entry);
  if (id >= 0) {
    PyObject* names = standard_names();
    if (!names) return nullptr;
    return Py_NewRef(PyTuple_GET_ITEM(names, id));
  }
  std::string_view n = map.name(entry);
  return PyUnicode_DecodeASCII(n.data(), Py_ssize_t(n.size()), nullptr);
}

}  // namespace velmora::py

namespace velmora::py {

int setup_header_map(PyObject* m) {
  return add_to_module(m, "HeaderMap", header_map_type());
}

}  // namespace velmora::py
