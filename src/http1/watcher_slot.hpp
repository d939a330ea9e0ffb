// The record of a read parked on a connection's transport by a watcher task, shared by the
// server and client connection states.
//
// `Obj` is the owning handle type of the objects the binding layer stores (events, task
// handles, bytes, errors); the core moves them around and never looks inside, except that the
// states read the length of the bytes the watcher read.
#pragma once

#include <optional>
#include <utility>

namespace velmora::http1 {

template <class Obj>
struct WatcherSlot {
  Obj done;    // the event the watcher task sets when it ends
  Obj handle;  // the watcher task's handle, once stored
  Obj data;    // what the watcher's read returned
  Obj error;   // what the watcher's read raised
  bool parked = true;

  explicit WatcherSlot(Obj&& done_event) : done(std::move(done_event)) {}

  template <class F>
  void visit(F&& f) const {
    f(done);
    f(handle);
    f(data);
    f(error);
  }
};

// Moves every object out of an optional slot into `sink` (for releasing them after unlocking)
// and leaves the slot absent.
template <class Obj, class Sink>
void drop_slot(std::optional<WatcherSlot<Obj>>& slot, Sink&& sink) {
  if (!slot) return;
  sink(std::move(slot->done));
  sink(std::move(slot->handle));
  sink(std::move(slot->data));
  sink(std::move(slot->error));
  slot.reset();
}

}  // namespace velmora::http1
