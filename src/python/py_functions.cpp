#include "python/py_functions.hpp"

#include "python/boundary.hpp"
#include "python/setup.hpp"

namespace velmora::py {

int setup_functions(PyObject* m) {
  // Built-in functions bound to the module, like a method table would make them.
  Ref name = Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  if (add_new_to_module(m, "http_date", PyCMethod_New(&kHttpDateDef, m, name.get(), nullptr)) < 0)
    return -1;
  return add_new_to_module(m, "uri_parts", PyCMethod_New(&kUriPartsDef, m, name.get(), nullptr));
}

}  // namespace velmora::py
