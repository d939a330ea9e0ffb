// The receive half of the HTTP/2 frame codec: splits received bytes into frames, validates
// what a frame alone can tell (sizes, padding, stream-id zero rules, SETTINGS values),
// assembles header blocks across CONTINUATION frames and decodes them with HPACK.
//
// Decoded frames go to a FrameSink as they complete. Payload views point into the caller's
// bytes or the receive buffer and are valid only during the sink call, so a frame that arrives
// whole in one call is copied once, by the sink, into whatever it keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/errors.hpp"
#include "http2/frame.hpp"
#include "http2/header_block.hpp"
#include "http2/hpack_decoder.hpp"

namespace velmora::http2 {

class FrameSink {
 public:
  // Each returns false when the sink failed (it keeps its own error); decoding then stops.
  virtual bool on_data(uint32_t stream_id, bool end_stream, std::string_view data,
                       uint32_t flow_controlled_len) = 0;
  virtual bool on_headers(uint32_t stream_id, bool end_stream,
                          std::unique_ptr<HeaderBlock>& block) = 0;
  virtual bool on_priority(uint32_t stream_id) = 0;
  virtual bool on_rst_stream(uint32_t stream_id, uint32_t error_code) = 0;
  virtual bool on_settings(bool ack, const Settings& settings) = 0;
  virtual bool on_ping(bool ack, std::string_view payload) = 0;
  virtual bool on_go_away(uint32_t last_stream_id, uint32_t error_code,
                          std::string_view debug_data) = 0;
  virtual bool on_window_update(uint32_t stream_id, uint32_t increment) = 0;
  virtual bool on_stream_error(uint32_t stream_id, uint32_t error_code) = 0;

 protected:
  ~FrameSink() = default;
};

class FrameDecoder {
 public:
  enum class Status : uint8_t { kOk, kConnectionError, kSinkFailed };

  // `receives_requests`: the local side is the server (header blocks are requests).
  explicit FrameDecoder(bool receives_requests) : requests_(receives_requests) {}

  // Decodes `data`, handing every completed frame to `sink` in wire order. A connection error
  // fills `error`; the codec is not meant to be used after one.
  Status receive(const uint8_t* data, size_t n, FrameSink& sink, PendingError& error);

  // Server side of a connection: the first bytes received must be the client preface.
  void set_preface_mode(bool on) { preface_mode_ = on; }
  bool preface_done() const { return preface_matched_ == kPreface.size(); }
  // RFC 9113 section 3.4: the peer's first frame must be a SETTINGS frame (not an ACK); any
  // other is a connection error PROTOCOL_ERROR.
  void set_settings_first(bool on) { settings_first_ = on; }
  // Accumulates bytes of the preface: 0 incomplete, 1 complete (the rest goes to the receive
  // buffer), -1 diverged.
  int feed_preface(const uint8_t* data, size_t n);

  size_t buffered() const { return buf_.size(); }

  void set_max_frame_size(uint32_t v) {
    max_frame_size_ = v;
    recompute_continuation_limit();
  }
  uint32_t max_frame_size() const { return max_frame_size_; }
  void set_max_header_list_size(uint64_t v) {
    max_header_list_size_ = v;
    recompute_continuation_limit();
  }
  uint64_t max_header_list_size() const { return max_header_list_size_; }
  uint64_t max_continuation_frames() const { return max_continuations_; }
  void set_header_table_size(uint32_t v) { hpack_.set_allowed_max(v); }
  const hpack::Decoder& hpack() const { return hpack_; }

  size_t heap_bytes() const;

 private:
  struct Partial {
    uint32_t stream_id = 0;
    bool end_stream = false;
    bool stream_error = false;  // a priority on its own stream: reset once the block is read
    uint64_t accumulated = 0;   // fragment bytes received so far
    std::unique_ptr<HeaderBlock> block;
    hpack::BlockProgress progress;
    std::string pending;  // the cut-short tail of the last representation
  };

  void recompute_continuation_limit();
  Status frame(const uint8_t* p, uint32_t len, uint8_t type, uint8_t flags, uint32_t stream,
               FrameSink& sink, PendingError& error);
  Status headers(const uint8_t* p, uint32_t len, uint8_t flags, uint32_t stream, FrameSink& sink,
                 PendingError& error);
  Status continuation(const uint8_t* p, uint32_t len, uint8_t flags, uint32_t stream,
                      FrameSink& sink, PendingError& error);
  // Decodes a fragment of the pending block; on completion hands the event to the sink.
  Status decode_fragment(const uint8_t* p, size_t n, bool end_headers, FrameSink& sink,
                         PendingError& error);
  Status settings(const uint8_t* p, uint32_t len, uint8_t flags, uint32_t stream, FrameSink& sink,
                  PendingError& error);

  bool requests_;
  bool preface_mode_ = false;
  bool settings_first_ = false;
  uint8_t preface_matched_ = 0;
  std::string preface_buf_;
  std::string buf_;
  std::unique_ptr<Partial> partial_;
  uint64_t continuation_count_ = 0;
  uint64_t max_header_list_size_ = kDefaultMaxHeaderListSize;
  uint64_t max_continuations_ = 1280;
  uint32_t max_frame_size_ = kDefaultMaxFrameSize;
  hpack::Decoder hpack_;
};

}  // namespace velmora::http2
