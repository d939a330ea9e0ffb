// The exception classes of the module, created once per process, and the raising of recorded
// error values.
#pragma once

#include "python/pyref.hpp"
#include "http/errors.hpp"

namespace velmora::py {

// Borrowed, created on first need (bases first). Every class in ExcClass that belongs to the
// module has one; built-in classes map to the interpreter's.
PyObject* exception_class(ExcClass cls);

// The three root classes, registered on the module but never raised.
PyObject* velmora_error_class();
PyObject* h1_error_class();
PyObject* h2_error_class();

// Builds the exception object for a recorded error and sets it. Always returns null.
PyObject* raise(const PendingError& e);
// The exception object for a recorded error, not raised: a new reference, or null with an
// error set when it could not be made.
PyObject* error_object(const PendingError& e);

}  // namespace velmora::py
