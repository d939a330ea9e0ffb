// The protocol state of one WebSocket after its opening handshake (RFC 6455 sections 5-7, with
// permessage-deflate from RFC 7692), either role: frames in, events out through a sink; frames
// out as whole messages; the control replies owed to the peer, bounded to one pong and one
// Close.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ws/byte_buffer.hpp"
#include "ws/close_handshake.hpp"
#include "ws/deflate.hpp"
#include "ws/deflate_params.hpp"
#include "ws/frame.hpp"
#include "ws/mask.hpp"
#include "ws/utf8_stream.hpp"

namespace velmora::ws {

// The payload of a received message or control frame: still masked in the caller's buffer
// (`key` set: copy_to unmasks while copying, the one copy the payload takes) or plain bytes.
struct Payload {
  const uint8_t* data = nullptr;
  size_t size = 0;
  const MaskKey* key = nullptr;
  bool ascii = false;   // text only: every byte is below 0x80
  bool stored = false;  // the bytes are those MessageStorage::acquire gave: nothing to copy

  void copy_to(uint8_t* out) const {
    if (key)
      mask_copy(out, data, size, *key, 0);
    else if (size)
      std::memcpy(out, data, size);
  }
};

// Receives the events of Connection::receive, in wire order. A false return (memory
// exhausted) stops the call.
class EventSink {
 public:
  // kText, kBinary, kPing or kPong. The payload is valid during the call only.
  virtual bool message(Opcode opcode, const Payload& payload) = 0;
  // The peer's Close (failed false), or a violation by the peer (failed true). Last event.
  virtual bool close(uint16_t code, std::string_view reason, bool failed) = 0;

 protected:
  ~EventSink() = default;
};

// Storage its caller makes for a binary message whose size is known when its only frame
// begins (unfragmented, uncompressed, read in pieces): the payload is unmasked straight into
// it, and the EventSink finds it there (Payload::stored) instead of copying it out.
class MessageStorage {
 public:
  // `n` bytes for the payload, or null: the connection reassembles the message itself.
  virtual uint8_t* acquire(size_t n) = 0;
  // Drops what acquire gave and the sink did not take (the connection failed meanwhile).
  virtual void release() = 0;

 protected:
  ~MessageStorage() = default;
};

class Connection {
 public:
  // Reassembly and compression memory a connection keeps between messages.
  static constexpr size_t kKeepBuffer = 64 * 1024;
  // The most a frame header makes the connection allocate before its payload arrives: a peer
  // announcing more pays as it sends.
  static constexpr size_t kEagerReserve = 1 << 20;
  // The pongs owed at most (outgoing_size): past that only the latest ping is answered.
  static constexpr uint8_t kMaxOwedPongs = 16;

  enum class SendError : uint8_t { kNone, kClosed, kNoMemory, kTooLarge, kBadCode, kBadReason };

  Connection(bool client, size_t max_message_size, std::optional<DeflateParams> deflate);

  // Feeds received bytes (any split). False when the sink failed; the events already given stay
  // given, the rest of the input is dropped.
  bool receive(const uint8_t* p, size_t n, EventSink& sink);

  // Where binary messages read in pieces go (null, the default: the reassembly buffer). The
  // storage outlives the connection's use of it.
  void set_storage(MessageStorage* storage) { storage_ = storage; }

  // The control replies owed to the peer: size, then write (which clears them).
  size_t outgoing_size() const { return pongs_.size() + close_len_; }
  void take_outgoing(uint8_t* out);

  // A whole message or control frame as wire bytes, written into storage from `alloc(size)`
  // (uint8_t*, null when memory is exhausted: kNoMemory).
  template <class Alloc>
  SendError send_message(bool text, const uint8_t* p, size_t n, Alloc&& alloc);
  template <class Alloc>
  SendError send_control(Opcode opcode, const uint8_t* p, size_t n, Alloc&& alloc);
  // A server without compression sends a data frame's payload as it is: the header alone, into
  // `out` (kMaxHeaderSize bytes), its size in `len`; the caller writes the payload after it.
  bool payload_as_is() const { return !client_ && !deflate_; }
  SendError send_header(bool text, size_t n, uint8_t* out, size_t& len);
  // Our Close: code 0 or 1005 sends an empty Close. kClosed when a Close was already sent
  // (then nothing is written).
  template <class Alloc>
  SendError send_close(uint32_t code, std::string_view reason, Alloc&& alloc);

  CloseHandshake::Phase phase() const { return handshake_.phase(); }
  bool close_sent() const { return handshake_.sent(); }
  bool close_received() const { return handshake_.received(); }
  bool failed() const { return failed_; }
  bool client() const { return client_; }

 private:
  // A frame ready to write: header and payload; sized by frame_size.
  size_t frame_size(size_t payload) const { return frame_header_size(payload, client_) + payload; }
  size_t write_frame(uint8_t* out, uint8_t rsv, Opcode opcode, const uint8_t* p, size_t n);
  SendError prepare_message(bool text, const uint8_t*& p, size_t& n, uint8_t& rsv);
  SendError check_close(uint32_t code, std::string_view reason) const;

  bool begin_frame(const FrameHeader& h);
  bool end_frame(EventSink& sink);
  void owe_pong();
  void drop_pongs();
  bool finish_message(EventSink& sink);
  bool received_close(EventSink& sink);
  // Fails the connection: reports `code` and queues our Close with it (RFC 6455 section 7.1.7).
  bool fail(uint16_t code, const char* reason, EventSink& sink);
  bool fail_pending(EventSink& sink);
  void queue_close(uint32_t code, std::string_view reason);
  bool validate_text(Payload& p);
  void drop_stored();

  FrameHeaderParser parser_;
  Utf8Stream utf8_;
  ByteBuffer message_;   // the data message being reassembled (plain, or still compressed)
  ByteBuffer inflated_;  // a decompressed message; also the compressed form of a sent one
  MessageStorage* storage_ = nullptr;
  uint8_t* stored_ = nullptr;  // the binary message being read into storage_, if any
  size_t stored_size_ = 0;
  std::unique_ptr<MessageCompressor> compressor_;
  std::unique_ptr<MessageDecompressor> decompressor_;
  std::optional<DeflateParams> deflate_;
  size_t max_message_size_;

  // The frame being read.
  uint64_t remaining_ = 0;
  MaskKey key_{};
  size_t phase_ = 0;
  uint8_t frame_opcode_ = 0;
  bool frame_fin_ = false;
  bool frame_masked_ = false;
  bool in_payload_ = false;

  // The fragmented message being read.
  bool in_message_ = false;
  uint8_t message_opcode_ = 0;
  bool message_compressed_ = false;

  // A control frame's payload.
  std::array<uint8_t, kMaxControlPayload> control_{};
  uint8_t control_len_ = 0;

  // The replies owed: the pongs to the pings not answered yet (at most kMaxOwedPongs: past
  // that only the latest is, as RFC 6455 section 5.5.3 allows), then a Close; whole frames.
  std::string pongs_;
  std::array<uint8_t, kMaxHeaderSize + kMaxControlPayload> close_{};
  uint8_t pong_count_ = 0;
  uint8_t close_len_ = 0;

  CloseHandshake handshake_;
  bool client_;
  bool failed_ = false;
  bool stopped_ = false;            // a Close was reported: input is ignored from then on
  const char* pending_error_ = "";  // why begin_frame refused a frame
  uint16_t pending_code_ = 0;
};

template <class Alloc>
Connection::SendError Connection::send_message(bool text, const uint8_t* p, size_t n,
                                               Alloc&& alloc) {
  uint8_t rsv = 0;
  if (SendError e = prepare_message(text, p, n, rsv); e != SendError::kNone) return e;
  uint8_t* out = alloc(frame_size(n));
  if (!out) return SendError::kNoMemory;
  write_frame(out, rsv, text ? Opcode::kText : Opcode::kBinary, p, n);
  inflated_.release_if_above(kKeepBuffer);  // the compressed form, when there was one
  return SendError::kNone;
}

template <class Alloc>
Connection::SendError Connection::send_control(Opcode opcode, const uint8_t* p, size_t n,
                                               Alloc&& alloc) {
  if (handshake_.sent()) return SendError::kClosed;
  if (n > kMaxControlPayload) return SendError::kTooLarge;
  uint8_t* out = alloc(frame_size(n));
  if (!out) return SendError::kNoMemory;
  write_frame(out, 0, opcode, p, n);
  return SendError::kNone;
}

template <class Alloc>
Connection::SendError Connection::send_close(uint32_t code, std::string_view reason,
                                             Alloc&& alloc) {
  if (SendError e = check_close(code, reason); e != SendError::kNone) return e;
  uint8_t payload[kMaxControlPayload];
  size_t n = 0;
  if (code != 0 && code != 1005) {
    payload[0] = uint8_t(code >> 8);
    payload[1] = uint8_t(code);
    if (!reason.empty()) std::memcpy(payload + 2, reason.data(), reason.size());
    n = 2 + reason.size();
  }
  uint8_t* out = alloc(frame_size(n));
  if (!out) return SendError::kNoMemory;
  write_frame(out, 0, Opcode::kClose, payload, n);
  handshake_.apply(CloseHandshake::Event::kSend);
  drop_pongs();  // nothing follows a Close
  return SendError::kNone;
}

}  // namespace velmora::ws
