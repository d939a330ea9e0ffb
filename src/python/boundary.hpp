// Conventions of the Python boundary shared by every binding file: registration on the module,
// class and exception-class creation, method tables, argument parsing with the interpreter's
// wording, and argument conversions.
//
// Every conversion here may run Python code or raise: call them before taking an object lock.
#pragma once

#include "python/pyref.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

// A docstring that starts with its text signature, so the interpreter derives
// __text_signature__ from it.
#define SIG_DOC(sig, text) sig "\n--\n\n" text
// A METH_FASTCALL (| METH_KEYWORDS) function in a PyMethodDef.
#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))
#define FASTKW METH_FASTCALL | METH_KEYWORDS

namespace velmora::py {

// Appends `name` to the module's __all__ (creating the list when missing) and sets the
// attribute. Steals nothing: `value` is borrowed. Returns -1 with an exception set on failure.
int add_to_module(PyObject* module, const char* name, PyObject* value);
// Same, for a new reference that the call consumes (null means "creation failed").
int add_new_to_module(PyObject* module, const char* name, PyObject* value);

// An integer constant of the module, registered by the binding file that owns its concept.
struct IntConstant {
  const char* name;
  long value;
};
int add_int_constants(PyObject* module, const IntConstant* table, size_t n);
template <size_t N>
int add_int_constants(PyObject* module, const IntConstant (&table)[N]) {
  return add_int_constants(module, table, N);
}

// Registers `value` (a new reference the call consumes; null means "creation failed") as the
// constant named `prefix` + `name` in upper case: ("H1_KIND_", "version_h2") gives
// H1_KIND_VERSION_H2. For constants named after the core's own names of a concept.
int add_upper_constant(PyObject* module, std::string_view prefix, std::string_view name,
                       PyObject* value);

// Creates a heap type from `sig` (bases may be null). A failure is re-raised as RuntimeError
// "An error occurred while initializing class <name>" with the original error as __cause__.
PyObject* make_type(PyType_Spec* type_spec, PyObject* bases = nullptr);

// Creates an exception class; the interpreter refusing to create one is fatal.
PyObject* make_exception(const char* qualified_name, const char* doc, PyObject* base);

// Fast-call argument parsing with the interpreter's standard messages. `names` lists every
// parameter in order; the first `max_positional` may be given by position, the first
// `required` are required, the rest default to null in `out`.
struct ArgSignature {
  const char* function;  // name used in messages, without "()"
  const char* const* names;
  int count;
  int max_positional;
  int required;
};
bool parse_args(const ArgSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);
// For functions with one required parameter `name`: the argument, or null with TypeError set.
PyObject* one_arg(const char* function, const char* name, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames);
// For functions without parameters.
bool no_args(const char* function, Py_ssize_t nargs, PyObject* kwnames);

// Raises TypeError "<function>() argument '<arg>' must be <expected>, not <type>".
void raise_arg_type(const char* function, const char* arg, const char* expected, PyObject* got);

// Integer conversions with the interpreter's TypeError/OverflowError wording.
bool to_u64(PyObject* o, uint64_t& out);
bool to_u32(PyObject* o, uint32_t& out);
bool to_bool(PyObject* o, bool& out);

// An optional bool argument: absent leaves `out` (the default) as it is; anything but a bool,
// None included, raises TypeError.
bool optional_bool(PyObject* o, bool& out);
// An optional unsigned 64-bit argument: absent or None leaves `out` empty.
bool optional_u64(PyObject* o, std::optional<uint64_t>& out);
// The same for an unsigned 32-bit argument.
bool optional_u32(PyObject* o, std::optional<uint32_t>& out);

// A `bytes` argument viewed in place (the view lives as long as `o`); anything else raises
// TypeError "<function>() argument '<arg>' must be bytes, not <type>".
bool bytes_arg(PyObject* o, const char* function, const char* arg, std::string_view& out);
inline std::string_view bytes_view(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes))};
}

// The failure of a conversion made before a lock, kept as a value: `run(ok)` takes the
// exception a failed conversion set (the interpreter's error indicator is then clear), and
// `raise()` sets it again once the lock is released. Dropped unraised when it does not matter.
class DeferredError {
 public:
  bool run(bool ok) {
    if (!ok) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      type_ = Ref::steal(type);
      value_ = Ref::steal(value);
      tb_ = Ref::steal(tb);
    }
    return ok;
  }
  // Always returns null.
  PyObject* raise() {
    PyErr_Restore(type_.release(), value_.release(), tb_.release());
    return nullptr;
  }

 private:
  Ref type_, value_, tb_;
};

// A `bytes` object holding a copy of `s`.
inline PyObject* bytes_from(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
}

// A `str` from UTF-8 bytes, or from ASCII known to be valid.
PyObject* str_from(std::string_view s);

}  // namespace velmora::py
