// The connection state of one HTTP/1 client connection: who holds the connection for an
// exchange, whether it can still serve requests, the error that poisoned it, who tears down the
// request writer, and what a read that completes while the connection is idle means (a server
// may close an idle persistent connection at any time, RFC 9112 section 9.5).
//
// Between exchanges an idle watcher may keep a read parked on the transport; when the next
// exchange starts, that read becomes the exchange's first read.
//
// It also decides whether a finished exchange leaves the connection fit for the next one
// (RFC 9112 section 9.3): the response kept it alive, the request asked for nothing else, the
// body is not delimited by the close, the request went out in full, the server has not ended its
// side and nothing arrived past the response.
//
// Free of Python: `Obj` is the binding layer's owning handle (copyable, movable, operator bool).
// The state has no lock of its own: its owner keeps it in a Locked<ClientState> and runs each
// operation as one `with` call. Objects the state lets go of are moved into a `Released` the
// caller destroys after the lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "http1/released.hpp"
#include "http1/watcher_slot.hpp"

namespace velmora::http1 {

enum WatchVerdict : uint8_t {
  kWatchHandoff = 0,
  kWatchIdleEof = 1,
  kWatchIdleBytes = 2,
  kWatchIdleError = 3,
  kWatchIgnored = 4,
};

template <class Obj>
class ClientState {
 public:
  using Drops = Released<Obj>;

  explicit ClientState(Obj transport) : transport_(std::move(transport)) {}
  ClientState(const ClientState&) = delete;
  ClientState& operator=(const ClientState&) = delete;

  template <class F>
  void visit(F&& f) const {
    f(transport_);
    f(error_);
    f(writer_);
    if (slot_) slot_->visit(f);
  }

  void clear(Drops& drops) {
    drops.add(std::move(transport_));
    drops.add(std::move(error_));
    drops.add(std::move(writer_));
    drop_slot(slot_, [&](Obj&& o) { drops.add(std::move(o)); });
  }

  Obj transport_ref() { return transport_; }

  void set_peer_http10(bool value) { peer_http10_ = value; }

  // Closed, failed, or the server ended its side: the connection takes no further exchange.
  bool is_dead() { return closed_ || error_ || peer_closed_; }

  bool try_begin_exchange() {
    if (busy_) return false;
    busy_ = true;
    exchange_active_ = false;
    writer_finished_ = false;
    reusable_ = false;
    return true;
  }

  bool end_exchange() {
    if (!busy_) return false;
    busy_ = false;
    exchange_active_ = false;
    return true;
  }

  void exchange_started() { exchange_active_ = true; }

  // The response head of this exchange: `keep_alive` is the codec's verdict on the response (its
  // version and Connection field), `request_close` whether the request carried Connection:
  // close, `close_delimited` whether the body runs until the server closes, `http10` whether the
  // server answered with HTTP/1.0 (remembered for the requests that follow).
  void response_head(bool keep_alive, bool request_close, bool close_delimited, bool http10) {
    if (http10) peer_http10_ = true;
    reusable_ = keep_alive && !request_close && !close_delimited;
  }

  // The server ended its side (end of stream, or the transport is gone).
  void note_peer_closed() { peer_closed_ = true; }

  struct Completion {
    bool reuse;
    Obj transport;
  };
  // The response is complete; `leftover` says whether bytes arrived past its end. When the
  // connection may carry the next exchange the claim is released ({true, none}); otherwise the
  // connection closes and its transport is handed out to be closed ({false, transport}).
  Completion complete_exchange(bool leftover) {
    const bool reuse =
        busy_ && reusable_ && writer_finished_ && !peer_closed_ && !leftover && !closed_ && !error_;
    reusable_ = false;
    if (reuse) {
      busy_ = false;
      exchange_active_ = false;
      return {true, Obj()};
    }
    closed_ = true;
    return {false, take_transport()};
  }

  Obj fail(Obj&& exc, Drops& drops) {
    if (exc && !error_)
      error_ = std::move(exc);
    else
      drops.add(std::move(exc));
    closed_ = true;
    return take_transport();
  }

  Obj close_now() {
    closed_ = true;
    return take_transport();
  }

  struct MarkClosed {
    Obj transport, done, writer;
    bool idle;
  };
  MarkClosed mark_closed() {
    closed_ = true;
    MarkClosed out{take_transport(), Obj(), std::move(writer_), !busy_};
    if (slot_) out.done = slot_->done;
    return out;
  }

  Obj upgrade() {
    Obj t = std::move(transport_);
    closed_ = true;
    upgraded_ = true;
    return t;
  }

  // Returns the scope when it is refused.
  Obj store_writer(Obj&& scope, Drops& drops) {
    if (closed_) return std::move(scope);
    drops.add(std::exchange(writer_, std::move(scope)));
    return Obj();
  }

  Obj take_writer() { return std::move(writer_); }

  void writer_done() { writer_finished_ = true; }

  bool arm_watcher(Obj&& done, Drops& drops) {
    if (closed_ || error_ || !transport_ || slot_) {
      drops.add(std::move(done));
      return false;
    }
    exchange_active_ = false;
    slot_.emplace(std::move(done));
    return true;
  }

  Obj store_watcher_handle(Obj&& handle) {
    if (closed_ || !slot_ || slot_->handle) return std::move(handle);
    slot_->handle = std::move(handle);
    return Obj();
  }

  // `data_size` is the length of `data` (ignored when `data` is empty).
  std::pair<uint8_t, Obj> watcher_completed(Obj&& data, size_t data_size, Obj&& error,
                                            Drops& drops) {
    if (!slot_) {
      drops.add(std::move(data));
      drops.add(std::move(error));
      return {kWatchIgnored, Obj()};
    }
    slot_->parked = false;
    if (exchange_active_) {
      // The exchange owns the read: what it returned is the exchange's first read.
      drops.add(std::exchange(slot_->data, std::move(data)));
      drops.add(std::exchange(slot_->error, std::move(error)));
      return {kWatchHandoff, Obj()};
    }
    const bool has_bytes = data && data_size > 0;
    drops.add(std::move(data));
    if (error) {
      drops.add(std::move(error));
      return {closed_ ? kWatchIgnored : kWatchIdleError, Obj()};
    }
    if (has_bytes) return {kWatchIdleBytes, Obj()};
    closed_ = true;
    return {kWatchIdleEof, take_transport()};
  }

  void watcher_aborted(Drops& drops) { slot_aborted(slot_, drops); }

  Obj watcher_done() { return slot_done(slot_); }

  Obj take_watcher_handle() { return slot_take_handle(slot_); }

  std::pair<Obj, Obj> take_watcher_result(Drops& drops) { return slot_take_result(slot_, drops); }

  struct Snapshot {
    bool closed, busy, upgraded, peer_http10, has_watcher, writer_finished, failed, exchange_active,
        reusable, peer_closed;
  };
  Snapshot snapshot() {
    return {closed_,          busy_,        upgraded_,        peer_http10_, slot_.has_value(),
            writer_finished_, bool(error_), exchange_active_, reusable_,    peer_closed_};
  }

  Obj error() { return error_; }

 private:
  Obj take_transport() { return upgraded_ ? Obj() : std::move(transport_); }

  Obj transport_;
  Obj error_;
  Obj writer_;
  std::optional<WatcherSlot<Obj>> slot_;
  bool closed_ = false;
  bool upgraded_ = false;
  bool busy_ = false;
  bool exchange_active_ = false;
  bool peer_http10_ = false;
  bool writer_finished_ = false;
  bool reusable_ = false;
  bool peer_closed_ = false;
};

}  // namespace velmora::http1
