// H2Reason: one HTTP/2 error code (RFC 9113 section 7), with one shared instance per code.
#include <string>

#include "http/errors.hpp"
#include "python/boundary.hpp"
#include "python/object.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

constexpr uint32_t kCodes = http2::kReasonCount;

PyObject* g_instances[kCodes];  // owned by the class attributes, for the life of the process

PyObject* reason_type();

uint32_t code_of(PyObject* o) {
  return unbox<uint32_t>(o);
}

PyObject* reason_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
  static const char* kw[] = {"code", nullptr};
  PyObject* code = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:H2Reason", const_cast<char**>(kw), &code))
    return nullptr;
  if (PyLong_Check(code)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(code, &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (!overflow && v >= 0 && uint64_t(v) < kCodes) return Py_NewRef(g_instances[v]);
  }
  PyErr_Format(PyExc_ValueError, "%R is not a valid H2Reason", code);
  return nullptr;
}

PyObject* reason_name(PyObject* self, void*) {
  return str_from(http2::reason_name(code_of(self)));
}

PyObject* reason_repr(PyObject* self) {
  Ref name = Ref::steal(reason_name(self, nullptr));
  return name ? PyUnicode_FromFormat("H2Reason.%U", name.get()) : nullptr;
}

PyGetSetDef kGetSet[] = {
    {"name", reason_name, nullptr, "The code's name, e.g. 'CANCEL'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* reason_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != Py_TYPE(a)) Py_RETURN_NOTIMPLEMENTED;
  bool eq = code_of(a) == code_of(b);
  return Py_NewRef((op == Py_EQ) == eq ? Py_True : Py_False);
}

Py_hash_t reason_hash(PyObject* self) {
  return Py_hash_t(code_of(self)) + 1;
}

PyObject* reason_index(PyObject* self) {
  return PyLong_FromUnsignedLong(code_of(self));
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reason_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<uint32_t>)},
    {Py_tp_repr, reinterpret_cast<void*>(reason_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(reason_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(reason_hash)},
    {Py_nb_index, reinterpret_cast<void*>(reason_index)},
    {Py_nb_int, reinterpret_cast<void*>(reason_index)},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(SIG_DOC("H2Reason(code)",
                                          "An HTTP/2 error code (RFC 9113 section 7). Instances "
                                          "compare equal by code and convert to int."))},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velmora._velmora.H2Reason", sizeof(Box<uint32_t>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyObject* reason_type() {
  static ProcessOnce once;
  return once.get([]() -> PyObject* {
    Ref type = Ref::steal(make_type(&kSpec));
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    for (uint32_t c = 0; c < kCodes; ++c) {
      Ref inst = Ref::steal(box_new<uint32_t>(tp, c));
      if (!inst) return nullptr;
      std::string name(http2::reason_name(c));
      if (PyObject_SetAttrString(type.get(), name.c_str(), inst.get()) < 0) return nullptr;
      g_instances[c] = inst.get();
    }
    // Sealed once the class attributes are in place.
    tp->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(tp);
    return type.release();
  });
}

}  // namespace

int setup_h2_reason(PyObject* m) {
  if (add_to_module(m, "H2Reason", reason_type()) < 0) return -1;
  // H2_REASON_*: the codes as plain ints, for comparing with what frames and errors carry.
  for (uint32_t c = 0; c < kCodes; ++c)
    if (add_upper_constant(m, "H2_REASON_", http2::reason_name(c), PyLong_FromUnsignedLong(c)) < 0)
      return -1;
  return 0;
}

}  // namespace velmora::py
