// The module-level functions http_date(), uri_parts(url), request_url_parts(url) and
// split_target(target, root_path).
#pragma once

#include "python/pyref.hpp"

#include <string_view>

namespace velmora::py {

extern PyMethodDef kHttpDateDef;
extern PyMethodDef kUriPartsDef;
extern PyMethodDef kRequestUrlPartsDef;
extern PyMethodDef kSplitTargetDef;

// The UTF-8 text of a str argument (a view the argument keeps alive); false with TypeError
// "<function>() argument '<arg>' must be str, not <type>" set otherwise.
bool text_of(PyObject* o, const char* function, const char* arg, std::string_view& out);

// split_target(target, root_path) as objects: `target_obj` is the str whose UTF-8 text is
// `target` (the path when no decoding or prefix changes it). False with an exception set.
struct TargetObjects {
  Ref path, raw_path, query;
};
bool target_objects(PyObject* target_obj, std::string_view target, std::string_view root,
                    TargetObjects& out);

}  // namespace velmora::py
