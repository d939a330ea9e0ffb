// Layouts and type slots shared by every class of the module.
//
// A class's instance is a `Box<T>`: the object header followed by one C++ value. Stateful
// classes box a `Locked<Core>` (http/lock.hpp), so every method reaches its state through one
// `with` call. Classes whose value holds Python objects (as `Ref`) take part in cyclic garbage
// collection through `gc_traverse`, `gc_clear` and `gc_dealloc`: the value provides
// `visit(f)` (calls `f(const Ref&)` for each held object) and `clear(Drops&)` (moves every held
// object into `Drops`, which drops the references after the lock is released).
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "http/lock.hpp"
#include "python/pyref.hpp"

namespace velmora::py {

template <class T>
struct Box {
  PyObject_HEAD T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

// Allocates an instance of `type` and constructs its value from `args` (which must not throw).
template <class T, class... Args>
PyObject* box_new(PyTypeObject* type, Args&&... args) {
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&unbox<T>(self)) T(std::forward<Args>(args)...);
  return self;
}

// tp_dealloc of a class without garbage-collection support.
template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  unbox<T>(self).~T();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---- stored objects -------------------------------------------------------------------------

// A stored object; None stores nothing.
inline Ref held(PyObject* o) {
  return o && o != Py_None ? Ref::borrow(o) : Ref();
}

inline PyObject* new_ref_or_none(Ref&& r) {
  return r ? r.release() : Py_NewRef(Py_None);
}

inline PyObject* none_or(const Ref& r) {
  return r ? r.get() : Py_None;
}

// ---- cyclic garbage collection of a Box<Locked<State>> ---------------------------------------

template <class State>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int rc = 0;
  unbox<Locked<State>>(self).unguarded().visit([&](const Ref& r) {
    if (rc == 0 && r) rc = visit(r.get(), arg);
  });
  return rc;
}

template <class State>
int gc_clear(PyObject* self) {
  typename State::Drops drops;  // released after the lock
  unbox<Locked<State>>(self).with([&](State& s) { s.clear(drops); });
  return 0;
}

template <class State>
void gc_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  gc_clear<State>(self);
  unbox<Locked<State>>(self).~Locked<State>();
  tp->tp_free(self);
  Py_DECREF(tp);
}

}  // namespace velmora::py
