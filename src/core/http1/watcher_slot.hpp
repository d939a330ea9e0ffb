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

// The slot operations both connection states share; the caller holds its state's lock.
// Objects the slot lets go of go to `drops` (released after unlocking).

// The watcher task ended without a result: the read is no longer parked and its partial
// outcome is discarded.
template <class Obj, class Drops>
void slot_aborted(std::optional<WatcherSlot<Obj>>& slot, Drops& drops) {
  if (!slot) return;
  slot->parked = false;
  drops.add(std::move(slot->data));
  drops.add(std::move(slot->error));
}

template <class Obj>
Obj slot_done(const std::optional<WatcherSlot<Obj>>& slot) {
  return slot ? slot->done : Obj();
}

template <class Obj>
Obj slot_take_handle(std::optional<WatcherSlot<Obj>>& slot) {
  return slot ? std::move(slot->handle) : Obj();
}

// Moves the watcher's result out. A completed slot without a handle is freed; a parked slot
// stays (its read is still outstanding and keeps the transport's one reader).
template <class Obj, class Drops>
std::pair<Obj, Obj> slot_take_result(std::optional<WatcherSlot<Obj>>& slot, Drops& drops) {
  if (!slot) return {};
  std::pair<Obj, Obj> out{std::move(slot->data), std::move(slot->error)};
  if (!slot->parked && !slot->handle) drop_slot(slot, [&](Obj&& o) { drops.add(std::move(o)); });
  return out;
}

}  // namespace velmora::http1
