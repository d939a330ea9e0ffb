#include "python/py_header_map.hpp"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "http/chars.hpp"
#include "http/hash.hpp"
#include "python/py_errors.hpp"
#include "http/standard_headers.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

// The collection, and the Python objects read from it: per entry the name as `str` ([0, n)),
// the first value as `bytes` ([n, 2n)) and the (name, first value) tuple of items() ([2n, 3n)),
// kept from the map's fourth read on and handed out again by later reads (a str, bytes or tuple
// of them never changes, so readers may share one). A map read a few times, as a parsed head
// usually is (a router's lookups, one listing), keeps nothing. Any change of the collection drops
// the cache whole (the references are released after the lock, like every object dropped by a
// locked operation).
struct MapState {
  MapState() = default;
  explicit MapState(http::HeaderMap&& m) : map(std::move(m)) {}
  http::HeaderMap map;
  std::vector<Ref> cache;
  // With the cache, the entry position of each standard name looked up by id: 0 not looked up
  // yet, kAbsent absent, otherwise the position + 1 (positions past 253 are not kept).
  std::unique_ptr<uint8_t[]> std_pos;
  uint8_t reads = 0;     // reads before the cache was made (up to kFreeReads)
  uint64_t changes = 0;  // counts the changes of the collection
  static constexpr uint8_t kAbsent = 255;
  static constexpr uint8_t kFreeReads = 3;  // reads that keep nothing

  // Drops the cache (into `drops`, released after the lock) when the collection changes.
  void forget(std::vector<Ref>& drops) {
    drops.swap(cache);
    std_pos.reset();
    ++changes;
  }
};
using LockedMap = Locked<MapState>;

constexpr const char kFullMessage[] =
    "header map is full (http::HeaderMap MAX_SIZE, 32768 entries)";

LockedMap& map_of(PyObject* o) {
  return unbox<LockedMap>(o);
}

// Runs f(map) on the collection under its lock, for a read that does not use the cache.
template <class F>
auto reading(PyObject* o, F&& f) {
  return map_of(o).with([&](MapState& s) { return f(std::as_const(s.map)); });
}

// Runs f(map) under the lock for an operation that may change the collection; the cache is
// moved to `drops`, which the caller declares before the call and so releases after the lock.
template <class F>
auto changing(PyObject* o, std::vector<Ref>& drops, F&& f) {
  return map_of(o).with([&](MapState& s) {
    s.forget(drops);
    return f(s.map);
  });
}

// Whether the read under way keeps the objects it makes in the cache (from the fourth read on).
bool keeps(MapState& s) {
  if (!s.cache.empty() || s.reads == MapState::kFreeReads) return true;
  ++s.reads;
  return false;
}

enum class Cached { kName, kValue, kItem };

// The cache slot of entry `i`'s name, first value or item tuple, sized on first use.
Ref& cache_slot(MapState& s, uint32_t i, Cached what) {
  const uint32_t n = s.map.name_count();
  if (s.cache.empty()) s.cache.resize(size_t(n) * 3);
  return s.cache[size_t(n) * uint32_t(what) + i];
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

// The interned standard-name objects by address: a name passed as one of them (every literal
// like "host" in Python code is that very object) finds its standard id by one identity probe,
// without encoding, case-folding or hashing its characters. Filled once, before any HeaderMap
// exists, and read-only afterwards.
struct InternedIds {
  static constexpr uint32_t kSlots = 256;  // > 3 x kStandardHeaderCount
  PyObject* key[kSlots] = {};
  int8_t id[kSlots] = {};

  static uint32_t first(PyObject* o) { return (uint32_t(uintptr_t(o) >> 4) * 0x9E3779B1u) >> 24; }
  void put(PyObject* o, int i) {
    uint32_t k = first(o);
    while (key[k] && key[k] != o)
      k = (k + 1) & (kSlots - 1);
    key[k] = o;
    id[k] = int8_t(i);
  }
  int find(PyObject* o) const {
    for (uint32_t k = first(o);; k = (k + 1) & (kSlots - 1)) {
      if (key[k] == o) return id[k];
      if (!key[k]) return -1;
    }
  }
};
static_assert(http::kStandardHeaderCount < 128 &&
              InternedIds::kSlots > 3 * http::kStandardHeaderCount);

InternedIds interned_ids;

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
    // The tuple keeps every name alive for the life of the process, so an address stays theirs.
    for (int i = 0; i < http::kStandardHeaderCount; ++i)
      interned_ids.put(PyTuple_GET_ITEM(t.get(), i), i);
    return t.release();
  });
}

// Other `str` or `bytes` objects recently found to spell a standard name ("Accept", a
// lower-case name that is not the interned object, b"content-type" in an application's
// response fields), by address. A slot holds a reference to its object, so the address cannot
// be reused by another object while it is cached; a str or bytes object never changes, so the
// id stays right. Only touched with the interpreter lock held and outside any map lock (a
// replaced string is released here).
struct RecentNames {
  static constexpr uint32_t kSlots = 64;
  Ref key[kSlots];
  int8_t id[kSlots] = {};

  static uint32_t slot_of(PyObject* o) { return (uint32_t(uintptr_t(o) >> 4) * 0x9E3779B1u) >> 26; }
  int find(PyObject* o) const {
    const uint32_t k = slot_of(o);
    return key[k].get() == o ? id[k] : -1;
  }
  void put(PyObject* o, int i) {
    const uint32_t k = slot_of(o);
    Ref old = std::move(key[k]);
    key[k] = Ref::borrow(o);
    id[k] = int8_t(i);
  }
};

// Made when the library loads (no first-use check on every lookup); lives as long as the
// process, like the names.
RecentNames* const kRecentNames = new RecentNames;

RecentNames* recent_names() {
  return kRecentNames;
}

// A name argument of a lookup: the standard id when `obj` is a standard name met before as this
// very object (the interned names, or a str object seen by an earlier lookup), otherwise the
// converted name. Any other spelling (a str subclass, bytes, an equal but distinct str, a case
// variant) takes the general path and finds the same entry.
class LookupName {
 public:
  // Returns false with TypeError/ValueError/UnicodeEncodeError set.
  bool convert(PyObject* obj) {
    id_ = interned_ids.find(obj);
    if (id_ >= 0) return true;
    const bool exact = PyUnicode_CheckExact(obj) || PyBytes_CheckExact(obj);
    if (exact) {
      id_ = recent_names()->find(obj);
      if (id_ >= 0) return true;
    }
    if (!name_.convert(obj)) return false;
    hash_ = http::fast_hash(name_.view());
    id_ = http::find_standard_header(name_.view(), hash_);
    if (id_ >= 0 && exact) recent_names()->put(obj, id_);
    return true;
  }
  int id() const { return id_; }
  int32_t find(const http::HeaderMap& map) const {
    if (id_ >= 0) return map.find_standard(id_);
    return map.keyed() ? map.find(name_.view()) : map.find_hashed(name_.view(), hash_);
  }
  std::string_view view() const { return id_ >= 0 ? http::kStandardHeaders[id_] : name_.view(); }
  http::HeaderMap::Result add(http::HeaderMap& map, std::string_view value) const {
    if (id_ >= 0) return map.add_standard(id_, value);
    return map.add_known(name_.view(), hash_, -1, value);
  }

 private:
  int id_ = -1;
  uint32_t hash_ = 0;  // fast_hash of the converted name
  HeaderName name_;
};

PyObject* key_error(std::string_view lowered) {
  Ref key = Ref::steal(PyUnicode_FromStringAndSize(lowered.data(), Py_ssize_t(lowered.size())));
  if (key) PyErr_SetObject(PyExc_KeyError, key.get());
  return nullptr;
}

// Adds one (name, value) pair of Python objects to a map under construction.
bool add_pair(http::HeaderMap& map, PyObject* name, PyObject* value) {
  LookupName n;
  std::string_view v;
  if (!n.convert(name) || !convert_header_value(value, v)) return false;
  return check(n.add(map, v));
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

// The name and value bytes a pair is guessed to hold, when a map is sized for a list of pairs.
constexpr size_t kBytesPerPair = 32;

bool fill_from(http::HeaderMap& map, PyObject* init) {
  if (is_header_map(init)) {
    reading(init, [&](const http::HeaderMap& src) { map = src; });
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
    // Sized for the pairs up front, with a guess at their bytes (the storage grows by doubling
    // past it): counting them exactly costs a pass over every pair.
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(init);
    map.reserve(size_t(n), size_t(n) * kBytesPerPair);
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
  return box_new<LockedMap>(type, std::move(map));
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

// HeaderMap(...) by vectorcall: HeaderMap() and HeaderMap(init) make the map without an argument
// tuple or the initialiser call; any other call takes the tuple-and-dict path of hm_new, so its
// errors read the same.
PyObject* hm_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  if (nargs <= 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
    http::HeaderMap map;
    if (nargs == 1 && args[0] != Py_None && !fill_from(map, args[0])) return nullptr;
    return alloc_map(tp, std::move(map));
  }
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i)
    PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwds;
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    kwds = Ref::steal(PyDict_New());
    if (!kwds) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
      if (PyDict_SetItem(kwds.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
        return nullptr;
  }
  return hm_new(tp, tuple.get(), kwds.get());
}

// Listings build their leaf objects (str and bytes) under the lock: those are not tracked by
// the cyclic collector, so no finalizer can run and re-enter the map. Lists and tuples are
// built after the lock is released.
enum class Listing { kKeys, kValues, kItems, kRawItems };

// An array of `n` elements, left uninitialised, on the stack when `n` <= N (every ordinary
// head).
template <class T, size_t N>
class SmallArray {
 public:
  void resize(size_t n) {
    if (n > N) {
      heap_.reset(new T[n]);
      data_ = heap_.get();
    }
  }
  T& operator[](size_t i) { return data_[i]; }

 private:
  T stack_[N];
  std::unique_ptr<T[]> heap_;
  T* data_ = stack_;
};

// The leaves of a listing as new references: names[0, name_count) and
// values[value_from, value_count) are owned; the listing moves them into its result and
// advances the counts, and whatever is left is released (after the lock) by the destructor.
struct Leaves {
  static constexpr size_t kStack = 32;
  SmallArray<PyObject*, kStack> names;   // one per entry
  SmallArray<PyObject*, kStack> values;  // one per value, in listing order
  // The entry of each value, with kFirst for an entry's first value and kTuple when `values`
  // holds the entry's kept item tuple instead of the value (items() of a map read often).
  SmallArray<uint32_t, kStack> owner;
  static constexpr uint32_t kFirst = 1u << 31, kTuple = 1u << 30, kEntry = kTuple - 1;
  uint32_t name_count = 0;
  uint32_t value_from = 0;
  uint32_t value_count = 0;
  bool keep = false;     // the map keeps what this listing makes
  uint64_t changes = 0;  // the map's change count at the snapshot

  Leaves() = default;
  Leaves(const Leaves&) = delete;
  Leaves& operator=(const Leaves&) = delete;
  ~Leaves() {
    for (uint32_t i = 0; i < name_count; ++i)
      Py_DECREF(names[i]);
    for (uint32_t i = value_from; i < value_count; ++i)
      Py_DECREF(values[i]);
  }
};

// One bytes object per standard name, shared by every raw listing (made once, before any lock).
PyObject* standard_name_bytes() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    Ref t = Ref::steal(PyTuple_New(http::kStandardHeaderCount));
    if (!t) return nullptr;
    for (int i = 0; i < http::kStandardHeaderCount; ++i) {
      PyObject* b = bytes_from(http::kStandardHeaders[i]);
      if (!b) return nullptr;
      PyTuple_SET_ITEM(t.get(), i, b);
    }
    return t.release();
  });
}

// A new reference to the cached object in `slot`, made by `make` when the slot is empty.
template <class F>
PyObject* cached(Ref& slot, F&& make) {
  if (!slot) {
    slot = Ref::steal(make());
    if (!slot) return nullptr;
  }
  return Py_NewRef(slot.get());
}

// False when a leaf could not be made (MemoryError is set; raised once the lock is released).
// `std_bytes` is standard_name_bytes() for a raw listing (whose names are never cached).
bool snapshot_locked(MapState& s, Listing kind, PyObject* std_bytes, Leaves& out) {
  const http::HeaderMap& map = s.map;
  const bool names = kind != Listing::kValues;
  const bool values = kind != Listing::kKeys;
  const bool fill = keeps(s);
  out.keep = fill;
  out.changes = s.changes;
  if (names) out.names.resize(map.name_count());
  if (values) {
    out.values.resize(map.size());
    out.owner.resize(map.size());
  }
  for (uint32_t i = 0; i < map.name_count(); ++i) {
    if (names) {
      PyObject* n;
      if (kind != Listing::kRawItems) {
        n = fill ? cached(cache_slot(s, i, Cached::kName), [&] { return header_name_str(map, i); })
                 : header_name_str(map, i);
      } else if (const int id = map.standard_id(i); id >= 0) {
        n = Py_NewRef(PyTuple_GET_ITEM(std_bytes, id));
      } else {
        n = bytes_from(map.name(i));
      }
      if (!n) return false;
      out.names[out.name_count++] = n;
    }
    if (!values) continue;
    bool first = true;
    bool ok = true;
    map.for_each_value(i, [&](std::string_view v) {
      if (!ok) return;
      uint32_t owner = first ? i | Leaves::kFirst : i;
      PyObject* b;
      if (first && fill && kind == Listing::kItems && cache_slot(s, i, Cached::kItem)) {
        b = Py_NewRef(cache_slot(s, i, Cached::kItem).get());
        owner |= Leaves::kTuple;
      } else if (first && fill) {
        b = cached(cache_slot(s, i, Cached::kValue), [&] { return bytes_from(v); });
      } else {
        b = bytes_from(v);
      }
      first = false;
      if (!b) {
        ok = false;
        return;
      }
      out.owner[out.value_count] = owner;
      out.values[out.value_count++] = b;
    });
    if (!ok) return false;
  }
  return true;
}

// A list that takes the references out of `objs`.
PyObject* list_of(std::vector<Ref>& objs) {
  PyObject* list = PyList_New(Py_ssize_t(objs.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < objs.size(); ++i)
    PyList_SET_ITEM(list, Py_ssize_t(i), objs[i].release());
  return list;
}

PyObject* listing(PyObject* self, Listing kind) {
  PyObject* std_bytes = nullptr;
  if (kind == Listing::kRawItems && !(std_bytes = standard_name_bytes())) return nullptr;
  Leaves leaves;
  if (!map_of(self).with([&](MapState& s) { return snapshot_locked(s, kind, std_bytes, leaves); }))
    return nullptr;
  if (kind == Listing::kKeys) {
    PyObject* list = PyList_New(Py_ssize_t(leaves.name_count));
    if (!list) return nullptr;
    for (uint32_t i = 0; i < leaves.name_count; ++i)
      PyList_SET_ITEM(list, Py_ssize_t(i), leaves.names[i]);
    leaves.name_count = 0;
    return list;
  }
  const uint32_t n = leaves.value_count;
  Ref list = Ref::steal(PyList_New(Py_ssize_t(n)));
  if (!list) return nullptr;
  // items() of a map read often keeps the tuples it makes for first values: the map hands
  // them out again (a tuple of a str and a bytes never changes, and holds nothing that could
  // form a cycle, so it is left untracked by the collector).
  const bool keep_items = kind == Listing::kItems && leaves.keep;
  uint32_t made = 0;
  for (uint32_t i = 0; i < n; ++i) {
    PyObject* item = leaves.values[i];
    const uint32_t owner = leaves.owner[i];
    if (kind != Listing::kValues && !(owner & Leaves::kTuple)) {
      PyObject* t = PyTuple_New(2);
      if (!t) return nullptr;
      PyTuple_SET_ITEM(t, 0, Py_NewRef(leaves.names[owner & Leaves::kEntry]));
      PyTuple_SET_ITEM(t, 1, item);
      item = t;
      if (keep_items && (owner & Leaves::kFirst)) {
        PyObject_GC_UnTrack(t);
        leaves.owner[made] = owner & Leaves::kEntry;  // owner entries before i are spent
        leaves.values[made++] = t;                    // a borrowed reference (the list holds it)
      }
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    leaves.value_from = i + 1;
  }
  if (made) {
    map_of(self).with([&](MapState& s) {
      if (s.changes != leaves.changes || s.cache.empty()) return;  // changed in between
      for (uint32_t k = 0; k < made; ++k) {
        Ref& slot = cache_slot(s, leaves.owner[k], Cached::kItem);
        if (!slot) slot = Ref::borrow(leaves.values[k]);
      }
    });
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

}  // namespace

PyObject* header_map_raw_items(PyObject* map) {
  return listing(map, Listing::kRawItems);
}

bool header_map_has(PyObject* map, std::string_view name) {
  return reading(map, [&](const http::HeaderMap& m) { return m.find(name) >= 0; });
}

namespace {

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
// absent. From the map's fourth read on, the bytes object is kept in the cache and later
// lookups hand out the same object.
PyObject* first_value(PyObject* self, const LookupName& name) {
  return map_of(self).with([&](MapState& s) -> PyObject* {
    const bool keep = keeps(s);
    int32_t pos;
    if (keep && name.id() >= 0) {
      // A standard name on a map read often: its position is kept, no probe.
      if (!s.std_pos) s.std_pos.reset(new uint8_t[http::kStandardHeaderCount]());
      uint8_t& known = s.std_pos[name.id()];
      if (known == MapState::kAbsent) return nullptr;
      if (known) {
        pos = known - 1;
      } else {
        pos = s.map.find_standard(name.id());
        if (pos < 0)
          known = MapState::kAbsent;
        else if (pos < MapState::kAbsent - 1)
          known = uint8_t(pos + 1);
      }
    } else {
      pos = name.find(s.map);
    }
    if (pos < 0) return nullptr;
    if (!keep) return bytes_from(s.map.first_value(uint32_t(pos)));
    return cached(cache_slot(s, uint32_t(pos), Cached::kValue),
                  [&] { return bytes_from(s.map.first_value(uint32_t(pos))); });
  });
}

PyObject* hm_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "default"};
  static const ArgSignature sig{"get", names, 2, 2, 1};
  PyObject* a[2] = {nullptr, nullptr};
  if (nargs == 1 && !kwnames) {  // get(name), the common call
    a[0] = args[0];
  } else if (!parse_args(sig, args, nargs, kwnames, a)) {
    return nullptr;
  }
  LookupName n;
  if (!n.convert(a[0])) return nullptr;
  PyObject* v = first_value(self, n);
  if (v || PyErr_Occurred()) return v;
  return Py_NewRef(a[1] ? a[1] : Py_None);
}

PyObject* hm_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const ArgSignature sig{"get_all", names, 1, 1, 1};
  PyObject* a[1];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  LookupName n;
  if (!n.convert(a[0])) return nullptr;
  std::vector<Ref> values;
  const bool ok = reading(self, [&](const http::HeaderMap& map) {
    int32_t pos = n.find(map);
    if (pos < 0) return true;
    values.reserve(map.value_count(uint32_t(pos)));
    bool made = true;
    map.for_each_value(uint32_t(pos), [&](std::string_view v) {
      if (!made) return;
      Ref b = Ref::steal(bytes_from(v));
      if (!b)
        made = false;
      else
        values.push_back(std::move(b));
    });
    return made;
  });
  if (!ok) return nullptr;
  return list_of(values);
}

PyObject* hm_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name", "value"};
  static const ArgSignature sig{"add", names, 2, 2, 2};
  PyObject* a[2];
  if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
  LookupName n;
  std::string_view v;
  if (!n.convert(a[0]) || !convert_header_value(a[1], v)) return nullptr;
  std::vector<Ref> drops;
  http::HeaderMap::Result r =
      changing(self, drops, [&](http::HeaderMap& map) { return n.add(map, v); });
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
  // The value is converted before the lock is taken. Its failure matters only when the name is
  // absent: it is kept as a value (the exception object, when conversion had to raise one) and
  // raised after the lock is released.
  std::string_view v;
  DeferredError value_error;
  const bool value_ok = value_error.run(convert_header_value(a[1], v));
  struct Outcome {
    bool found = false;
    Ref existing;  // the first value, when found (null: it could not be made)
    http::HeaderMap::Result result = http::HeaderMap::Result::kOk;
  };
  std::vector<Ref> drops;
  Outcome r = map_of(self).with([&](MapState& s) {
    Outcome out;
    http::HeaderMap& map = s.map;
    int32_t pos = map.find(n.view());
    if (pos >= 0) {
      out.found = true;
      out.existing = Ref::steal(bytes_from(map.first_value(uint32_t(pos))));
      return out;
    }
    if (!value_ok) return out;
    s.forget(drops);
    out.result = map.reserve_one();
    if (out.result == http::HeaderMap::Result::kOk) out.result = map.append_entry(n.view(), v);
    return out;
  });
  if (r.found) return r.existing.release();  // null with MemoryError set when it failed
  if (!value_ok) return value_error.raise();
  if (!check(r.result)) return nullptr;
  return bytes_from(v);
}

Py_ssize_t hm_length(PyObject* self) {
  return Py_ssize_t(reading(self, [](const http::HeaderMap& map) { return map.size(); }));
}

PyObject* hm_subscript(PyObject* self, PyObject* key) {
  LookupName n;
  if (!n.convert(key)) return nullptr;
  PyObject* v = first_value(self, n);
  if (v || PyErr_Occurred()) return v;
  return key_error(n.view());
}

int hm_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  HeaderName n;
  if (!n.convert(key)) return -1;
  std::vector<Ref> drops;
  if (!value) {
    const bool found =
        changing(self, drops, [&](http::HeaderMap& map) { return map.erase(n.view()); });
    if (!found) {
      key_error(n.view());
      return -1;
    }
    return 0;
  }
  std::string_view v;
  if (!convert_header_value(value, v)) return -1;
  http::HeaderMap::Result r =
      changing(self, drops, [&](http::HeaderMap& map) { return map.set(n.view(), v); });
  return check(r) ? 0 : -1;
}

int hm_contains(PyObject* self, PyObject* key) {
  LookupName n;
  if (!n.convert(key)) {
    PyErr_Clear();
    return 0;
  }
  return reading(self, [&](const http::HeaderMap& map) { return n.find(map) >= 0; });
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
  const bool equal = with_both(map_of(self), map_of(other),
                               [](MapState& a, MapState& b) { return a.map.equals(b.map); });
  return PyBool_FromLong(equal);
}

PyMethodDef kMethods[] = {
    {"get", FAST(hm_get), FASTKW,
     SIG_DOC("get($self, name, default=None)",
             "Return the first value of name as bytes, or default when it is absent.")},
    {"get_all", FAST(hm_get_all), FASTKW,
     SIG_DOC("get_all($self, name)",
             "Return every value of name in order (an empty list if absent).")},
    {"add", FAST(hm_add), FASTKW,
     SIG_DOC("add($self, name, value)", "Append value under name, keeping existing values.")},
    {"setdefault", FAST(hm_setdefault), FASTKW,
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<LockedMap>)},
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
    sizeof(Box<LockedMap>),
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
    PyObject* type = make_type(&kSpec);
    // Calls of the class skip the argument tuple (PyType_Spec has no slot for tp_vectorcall).
    if (type) reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = hm_vectorcall;
    return type;
  });
}

PyObject* header_map_new(http::HeaderMap&& map) {
  PyObject* type = header_map_type();
  if (!type) return nullptr;
  return alloc_map(reinterpret_cast<PyTypeObject*>(type), std::move(map));
}

bool header_map_fill(http::HeaderMap& out, PyObject* init) {
  return fill_from(out, init);
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
  reading(obj, [&](const http::HeaderMap& map) { out = map; });
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
