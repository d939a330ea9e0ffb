// The module-level functions http_date() and uri_parts(url).
#pragma once

#include "python/pyref.hpp"

namespace velmora::py {

extern PyMethodDef kHttpDateDef;
extern PyMethodDef kUriPartsDef;

}  // namespace velmora::py
