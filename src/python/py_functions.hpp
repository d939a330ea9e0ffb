// The module-level functions http_date(), uri_parts(url), request_url_parts(url) and
// split_target(target, root_path).
#pragma once

#include "python/pyref.hpp"

namespace velmora::py {

extern PyMethodDef kHttpDateDef;
extern PyMethodDef kUriPartsDef;
extern PyMethodDef kRequestUrlPartsDef;
extern PyMethodDef kSplitTargetDef;

}  // namespace velmora::py
