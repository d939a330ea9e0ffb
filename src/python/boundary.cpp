#include "python/boundary.hpp"

#include <string>

#include <climits>
#include <cstring>

namespace velmora::py {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "%s.__all__ must be a list, not %.100s", PyModule_GetName(module),
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  Ref pyname = Ref::steal(PyUnicode_InternFromString(name));
  if (!pyname) return -1;
  if (PyList_Append(all.get(), pyname.get()) < 0)
    Py_FatalError("could not append __name__ to __all__");
  return PyObject_SetAttr(module, pyname.get(), value);
}

int add_new_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  return add_to_module(module, name, owned.get());
}

PyObject* make_type(PyType_Spec* type_spec, PyObject* bases) {
  PyObject* type = PyType_FromSpecWithBases(type_spec, bases);
  if (type) return type;
  const char* dot = std::strrchr(type_spec->name, '.');
  const char* short_name = dot ? dot + 1 : type_spec->name;
  PyObject *etype, *evalue, *etb;
  PyErr_Fetch(&etype, &evalue, &etb);
  PyErr_NormalizeException(&etype, &evalue, &etb);
  if (etb) PyException_SetTraceback(evalue, etb);
  Py_XDECREF(etype);
  Py_XDECREF(etb);
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", short_name);
  if (evalue) {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetCause(v2, evalue);  // steals evalue
    Py_INCREF(evalue);
    PyException_SetContext(v2, evalue);  // steals
    PyErr_Restore(t2, v2, tb2);
  }
  return nullptr;
}

PyObject* make_exception(const char* qualified_name, const char* doc, PyObject* base) {
  PyObject* type = PyErr_NewExceptionWithDoc(qualified_name, doc, base, nullptr);
  if (!type) Py_FatalError("Failed to initialize new exception type.");
  return type;
}

static const char* plural(Py_ssize_t n) {
  return n == 1 ? "" : "s";
}

bool parse_args(const ArgSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  if (!kwnames && nargs >= sig.required && nargs <= sig.max_positional) {
    // The common call: positional arguments only.
    for (Py_ssize_t i = 0; i < nargs; ++i)
      out[i] = args[i];
    for (int i = int(nargs); i < sig.count; ++i)
      out[i] = nullptr;
    return true;
  }
  for (int i = 0; i < sig.count; ++i)
    out[i] = nullptr;
  if (nargs > sig.max_positional) {
    if (sig.max_positional == 0)
      PyErr_Format(PyExc_TypeError, "%.200s() takes no positional arguments", sig.function);
    else
      PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d positional argument%s (%zd given)",
                   sig.function, sig.required < sig.max_positional ? "at most" : "exactly",
                   sig.max_positional, plural(sig.max_positional), nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i)
    out[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      int found = -1;
      for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'",
                     sig.function, key);
        return false;
      }
      if (out[found]) {
        PyErr_Format(PyExc_TypeError,
                     "argument for %.200s() given by name ('%s') and position (%d)", sig.function,
                     sig.names[found], found + 1);
        return false;
      }
      out[found] = args[nargs + k];
    }
  }
  for (int i = 0; i < sig.required; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)",
                   sig.function, sig.names[i], i + 1);
      return false;
    }
  }
  return true;
}

PyObject* one_arg(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  const char* const names[] = {name};
  const ArgSignature sig{function, names, 1, 1, 1};
  PyObject* out;
  return parse_args(sig, args, nargs, kwnames, &out) ? out : nullptr;
}

bool no_args(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
  if (nargs)
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function, nargs);
  else
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
  return false;
}

void raise_arg_type(const char* function, const char* arg, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be %.50s, not %.50s", function, arg,
               expected, got == Py_None ? "None" : Py_TYPE(got)->tp_name);
}

bool to_u64(PyObject* o, uint64_t& out) {
  if (!PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_u32(PyObject* o, uint32_t& out) {
  uint64_t v;
  if (!to_u64(o, v)) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C unsigned int");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_bool(PyObject* o, bool& out) {
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as a bool",
                 Py_TYPE(o)->tp_name);
    return false;
  }
  out = o == Py_True;
  return true;
}

bool optional_bool(PyObject* o, bool& out) {
  return !o || to_bool(o, out);
}

bool optional_u64(PyObject* o, std::optional<uint64_t>& out) {
  if (!o || o == Py_None) return true;
  uint64_t v;
  if (!to_u64(o, v)) return false;
  out = v;
  return true;
}

bool optional_u32(PyObject* o, std::optional<uint32_t>& out) {
  if (!o || o == Py_None) return true;
  uint32_t v;
  if (!to_u32(o, v)) return false;
  out = v;
  return true;
}

bool bytes_arg(PyObject* o, const char* function, const char* arg, std::string_view& out) {
  if (!PyBytes_Check(o)) {
    raise_arg_type(function, arg, "bytes", o);
    return false;
  }
  out = bytes_view(o);
  return true;
}

int add_int_constants(PyObject* module, const IntConstant* table, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (add_new_to_module(module, table[i].name, PyLong_FromLong(table[i].value)) < 0) return -1;
  return 0;
}

int add_upper_constant(PyObject* module, std::string_view prefix, std::string_view name,
                       PyObject* value) {
  std::string full(prefix);
  for (char c : name)
    full.push_back(c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c);
  return add_new_to_module(module, full.c_str(), value);
}

PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

}  // namespace velmora::py
