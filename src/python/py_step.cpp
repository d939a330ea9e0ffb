// coro_step: one step of a coroutine in a context, its return reported as a value. The server's
// connection task starts each application with it: a `send` whose StopIteration would carry
// the return costs an exception (made, traced, caught) per request.
#include "python/boundary.hpp"
#include "python/setup.hpp"

namespace velmora::py {
namespace {

PyObject* coro_step(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "coro_step() takes exactly 2 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* coro = args[0];
  PyObject* ctx = args[1];
  if (!PyContext_CheckExact(ctx)) {
    PyErr_Format(PyExc_TypeError, "coro_step() argument 2 must be Context, not %.100s",
                 Py_TYPE(ctx)->tp_name);
    return nullptr;
  }
  if (PyContext_Enter(ctx) < 0) return nullptr;
  PyObject* value = nullptr;
  const PySendResult s = PyIter_Send(coro, Py_None, &value);
  Ref result = Ref::steal(value);
  // (the step's exception, if any, stays pending across the exit)
  PyObject *type, *exc, *tb;
  PyErr_Fetch(&type, &exc, &tb);
  const int exited = PyContext_Exit(ctx);
  if (exited < 0) {
    Py_XDECREF(type);
    Py_XDECREF(exc);
    Py_XDECREF(tb);
    return nullptr;
  }
  PyErr_Restore(type, exc, tb);
  if (s == PYGEN_ERROR) return nullptr;
  PyObject* out = PyTuple_New(2);
  if (!out) return nullptr;
  PyTuple_SET_ITEM(out, 0, Py_NewRef(s == PYGEN_RETURN ? Py_True : Py_False));
  PyTuple_SET_ITEM(out, 1, result.release());
  return out;
}

PyMethodDef kCoroStepDef = {
    "coro_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coro_step)), METH_FASTCALL,
    SIG_DOC("coro_step(coro, ctx, /)",
            "One step of `coro` (sending None) run in the context `ctx`: (False, the value it "
            "yielded) or, once it returned, (True, its return value); its exception propagates.")};

}  // namespace

int setup_coro_step(PyObject* m) {
  Ref name = Ref::steal(PyModule_GetNameObject(m));
  if (!name) return -1;
  return add_new_to_module(m, kCoroStepDef.ml_name,
                           PyCMethod_New(&kCoroStepDef, m, name.get(), nullptr));
}

}  // namespace velmora::py
