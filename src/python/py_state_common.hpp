// The watcher-slot methods the two HTTP/1 connection-state classes share. Each class is a
// Box<Locked<State>> (python/object.hpp); objects the state drops are released after its lock.
#pragma once

#include <utility>

#include "python/boundary.hpp"
#include "python/object.hpp"

namespace velmora::py::state_common {

template <class State>
PyObject* watcher_aborted(PyObject* self, PyObject*) {
  {
    typename State::Drops drops;
    unbox<Locked<State>>(self).with([&](State& s) { s.watcher_aborted(drops); });
  }
  Py_RETURN_NONE;
}

template <class State>
PyObject* watcher_done(PyObject* self, PyObject*) {
  return new_ref_or_none(
      unbox<Locked<State>>(self).with([](State& s) { return s.watcher_done(); }));
}

template <class State>
PyObject* take_watcher_handle(PyObject* self, PyObject*) {
  return new_ref_or_none(
      unbox<Locked<State>>(self).with([](State& s) { return s.take_watcher_handle(); }));
}

template <class State>
PyObject* take_watcher_result(PyObject* self, PyObject*) {
  std::pair<Ref, Ref> r;
  {
    typename State::Drops drops;
    r = unbox<Locked<State>>(self).with([&](State& s) { return s.take_watcher_result(drops); });
  }
  return Py_BuildValue("(OO)", none_or(r.first), none_or(r.second));
}

}  // namespace velmora::py::state_common

// The four PyMethodDef entries of the watcher-slot methods, for a class's method table.
#define WATCHER_SLOT_METHODS(State)                                                               \
  {"watcher_aborted", velmora::py::state_common::watcher_aborted<State>, METH_NOARGS,             \
   SIG_DOC("watcher_aborted($self)", "The watcher found no transport.")},                         \
      {"watcher_done", velmora::py::state_common::watcher_done<State>, METH_NOARGS,               \
       SIG_DOC("watcher_done($self)", "The watcher slot's done event, or None.")},                \
      {"take_watcher_handle", velmora::py::state_common::take_watcher_handle<State>, METH_NOARGS, \
       SIG_DOC("take_watcher_handle($self)", "Take the watcher's handle out, once.")},            \
  {                                                                                               \
    "take_watcher_result", velmora::py::state_common::take_watcher_result<State>, METH_NOARGS,    \
        SIG_DOC("take_watcher_result($self)", "Take (data, error) out of the watcher slot.")      \
  }
