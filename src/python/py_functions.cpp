#include "python/py_functions.hpp"

#include "python/boundary.hpp"
#include "python/setup.hpp"

namespace velmora::py {

int setup_functions(PyObject* m) {
  // Built-in functions bound to the module, like a method table would make them.
  Ref name = Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  for (PyMethodDef* def : {&kHttpDateDef, &kUriPartsDef, &kRequestUrlPartsDef, &kSplitTargetDef})
    if (add_new_to_module(m, def->ml_name, PyCMethod_New(def, m, name.get(), nullptr)) < 0)
      return -1;
  return 0;
}

}  // namespace velmora::py
