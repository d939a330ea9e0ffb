// Binding pieces shared by the two HTTP/1 connection-state classes: how stored objects are
// held, and cyclic garbage collection of an object whose `state` member holds them.
#pragma once

#include <type_traits>
#include <utility>

#include "module/pyref.hpp"

namespace velmora::py::state_common {

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

template <class Object>
auto& state_of(PyObject* o) {
  return reinterpret_cast<Object*>(o)->state;
}

template <class Object>
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int rc = 0;
  state_of<Object>(self).visit([&](const Ref& r) {
    if (rc == 0 && r) rc = visit(r.get(), arg);
  });
  return rc;
}

// The state hands what it drops to a Drops list, released when the list goes out of scope,
// after the state's lock.
template <class Object>
int clear(PyObject* self) {
  typename std::remove_reference_t<decltype(state_of<Object>(self))>::Drops drops;
  state_of<Object>(self).clear(drops);
  return 0;
}

template <class Object>
void dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear<Object>(self);
  using State = std::remove_reference_t<decltype(state_of<Object>(self))>;
  state_of<Object>(self).~State();
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The watcher-slot methods both states share.

template <class Object>
PyObject* watcher_aborted(PyObject* self, PyObject*) {
  {
    typename std::remove_reference_t<decltype(state_of<Object>(self))>::Drops drops;
    state_of<Object>(self).watcher_aborted(drops);
  }
  Py_RETURN_NONE;
}

template <class Object>
PyObject* watcher_done(PyObject* self, PyObject*) {
  return new_ref_or_none(state_of<Object>(self).watcher_done());
}

template <class Object>
PyObject* take_watcher_handle(PyObject* self, PyObject*) {
  return new_ref_or_none(state_of<Object>(self).take_watcher_handle());
}

template <class Object>
PyObject* take_watcher_result(PyObject* self, PyObject*) {
  std::pair<Ref, Ref> r;
  {
    typename std::remove_reference_t<decltype(state_of<Object>(self))>::Drops drops;
    r = state_of<Object>(self).take_watcher_result(drops);
  }
  return Py_BuildValue("(OO)", none_or(r.first), none_or(r.second));
}

}  // namespace velmora::py::state_common
