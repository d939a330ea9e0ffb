// The connection state of one HTTP/1 server connection: where the connection stands between
// requests, which request is current, who reads the transport, when `100 Continue` may be sent
// (RFC 9110 section 10.1.1), when the response head may be written, and whether the connection
// is reused, closed or handed off as a raw tunnel (RFC 9110 sections 7.8 and 9.3.6).
//
// Requests are numbered from 1 (`seq`); every per-request operation names the request it acts
// for, so a late call from an earlier request's task never touches the next one.
//
// The state is free of Python: the objects it stores (transport, events, task handles, the
// current body decoder, the watcher's bytes and error) are `Traits::Obj` handles owned by the
// binding layer. `Traits` supplies:
//   Obj                                   an owning, copyable, movable handle with operator bool
//   static Locked<BodyDecoder>& decoder(const Obj&)   the decoder behind a decoder object
//   static std::string_view bytes(const Obj&) the bytes behind a bytes object
//
// The state has no lock of its own: its owner keeps it in a Locked<ServerState> and runs each
// operation as one `with` call, so the whole decision is made under one acquisition. The codec
// and the decoder are reached through their own Locked values while that lock is held, one at a
// time (lock order: this state, then the codec or the decoder). Objects the state lets go of
// are moved into a `Released` the caller destroys after the lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/header_map.hpp"
#include "http/lock.hpp"
#include "http1/body_decoder.hpp"
#include "http1/codec.hpp"
#include "http1/head_serializer.hpp"
#include "http1/read_buffer.hpp"
#include "http1/released.hpp"
#include "http1/request_head.hpp"
#include "http1/watcher_slot.hpp"

namespace velmora::http1 {

// begin_read / drain_done codes: one numbering space for "next" (0-3) and "read" (4-8).
enum NextCode : uint8_t {
  kNextNone = 0,
  kNextRaise = 1,
  kNextClose = 2,
  kNextDrain = 3,
  kReadParse = 4,
  kReadShutdown = 5,
  kReadWatcher = 6,
  kReadTransport = 7,
  kReadEof = 8,
};

// Per-request outcome codes.
enum ReqCode : uint8_t {
  kReqOk = 0,
  kReqAlready = 1,
  kReqStale = 2,
  kReqParked = 3,
  kReqPeerClosed = 4,
  kReqContinue = 5,
};

// Bytes handed to a tunnel, in wire order: what the codec had buffered, then what the body
// decoder read past the body, then what the watcher read. Kept in pieces so the binding copies
// each byte once, into the one result object.
template <class Obj>
struct Leftover {
  ReadBuffer codec_part;
  ReadBuffer decoder_part;
  Obj watcher_data;
};

template <class Traits>
class ServerState {
 public:
  using Obj = typename Traits::Obj;
  using Drops = Released<Obj>;

  struct Verdict {
    uint8_t code = kNextNone;
    Obj obj;  // the transport, the watcher's done event, or nothing
  };

  struct Accepted {
    enum class Outcome : uint8_t { kIncomplete, kComplete, kError } outcome = Outcome::kIncomplete;
    RequestHead head;
    uint64_t seq = 0;
    std::optional<Error> error;
  };

  struct Responded {
    uint8_t code = kReqStale;
    std::string head;  // the encoded head, with kReqOk
    bool armed = false;
    std::optional<SerializeError> error;
  };

  // A response given whole: head, body and end in one step (see respond_whole).
  struct RespondedWhole {
    uint8_t code = kReqStale;
    std::string head;  // with kReqOk: the encoded head
    LastFrame body;    // with kReqOk: how the body follows the head
    std::optional<SerializeError> error;
    bool finished = false;  // the response is complete: `next` says what the connection does
    Verdict next;
  };

  struct Finished {
    bool switched = false;
    bool close = false;
    Obj transport;
    std::optional<Leftover<Obj>> leftover;
  };

  struct Detached {
    uint8_t code = kReqStale;
    Obj transport;
    std::optional<Leftover<Obj>> leftover;
  };

  // `codec` is the core behind `codec_obj`; the state keeps `codec_obj` for its whole life.
  ServerState(Obj codec_obj, Locked<Codec>& codec, Obj transport, bool keep_alive, bool half_close)
      : transport_(std::move(transport)),
        codec_obj_(std::move(codec_obj)),
        codec_(codec),
        half_close_(half_close),
        keep_alive_enabled_(keep_alive) {}

  ServerState(const ServerState&) = delete;
  ServerState& operator=(const ServerState&) = delete;

  // ---- objects --------------------------------------------------------------------------

  Obj transport_ref() { return transport_; }

  Obj current_decoder() { return decoder_; }

  const Obj& codec_obj() const { return codec_obj_; }

  // Every stored object, for the garbage collector. The caller makes sure no operation runs.
  template <class F>
  void visit(F&& f) const {
    f(transport_);
    f(codec_obj_);
    f(decoder_);
    if (slot_) slot_->visit(f);
  }

  // Lets go of every object that can be part of a reference cycle. The codec stays: it holds
  // no objects, and every operation needs it.
  void clear(Drops& drops) {
    drops.add(std::move(transport_));
    drops.add(std::move(decoder_));
    drop_slot(slot_, [&](Obj&& o) { drops.add(std::move(o)); });
  }

  // ---- between requests -----------------------------------------------------------------

  Verdict begin_read(Drops& drops) {
    if (closed_ || !reusable_) return {kNextNone, Obj()};
    if (seq_ == 0) return ready_step(drops);
    if (!response_done_) return {kNextRaise, Obj()};
    if (body_done_) return ready_step(drops);
    if (read_owned_) {
      // The body's reader is parked on the transport: the body cannot be drained.
      close();
      return {kNextClose, take_transport()};
    }
    read_owned_ = true;
    return {kNextDrain, Obj()};
  }

  Verdict drain_done(bool complete, Drops& drops) {
    read_owned_ = false;
    if (complete) {
      body_done_ = true;
      return ready_step(drops);
    }
    close();
    return {kNextClose, take_transport()};
  }

  bool unpark_idle_read() {
    idle_read_parked_ = false;
    return closed_;
  }

  // `decoder` is a fresh decoder object made by the caller; it becomes the request's decoder
  // when the head completes, and is returned in `drops` otherwise. A `target_sink` receives
  // the request-target where it lies in the buffered head (RequestHead::target_sink).
  Accepted accept_head(std::string_view data, Obj&& decoder, Drops& drops,
                       void (*target_sink)(void*, std::string_view) = nullptr,
                       void* target_ctx = nullptr) {
    Accepted out;
    out.head.target_sink = target_sink;
    out.head.target_ctx = target_ctx;
    ReadBuffer rest;
    codec_.with([&](Codec& c) {
      c.read.append(data);
      ParseOutcome r = parse_request_head(c, out.head);
      if (r.error) {
        out.outcome = Accepted::Outcome::kError;
        out.error = std::move(r.error);
      } else if (r.complete) {
        out.outcome = Accepted::Outcome::kComplete;
        rest = c.read.take_all();
      }
    });
    if (out.outcome != Accepted::Outcome::kComplete) {
      drops.add(std::move(decoder));
      return out;
    }
    const RequestHead& h = out.head;
    const bool complete = Traits::decoder(decoder).with([&](BodyDecoder& d) {
      d.restart(decoder_kind(h.body_kind()), h.decoded_length);
      d.feed(std::move(rest));
      return d.is_complete();
    });
    out.seq = seq_ = next_seq_++;
    drops.add(std::exchange(decoder_, std::move(decoder)));
    expect_continue_ = h.expect_continue;
    http10_ = h.http10;
    request_keep_alive_ = h.keep_alive;
    is_upgrade_ = h.is_upgrade;
    is_connect_ = h.is_connect;
    may_switch_ = h.is_connect || h.is_upgrade;
    body_done_ = complete;
    responded_ = head_pending_ = response_done_ = read_owned_ = continue_claimed_ = false;
    peer_closed_ = head_negotiated_ = switch_decision_ = reuse_decision_ = want_ = false;
    return out;
  }

  Obj fail_read() {
    close();
    return take_transport();
  }

  void stop_serving() { close(); }

  struct MarkClosed {
    Obj transport;
    Obj done;
    bool was_closed;
  };
  MarkClosed mark_closed() {
    MarkClosed out{Obj(), Obj(), closed_};
    close();
    out.transport = take_transport();
    if (slot_) out.done = slot_->done;
    return out;
  }

  void mark_unusable() { reusable_ = false; }

  Obj request_shutdown() {
    reusable_ = false;
    shutdown_requested_ = true;
    if (!idle_read_parked_) return Obj();
    // Shutting the transport down is what ends the parked read.
    close();
    return take_transport();
  }

  // ---- the current request --------------------------------------------------------------

  bool try_send_continue(uint64_t seq) {
    if (!is_current(seq) || !expect_continue_ || continue_claimed_ || responded_ || http10_)
      return false;
    continue_claimed_ = true;
    return true;
  }

  bool begin_body_read(uint64_t seq) {
    if (!is_current(seq) || body_done_ || read_owned_) return false;
    read_owned_ = true;
    return true;
  }

  void end_body_read(uint64_t seq, bool complete) {
    if (!is_current(seq)) return;
    read_owned_ = false;
    if (complete) body_done_ = true;
  }

  // 1 = closed, 0 = not closed, -1 = the window is still open.
  int peer_closed_now(uint64_t seq) {
    if (!is_current(seq)) return 0;
    if (response_done_) return peer_closed_ ? 1 : 0;
    return -1;
  }

  bool peer_closed_flag(uint64_t seq) { return is_current(seq) && peer_closed_; }

  bool close_window(uint64_t seq) {
    if (!is_current(seq) || response_done_) return false;
    response_done_ = true;
    return true;
  }

  // ---- the mid-message watcher ----------------------------------------------------------

  bool arm_watcher(uint64_t seq, Obj&& done, bool want, bool head_negotiated, Drops& drops) {
    if (!is_current(seq)) {
      drops.add(std::move(done));
      return false;
    }
    if (head_negotiated) head_negotiated_ = true;
    if (want) want_ = true;
    return arm_decision(std::move(done), drops);
  }

  // Returns the handle when it is refused.
  Obj store_watcher_handle(Obj&& handle) {
    if (closed_ || !slot_ || slot_->handle) return std::move(handle);
    slot_->handle = std::move(handle);
    return Obj();
  }

  bool watcher_completed(Obj&& data, Obj&& error, Drops& drops) {
    const bool eos = !data || Traits::bytes(data).empty();
    if (!slot_) {
      drops.add(std::move(data));
      drops.add(std::move(error));
      return false;
    }
    slot_->parked = false;
    drops.add(std::exchange(slot_->data, std::move(data)));
    drops.add(std::exchange(slot_->error, std::move(error)));
    if (eos && !response_done_ && !peer_closed_) {
      reusable_ = false;
      peer_closed_ = true;
      return true;
    }
    return false;
  }

  void watcher_aborted(Drops& drops) { slot_aborted(slot_, drops); }

  Obj watcher_done() { return slot_done(slot_); }

  Obj take_watcher_handle() { return slot_take_handle(slot_); }

  std::pair<Obj, Obj> take_watcher_result(Drops& drops) { return slot_take_result(slot_, drops); }

  // ---- the response ---------------------------------------------------------------------

  Responded respond_head(uint64_t seq, uint32_t status, http::HeaderMap& headers, Obj&& done,
                         std::optional<uint64_t> content_length, bool chunked, bool want,
                         Drops& drops) {
    Responded out;
    out.code = claim_response(seq);
    if (out.code == kReqOk)
      out.code = encode_response(status, headers, content_length, chunked, out.head, out.error);
    if (out.code == kReqOk && !out.error) {
      if (want) want_ = true;
      out.armed = arm_decision(std::move(done), drops);
    } else {
      drops.add(std::move(done));
    }
    return out;
  }

  // The whole response in one step, for a body known in full: the claim and head of
  // respond_head (framed by the caller's Content-Length when it gives one, else by the body's
  // length), the body and its end, finish_response, and then what the connection does next:
  // NEXT_CLOSE with the transport when it ends (a hand-off ends it too: nothing is handed
  // over), else the verdict of begin_read. A refused head or body leaves the claim standing
  // and the response unfinished, as a failed respond_head does.
  // `Fields` is http::HeaderMap or FieldPairs.
  template <class Fields>
  RespondedWhole respond_whole(uint64_t seq, uint32_t status, Fields& headers,
                               std::string_view body, Drops& drops) {
    RespondedWhole out;
    out.code = claim_response(seq);
    if (out.code != kReqOk) return out;
    const bool declared = headers.find("content-length") >= 0;
    encode_response(status, headers, declared ? std::nullopt : std::optional<uint64_t>(body.size()),
                    declared, out.head, out.error);
    if (out.error) return out;
    out.body = codec_.with([&](Codec& c) { return frame_last(c, body, nullptr); });
    if (out.body.ends && out.body.error) return out;
    out.finished = true;
    Finished f = finish_response(seq);
    if (f.switched || f.close) {
      if (f.leftover) drops.add(std::move(f.leftover->watcher_data));
      out.next = {kNextClose, std::move(f.transport)};
      return out;
    }
    out.next = begin_read(drops);
    return out;
  }

  Finished finish_response(uint64_t seq) {
    Finished out;
    if (!is_current(seq)) return out;
    response_done_ = true;
    if (switch_decision_) {
      out.switched = true;
      out.leftover = take_leftover(false);
      out.transport = take_transport();
      upgraded_ = true;
      close();
      return out;
    }
    reusable_ = reusable_ && reuse_decision_;
    if (!reusable_) {
      close();
      out.close = true;
      out.transport = take_transport();
    }
    return out;
  }

  Obj fail_response(uint64_t seq) {
    if (is_current(seq)) response_done_ = true;
    close();
    return take_transport();
  }

  Detached detach(uint64_t seq) {
    Detached out;
    if (!is_current(seq)) return out;
    if (responded_) {
      out.code = kReqAlready;
      return out;
    }
    if (slot_ && slot_->parked) {
      // The parked read can be neither handed over nor cancelled without risking bytes.
      out.code = kReqParked;
      return out;
    }
    responded_ = response_done_ = true;
    out.code = kReqOk;
    out.leftover = take_leftover(true);
    out.transport = take_transport();
    upgraded_ = true;
    close();
    return out;
  }

  // ---- properties -----------------------------------------------------------------------

  struct Snapshot {
    uint64_t seq;
    bool closed, reusable, upgraded, half_close, keep_alive_enabled, shutdown_requested;
    bool has_watcher, watcher_parked, responded, response_done;
  };
  Snapshot snapshot() {
    return {seq_,
            closed_,
            reusable_,
            upgraded_,
            half_close_,
            keep_alive_enabled_,
            shutdown_requested_,
            slot_.has_value(),
            slot_ && slot_->parked,
            responded_,
            response_done_};
  }

 private:
  static BodyDecoder::Kind decoder_kind(BodyKind k) {
    switch (k) {
      case BodyKind::kLength:
        return BodyDecoder::Kind::kLength;
      case BodyKind::kChunked:
        return BodyDecoder::Kind::kChunked;
      case BodyKind::kClose:
        return BodyDecoder::Kind::kClose;
      case BodyKind::kEmpty:
        break;
    }
    return BodyDecoder::Kind::kEmpty;
  }

  bool is_current(uint64_t seq) const { return seq != 0 && seq == seq_; }

  void close() {
    closed_ = true;
    reusable_ = false;
  }

  Obj take_transport() { return upgraded_ ? Obj() : std::move(transport_); }

  // Bytes the finished decoder read past its body (its input while the body is unfinished is
  // body data and stays where it is).
  ReadBuffer past_body() {
    if (!decoder_) return ReadBuffer();
    return Traits::decoder(decoder_).with(
        [](BodyDecoder& d) { return d.is_complete() ? d.take_input() : ReadBuffer(); });
  }

  Leftover<Obj> take_leftover(bool with_watcher_data) {
    Leftover<Obj> out;
    out.codec_part = codec_.with([](Codec& c) { return c.read.take_all(); });
    out.decoder_part = past_body();
    if (with_watcher_data && slot_ && !slot_->parked) out.watcher_data = std::move(slot_->data);
    return out;
  }

  // Positions the connection at the next head.
  Verdict ready_step(Drops& drops) {
    ReadBuffer rest;
    if (decoder_) {
      const bool complete = Traits::decoder(decoder_).with([&](BodyDecoder& d) {
        if (!d.is_complete()) return false;
        rest = d.take_input();
        return true;
      });
      if (!complete) {
        // The body was reported read to its end but its decoder disagrees: what follows on the
        // transport is body data, which must never be parsed as the next request.
        drops.add(std::move(decoder_));
        close();
        return {kNextClose, take_transport()};
      }
    }
    const bool buffered = codec_.with([&](Codec& c) {
      if (!rest.empty()) c.read.append(std::move(rest));
      c.reset();
      return !c.read.empty();
    });
    drops.add(std::move(decoder_));
    response_done_ = body_done_ = true;
    if (buffered) return {kReadParse, Obj()};
    if (shutdown_requested_) return {kReadShutdown, Obj()};
    if (!slot_) {
      if (!transport_) return {kReadEof, Obj()};
      idle_read_parked_ = true;
      return {kReadTransport, transport_};
    }
    // The watcher's read is the connection's read now.
    idle_read_parked_ = true;
    return {kReadWatcher, slot_->done};
  }

  bool arm_decision(Obj&& done, Drops& drops) {
    // Without a done event nobody could wait for the watcher: nothing to arm.
    bool arm = done && want_ && !half_close_ && !closed_ && transport_ && !slot_ && body_done_ &&
               !response_done_ && (!may_switch_ || (head_negotiated_ && !switch_decision_));
    if (arm) arm = codec_.with([](Codec& c) { return c.read.empty(); });
    if (arm) {
      // Bytes past the body already belong to the next request: no watcher read is needed, and
      // they wait in the codec's buffer.
      ReadBuffer rest = past_body();
      if (!rest.empty()) {
        codec_.with([&](Codec& c) { c.read.append(std::move(rest)); });
        arm = false;
      }
    }
    if (!arm) {
      drops.add(std::move(done));
      return false;
    }
    slot_.emplace(std::move(done));
    return true;
  }

  uint8_t claim_response(uint64_t seq) {
    if (!is_current(seq)) return kReqStale;
    if (head_pending_) {
      head_pending_ = false;
    } else {
      if (responded_) return kReqAlready;
      responded_ = true;
      if (continue_claimed_) {
        // The body reader is writing `100 Continue`; the head follows it.
        head_pending_ = true;
        return kReqContinue;
      }
    }
    if (peer_closed_) return kReqPeerClosed;
    return kReqOk;
  }

  template <class Fields>
  uint8_t encode_response(uint32_t status, Fields& headers, std::optional<uint64_t> content_length,
                          bool chunked, std::string& head, std::optional<SerializeError>& error) {
    // A request body that has not all arrived when the response starts may never be sent (the
    // client can wait for the answer first): the response says it closes the connection
    // (RFC 9112 section 9.6) rather than leaving the client a kept-alive connection that the
    // drain after the response would close under it.
    const bool body_in =
        body_done_ || !decoder_ ||
        Traits::decoder(decoder_).with([](BodyDecoder& d) { return d.all_received(); });
    const bool keep_alive =
        request_keep_alive_ && keep_alive_enabled_ && !shutdown_requested_ && body_in;
    bool reusable = false;
    codec_.with([&](Codec& c) {
      error = serialize_response(c, status, headers, keep_alive, http10_, content_length, chunked);
      if (error) return;
      head.swap(c.scratch);
      c.scratch.clear();
      reusable = !c.response_is_last && !c.response_close_delimited;
    });
    if (error) return kReqOk;
    reuse_decision_ = reusable;
    switch_decision_ =
        (status == 101 && is_upgrade_) || (status >= 200 && status <= 299 && is_connect_);
    head_negotiated_ = true;
    return kReqOk;
  }

  Obj transport_;
  uint64_t next_seq_ = 1;
  Obj codec_obj_;
  Locked<Codec>& codec_;
  std::optional<WatcherSlot<Obj>> slot_;
  uint64_t seq_ = 0;
  Obj decoder_;
  // Per-request flags.
  bool expect_continue_ = false;
  bool http10_ = false;
  bool request_keep_alive_ = false;
  bool is_upgrade_ = false;
  bool is_connect_ = false;
  bool may_switch_ = false;
  bool responded_ = false;
  bool head_pending_ = false;
  bool response_done_ = true;
  bool body_done_ = true;
  bool read_owned_ = false;
  bool continue_claimed_ = false;
  bool peer_closed_ = false;
  bool head_negotiated_ = false;
  bool switch_decision_ = false;
  bool reuse_decision_ = false;
  bool want_ = false;
  // Connection flags.
  bool closed_ = false;
  bool reusable_ = true;
  bool upgraded_ = false;
  const bool half_close_;
  const bool keep_alive_enabled_;
  bool shutdown_requested_ = false;
  bool idle_read_parked_ = false;
};

}  // namespace velmora::http1
