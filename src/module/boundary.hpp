// Conventions of the Python boundary shared by every binding file: registration on the module,
// class and exception-class creation, argument parsing with the interpreter's wording, and
// integer conversions.
#pragma once

#include "module/pyref.hpp"

#include <cstdint>
#include <string_view>

namespace velmora::py {

// Appends `name` to the module's __all__ (creating the list when missing) and sets the
// attribute. Steals nothing: `value` is borrowed. Returns -1 with an exception set on failure.
int add_to_module(PyObject* module, const char* name, PyObject* value);
// Same, for a new reference that the call consumes (null means "creation failed").
int add_new_to_module(PyObject* module, const char* name, PyObject* value);

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

// A `str` from UTF-8 bytes, or from ASCII known to be valid.
PyObject* str_from(std::string_view s);

}  // namespace velmora::py
