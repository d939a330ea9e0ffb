// OnceLatch: a lock-free one-shot latch, safe to call from any thread and from finalizers.
#include <new>

#include "http1/once_latch.hpp"
#include "python/py_http1.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

http1::OnceLatch& latch(PyObject* o) {
  return unbox<http1::OnceLatch>(o);
}

PyObject* latch_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, ":OnceLatch", const_cast<char**>(kw)))
    return nullptr;
  return box_new<http1::OnceLatch>(type);
}

PyObject* latch_try_acquire(PyObject* self, PyObject*) {
  return PyBool_FromLong(latch(self).try_acquire());
}

PyObject* latch_is_set(PyObject* self, void*) {
  return PyBool_FromLong(latch(self).is_set());
}

PyMethodDef kMethods[] = {
    {"try_acquire", latch_try_acquire, METH_NOARGS,
     SIG_DOC("try_acquire($self)",
             "True for the one caller that sets the latch; False for every other.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_set", latch_is_set, nullptr, "The latch was acquired.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(latch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<http1::OnceLatch>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC("OnceLatch()", "A one-shot, lock-free latch."))},
    {0, nullptr},
};

PyType_Spec kSpec = {"velmora._velmora.OnceLatch", sizeof(Box<http1::OnceLatch>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

PyObject* once_latch_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* { return make_type(&kSpec); });
}

}  // namespace

int setup_h1_state_classes(PyObject* m) {
  if (add_to_module(m, "H1ServerState", h1_server_state_type()) < 0) return -1;
  if (add_to_module(m, "H1ClientState", h1_client_state_type()) < 0) return -1;
  return add_to_module(m, "OnceLatch", once_latch_type());
}

}  // namespace velmora::py
