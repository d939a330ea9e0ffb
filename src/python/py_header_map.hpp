// The Python HeaderMap class and the header-map argument rule every other binding uses.
#pragma once

#include "python/pyref.hpp"
#include "http/header_map.hpp"

namespace velmora::py {

// The HeaderMap class object (borrowed; created on first need).
PyObject* header_map_type();

// A new HeaderMap object that owns `map`.
PyObject* header_map_new(http::HeaderMap&& map);

// HeaderMap.raw_items() of the HeaderMap object `map`.
PyObject* header_map_raw_items(PyObject* map);
// Whether the HeaderMap object `map` holds the lower-case name `name`.
bool header_map_has(PyObject* map, std::string_view name);

// The header-map argument rule: `obj` must be a HeaderMap (or None when `allow_none`, meaning no
// headers); its collection is copied into `out` under the map's lock. Otherwise raises
// TypeError "<function>() argument '<arg>' must be HeaderMap, not <type>".
// Adds the pairs of `init` (a HeaderMap, a mapping, or an iterable of (name, value) pairs) to
// `out`, validating each name and value as HeaderMap(init) does. May run Python code: call it
// without locks.
bool header_map_fill(http::HeaderMap& out, PyObject* init);

bool header_map_arg(PyObject* obj, const char* function, const char* arg, bool allow_none,
                    http::HeaderMap& out);

// Name and value conversion for every operation that takes a header name or value.
// `name` receives the validated, lower-cased name; it points into `storage` or `obj`.
class HeaderName {
 public:
  // Returns false with TypeError/ValueError/UnicodeEncodeError set.
  bool convert(PyObject* obj);
  std::string_view view() const { return view_; }

 private:
  char small_[128];
  std::string large_;
  std::string_view view_;
};
// Returns false with TypeError/ValueError/UnicodeEncodeError set; `out` views `obj`'s buffer.
bool convert_header_value(PyObject* obj, std::string_view& out);

// A str for a stored name (interned for the standard names).
PyObject* header_name_str(const http::HeaderMap& map, uint32_t entry);

}  // namespace velmora::py
