#include "ws/connection.hpp"

#include <algorithm>
#include <new>

#include "ws/close_code.hpp"

namespace velmora::ws {
namespace {

bool known_opcode(uint8_t op) {
  return op <= 2 || (op >= 8 && op <= 10);
}

}  // namespace

Connection::Connection(bool client, size_t max_message_size, std::optional<DeflateParams> deflate)
    : deflate_(deflate), max_message_size_(max_message_size), client_(client) {}

// ---- receiving ------------------------------------------------------------------------------

bool Connection::receive(const uint8_t* p, size_t n, EventSink& sink) {
  size_t i = 0;
  while (i < n && !stopped_) {
    if (!in_payload_) {
      size_t used;
      FrameHeaderParser::Result r = parser_.feed(p + i, n - i, used);
      i += used;
      if (r == FrameHeaderParser::Result::kNeedMore) break;
      if (r == FrameHeaderParser::Result::kInvalid)
        return fail(close_code::kProtocolError, parser_.error(), sink);
      if (!begin_frame(parser_.header())) return fail_pending(sink);
      if (remaining_ == 0) {
        if (!end_frame(sink)) return false;
        continue;
      }
      // A whole unfragmented, uncompressed message in this piece goes to the sink straight from
      // the caller's buffer: its payload is copied once, into the result.
      if (!is_control(frame_opcode_) && frame_fin_ && !in_message_ && !message_compressed_ &&
          remaining_ <= n - i) {
        Payload payload{p + i, size_t(remaining_), frame_masked_ ? &key_ : nullptr};
        i += payload.size;
        remaining_ = 0;
        in_payload_ = false;
        if (frame_opcode_ == uint8_t(Opcode::kText) && !validate_text(payload))
          return fail(close_code::kInvalidPayload, "invalid UTF-8 in a text message", sink);
        if (!sink.message(Opcode(frame_opcode_), payload)) return false;
        continue;
      }
      if (storage_ && frame_opcode_ == uint8_t(Opcode::kBinary) && frame_fin_ &&
          !message_compressed_ && remaining_ <= kEagerReserve) {
        stored_ = storage_->acquire(size_t(remaining_));
        stored_size_ = 0;
      }
    }
    const size_t take = size_t(std::min<uint64_t>(remaining_, n - i));
    if (is_control(frame_opcode_)) {
      uint8_t* dst = control_.data() + control_len_;
      if (frame_masked_)
        phase_ = mask_copy(dst, p + i, take, key_, phase_);
      else
        std::memcpy(dst, p + i, take);
      control_len_ = uint8_t(control_len_ + take);
    } else if (stored_) {
      uint8_t* dst = stored_ + stored_size_;
      if (frame_masked_)
        phase_ = mask_copy(dst, p + i, take, key_, phase_);
      else
        std::memcpy(dst, p + i, take);
      stored_size_ += take;
    } else {
      // Room for the rest of the frame at once, up to kEagerReserve: one allocation for a large
      // frame read in pieces, not a doubling per piece.
      const size_t want = std::max(take, size_t(std::min<uint64_t>(remaining_, kEagerReserve)));
      uint8_t* dst = message_.reserve_more(want, max_message_size_ + max_message_size_ / 64 + 64);
      if (!dst) return fail(close_code::kTooBig, "out of memory for the message", sink);
      if (frame_masked_)
        phase_ = mask_copy(dst, p + i, take, key_, phase_);
      else
        std::memcpy(dst, p + i, take);
      message_.commit(take);
      // Text is checked as it arrives, so bad bytes fail before the message ends.
      if (message_opcode_ == uint8_t(Opcode::kText) && !message_compressed_ &&
          !utf8_.feed(dst, take))
        return fail(close_code::kInvalidPayload, "invalid UTF-8 in a text message", sink);
    }
    i += take;
    remaining_ -= take;
    if (remaining_ == 0) {
      in_payload_ = false;
      if (!end_frame(sink)) return false;
    }
  }
  return true;
}

bool Connection::begin_frame(const FrameHeader& h) {
  const char* error = nullptr;
  const bool control = is_control(h.opcode);
  const bool compressible = deflate_ && (h.opcode == 1 || h.opcode == 2);
  uint16_t code = close_code::kProtocolError;
  if (!known_opcode(h.opcode))
    error = "unknown opcode";
  else if (h.rsv & ~(compressible ? 4 : 0))
    error = "reserved bits set without an extension that defines them";
  else if (h.masked != !client_)
    error = client_ ? "masked frame from the server" : "unmasked frame from the client";
  else if (control && !h.fin)
    error = "fragmented control frame";
  else if (control && h.length > kMaxControlPayload)
    error = "control frame payload over 125 bytes";
  else if (h.opcode == 0 && !in_message_)
    error = "continuation frame without a message";
  else if ((h.opcode == 1 || h.opcode == 2) && in_message_)
    error = "new message before the end of a fragmented one";
  if (!error && !control) {
    // The compressed form may exceed the limit a little on incompressible data.
    const bool compressed = h.opcode == 0 ? message_compressed_ : (h.rsv & 4) != 0;
    const uint64_t limit =
        compressed ? max_message_size_ + max_message_size_ / 64 + 64 : max_message_size_;
    const uint64_t have = h.opcode == 0 ? message_.size() : 0;
    if (h.length > limit - std::min(have, limit)) {
      error = "message too big";
      code = close_code::kTooBig;
    }
  }
  if (error) {
    pending_error_ = error;
    pending_code_ = code;
    return false;
  }
  if (!control && h.opcode != 0) {
    in_message_ = !h.fin;
    message_opcode_ = h.opcode;
    message_compressed_ = (h.rsv & 4) != 0;
    message_.clear();
    utf8_.reset();
  }
  frame_opcode_ = h.opcode;
  frame_fin_ = h.fin;
  frame_masked_ = h.masked;
  key_ = h.key;
  phase_ = 0;
  remaining_ = h.length;
  control_len_ = 0;
  in_payload_ = true;
  return true;
}

bool Connection::fail_pending(EventSink& sink) {
  return fail(pending_code_, pending_error_, sink);
}

bool Connection::end_frame(EventSink& sink) {
  in_payload_ = false;
  if (!is_control(frame_opcode_)) {
    return frame_fin_ ? finish_message(sink) : true;
  }
  const Payload payload{control_.data(), control_len_, nullptr};
  switch (Opcode(frame_opcode_)) {
    case Opcode::kPing:
      if (!handshake_.sent()) owe_pong();
      return sink.message(Opcode::kPing, payload);
    case Opcode::kPong:
      return sink.message(Opcode::kPong, payload);
    default:
      return received_close(sink);
  }
}

bool Connection::finish_message(EventSink& sink) {
  if (stored_) {
    Payload payload{stored_, stored_size_, nullptr};
    payload.stored = true;
    stored_ = nullptr;
    const bool ok = sink.message(Opcode::kBinary, payload);
    storage_->release();  // (when the sink copied the payload instead of taking it)
    return ok;
  }
  const bool text = message_opcode_ == uint8_t(Opcode::kText);
  Payload payload{message_.data(), message_.size(), nullptr};
  if (message_compressed_) {
    if (!decompressor_) {
      const bool reset =
          client_ ? deflate_->server_no_context_takeover : deflate_->client_no_context_takeover;
      const int bits =
          client_ ? deflate_->server_max_window_bits : deflate_->client_max_window_bits;
      decompressor_ = std::make_unique<MessageDecompressor>(bits, reset);
    }
    switch (
        decompressor_->decompress(message_.data(), message_.size(), max_message_size_, inflated_)) {
      case MessageDecompressor::Result::kOk:
        break;
      case MessageDecompressor::Result::kInvalid:
        return fail(close_code::kInvalidPayload, "invalid compressed data", sink);
      default:
        return fail(close_code::kTooBig, "message too big", sink);
    }
    payload = Payload{inflated_.data(), inflated_.size(), nullptr};
    if (text) {
      utf8_.reset();
      utf8_.feed(payload.data, payload.size);
    }
  }
  if (text && !utf8_.complete())
    return fail(close_code::kInvalidPayload, "invalid UTF-8 in a text message", sink);
  payload.ascii = text && utf8_.ascii();
  in_message_ = false;
  message_compressed_ = false;
  const bool ok = sink.message(Opcode(message_opcode_), payload);
  message_.release_if_above(kKeepBuffer);
  inflated_.release_if_above(kKeepBuffer);
  return ok;
}

bool Connection::received_close(EventSink& sink) {
  if (control_len_ == 1) return fail(close_code::kProtocolError, "close payload of 1 byte", sink);
  uint16_t code = close_code::kNoStatus;
  std::string_view reason;
  if (control_len_ >= 2) {
    code = uint16_t(control_[0] << 8 | control_[1]);
    if (!is_sendable_close_code(code))
      return fail(close_code::kProtocolError, "invalid close code", sink);
    reason = {reinterpret_cast<const char*>(control_.data() + 2), size_t(control_len_ - 2)};
    bool ascii;
    if (!validate_utf8(control_.data() + 2, reason.size(), ascii))
      return fail(close_code::kInvalidPayload, "invalid UTF-8 in the close reason", sink);
  }
  stopped_ = true;
  handshake_.apply(CloseHandshake::Event::kReceive);
  // The echo carries the peer's code (RFC 6455 section 5.5.1); an empty Close is echoed empty.
  if (!handshake_.sent()) queue_close(code == close_code::kNoStatus ? 0 : code, {});
  return sink.close(code, reason, false);
}

bool Connection::fail(uint16_t code, const char* reason, EventSink& sink) {
  if (stopped_) return true;
  stopped_ = true;
  failed_ = true;
  drop_stored();
  if (!handshake_.sent()) queue_close(code, reason);
  return sink.close(code, reason, true);
}

void Connection::queue_close(uint32_t code, std::string_view reason) {
  uint8_t payload[kMaxControlPayload];
  size_t n = 0;
  if (code) {
    payload[0] = uint8_t(code >> 8);
    payload[1] = uint8_t(code);
    reason = reason.substr(0, kMaxControlPayload - 2);
    if (!reason.empty()) std::memcpy(payload + 2, reason.data(), reason.size());
    n = 2 + reason.size();
  }
  // A pong still owed goes before it (outgoing writes the pong first).
  close_len_ = uint8_t(write_frame(close_.data(), 0, Opcode::kClose, payload, n));
  handshake_.apply(CloseHandshake::Event::kSend);
}

bool Connection::validate_text(Payload& p) {
  if (!p.key) return validate_utf8(p.data, p.size, p.ascii);
  // Unmask a block at a time into a scratch buffer that stays in the L1 cache.
  uint8_t block[4096];
  Utf8Stream s;
  size_t phase = 0;
  for (size_t at = 0; at < p.size; at += sizeof block) {
    const size_t k = std::min(sizeof block, p.size - at);
    phase = mask_copy(block, p.data + at, k, *p.key, phase);
    if (!s.feed(block, k)) return false;
  }
  p.ascii = s.ascii();
  return s.complete();
}

void Connection::drop_stored() {
  if (stored_) {
    stored_ = nullptr;
    storage_->release();
  }
}

// ---- sending --------------------------------------------------------------------------------

void Connection::take_outgoing(uint8_t* out) {
  std::memcpy(out, pongs_.data(), pongs_.size());
  std::memcpy(out + pongs_.size(), close_.data(), close_len_);
  drop_pongs();
  close_len_ = 0;
}

void Connection::owe_pong() {
  // Past the bound only the latest ping is answered: the older pongs still owed are dropped.
  if (pong_count_ == kMaxOwedPongs) drop_pongs();
  uint8_t frame[kMaxHeaderSize + kMaxControlPayload];
  const size_t n = write_frame(frame, 0, Opcode::kPong, control_.data(), control_len_);
  try {
    pongs_.append(reinterpret_cast<const char*>(frame), n);
    ++pong_count_;
  } catch (const std::bad_alloc&) {
    drop_pongs();  // no memory for the answer: the peer's next ping asks again
  }
}

void Connection::drop_pongs() {
  pongs_.clear();
  pong_count_ = 0;
}

size_t Connection::write_frame(uint8_t* out, uint8_t rsv, Opcode opcode, const uint8_t* p,
                               size_t n) {
  if (!client_) {
    size_t at = write_frame_header(out, true, rsv, uint8_t(opcode), n, nullptr);
    if (n) std::memcpy(out + at, p, n);
    return at + n;
  }
  const MaskKey key = random_mask_key();
  size_t at = write_frame_header(out, true, rsv, uint8_t(opcode), n, &key);
  mask_copy(out + at, p, n, key, 0);
  return at + n;
}

Connection::SendError Connection::send_header(bool text, size_t n, uint8_t* out, size_t& len) {
  if (handshake_.sent()) return SendError::kClosed;
  len =
      write_frame_header(out, true, 0, uint8_t(text ? Opcode::kText : Opcode::kBinary), n, nullptr);
  return SendError::kNone;
}

Connection::SendError Connection::prepare_message(bool text, const uint8_t*& p, size_t& n,
                                                  uint8_t& rsv) {
  (void)text;
  if (handshake_.sent()) return SendError::kClosed;
  if (!deflate_) return SendError::kNone;
  if (!compressor_) {
    const bool reset =
        client_ ? deflate_->client_no_context_takeover : deflate_->server_no_context_takeover;
    const int bits = client_ ? deflate_->client_max_window_bits : deflate_->server_max_window_bits;
    compressor_ = std::make_unique<MessageCompressor>(bits, reset);
  }
  if (!compressor_->compress(p, n, inflated_)) return SendError::kNoMemory;
  p = inflated_.data();
  n = inflated_.size();
  rsv = 4;
  return SendError::kNone;
}

Connection::SendError Connection::check_close(uint32_t code, std::string_view reason) const {
  if (handshake_.sent()) return SendError::kClosed;
  if (code == 0 || code == close_code::kNoStatus)
    return reason.empty() ? SendError::kNone : SendError::kBadReason;
  if (!is_sendable_close_code(code)) return SendError::kBadCode;
  bool ascii;
  if (reason.size() > kMaxControlPayload - 2 ||
      !validate_utf8(reinterpret_cast<const uint8_t*>(reason.data()), reason.size(), ascii))
    return SendError::kBadReason;
  return SendError::kNone;
}

}  // namespace velmora::ws
