#include "python/py_errors.hpp"

#include "python/boundary.hpp"
#include "python/once.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

struct ExcDef {
  const char* name;  // qualified name
  const char* doc;
};

enum Module : int {
  kVelmora,
  kConnectionClosed,
  kH1,
  kH1Parse,
  kH1Body,
  kH1Incomplete,
  kH1Unexpected,
  kH1User,
  kH2,
  kH2Protocol,
  kH2Stream,
  kH2User,
  kH2FlowControl,
  kCount,
};

const ExcDef kDefs[kCount] = {
    {"_velmora.VelmoraError",
     "Root of every error raised by velmora, for HTTP/1 and HTTP/2; never raised itself."},
    {"_velmora.ConnectionClosedError",
     "The transport failed or was shut down while work was in flight.\n\nargs: (message,)"},
    {"_velmora.H1Error",
     "Root of the HTTP/1 errors; raised itself for failures without a subclass.\n\n"
     "args: (message,)"},
    {"_velmora.H1ParseError", "A malformed HTTP/1 message head.\n\nargs: (kind, message)"},
    {"_velmora.H1BodyError",
     "A body that could not be decoded: a framing error, or the transport closing before the "
     "body was complete.\n\nargs: (io_kind, message)"},
    {"_velmora.H1IncompleteMessageError",
     "The connection closed while a message was still expected.\n\nargs: (message,)"},
    {"_velmora.H1UnexpectedMessageError",
     "The peer sent bytes when none were expected.\n\nargs: (message,)"},
    {"_velmora.H1UserError",
     "Local misuse detected on the HTTP/1 wire path; the connection is closed.\n\n"
     "args: (kind, message)"},
    {"_velmora.H2Error", "Root of the HTTP/2 errors; never raised itself."},
    {"_velmora.H2ProtocolError",
     "A connection-level HTTP/2 protocol violation, answered with GOAWAY.\n\n"
     "args: (reason, message)"},
    {"_velmora.H2StreamError",
     "A stream-level HTTP/2 error; the stream is reset and the connection survives.\n\n"
     "args: (stream_id, reason, initiator)"},
    {"_velmora.H2UserError", "Local misuse of the HTTP/2 interface.\n\nargs: (kind, message)"},
    {"_velmora.H2FlowControlError",
     "A flow-control window overflowed or underflowed.\n\nargs: (reason,)"},
};

const int kBase[kCount] = {
    -1, kVelmora, kVelmora, kH1, kH1, kH1, kH1, kH1, kVelmora, kH2, kH2, kH2, kH2,
};

ProcessOnce g_exc[kCount];

PyObject* module_exception(int i) {
  return g_exc[i].get([i]() -> PyObject* {
    PyObject* base = PyExc_Exception;
    if (kBase[i] >= 0) {
      base = module_exception(kBase[i]);
      if (!base) return nullptr;
    }
    return make_exception(kDefs[i].name, kDefs[i].doc, base);
  });
}

}  // namespace

PyObject* exception_class(ExcClass cls) {
  switch (cls) {
    case ExcClass::kConnectionClosed:
      return module_exception(kConnectionClosed);
    case ExcClass::kH1Error:
      return module_exception(kH1);
    case ExcClass::kH1Parse:
      return module_exception(kH1Parse);
    case ExcClass::kH1Body:
      return module_exception(kH1Body);
    case ExcClass::kH1Incomplete:
      return module_exception(kH1Incomplete);
    case ExcClass::kH1Unexpected:
      return module_exception(kH1Unexpected);
    case ExcClass::kH1User:
      return module_exception(kH1User);
    case ExcClass::kH2Protocol:
      return module_exception(kH2Protocol);
    case ExcClass::kH2Stream:
      return module_exception(kH2Stream);
    case ExcClass::kH2User:
      return module_exception(kH2User);
    case ExcClass::kH2FlowControl:
      return module_exception(kH2FlowControl);
    case ExcClass::kValueError:
      return PyExc_ValueError;
    case ExcClass::kTypeError:
      return PyExc_TypeError;
    case ExcClass::kOverflowError:
      return PyExc_OverflowError;
    case ExcClass::kKeyError:
      return PyExc_KeyError;
    case ExcClass::kMemoryError:
      break;
  }
  return PyExc_MemoryError;
}

// Root classes that are never raised but are registered on the module.
PyObject* velmora_error_class() {
  return module_exception(kVelmora);
}
PyObject* h1_error_class() {
  return module_exception(kH1);
}
PyObject* h2_error_class() {
  return module_exception(kH2);
}

PyObject* raise(const PendingError& e) {
  Ref exc = Ref::steal(error_object(e));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* error_object(const PendingError& e) {
  PyObject* type = exception_class(e.cls);
  if (!type) return nullptr;
  Ref args = Ref::steal(PyTuple_New(e.argc));
  if (!args) return nullptr;
  for (int i = 0; i < e.argc; ++i) {
    const ErrArg& a = e.args[i];
    PyObject* item;
    switch (a.kind) {
      case ErrArg::Kind::kInt:
        item = PyLong_FromLongLong(a.number);
        break;
      case ErrArg::Kind::kText:
        item = str_from(a.str());
        break;
      case ErrArg::Kind::kNone:
      default:
        item = Py_NewRef(Py_None);
        break;
    }
    if (!item) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, item);
  }
  // KeyError and friends take their args as given; a one-element tuple reads as the element.
  return PyObject_Call(type, args.get(), nullptr);
}

}  // namespace velmora::py

namespace velmora::py {

int setup_root_exceptions(PyObject* m) {
  if (add_to_module(m, "VelmoraError", velmora_error_class()) < 0) return -1;
  return add_to_module(m, "ConnectionClosedError", exception_class(ExcClass::kConnectionClosed));
}

int setup_h2_exceptions(PyObject* m) {
  if (add_to_module(m, "H2Error", h2_error_class()) < 0) return -1;
  if (add_to_module(m, "H2ProtocolError", exception_class(ExcClass::kH2Protocol)) < 0) return -1;
  if (add_to_module(m, "H2StreamError", exception_class(ExcClass::kH2Stream)) < 0) return -1;
  if (add_to_module(m, "H2UserError", exception_class(ExcClass::kH2User)) < 0) return -1;
  if (add_to_module(m, "H2FlowControlError", exception_class(ExcClass::kH2FlowControl)) < 0)
    return -1;
  // H2_KIND_*: the kinds of H2UserError (args[0]).
  for (size_t k = 0; k < http2::kUserErrorKindCount; ++k) {
    std::string_view name = http2::user_error_name(http2::UserErrorKind(k));
    if (add_upper_constant(m, "H2_KIND_", name, str_from(name)) < 0) return -1;
  }
  return 0;
}

int setup_h1_exceptions(PyObject* m) {
  if (add_to_module(m, "H1Error", h1_error_class()) < 0) return -1;
  if (add_to_module(m, "H1ParseError", exception_class(ExcClass::kH1Parse)) < 0) return -1;
  if (add_to_module(m, "H1BodyError", exception_class(ExcClass::kH1Body)) < 0) return -1;
  if (add_to_module(m, "H1IncompleteMessageError", exception_class(ExcClass::kH1Incomplete)) < 0)
    return -1;
  if (add_to_module(m, "H1UnexpectedMessageError", exception_class(ExcClass::kH1Unexpected)) < 0)
    return -1;
  if (add_to_module(m, "H1UserError", exception_class(ExcClass::kH1User)) < 0) return -1;
  // H1_KIND_*: the kinds of H1ParseError and H1UserError (args[0]); H1_IO_*: the I/O kinds of
  // H1BodyError (args[0]).
  for (size_t k = 0; k < http1::kParseKindCount; ++k) {
    std::string_view name = http1::parse_kind_name(http1::ParseKind(k));
    if (add_upper_constant(m, "H1_KIND_", name, str_from(name)) < 0) return -1;
  }
  for (size_t k = 0; k < http1::kUserKindCount; ++k) {
    std::string_view name = http1::user_kind_name(http1::UserKind(k));
    if (add_upper_constant(m, "H1_KIND_", name, str_from(name)) < 0) return -1;
  }
  for (size_t k = 0; k < kIoKindCount; ++k) {
    std::string name = io_kind_snake(IoKind(k));
    if (add_upper_constant(m, "H1_IO_", name, str_from(name)) < 0) return -1;
  }
  return 0;
}

}  // namespace velmora::py
