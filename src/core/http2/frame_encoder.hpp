// The send half of the HTTP/2 frame codec: serializers for every frame the local side sends,
// with the HPACK encoder whose dynamic table persists across header blocks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http2/frame.hpp"
#include "http2/hpack_encoder.hpp"

namespace velmora::http2 {

class FrameEncoder {
 public:
  void set_max_frame_size(uint32_t v) { max_frame_size_ = v; }
  uint32_t max_frame_size() const { return max_frame_size_; }
  void set_header_table_size(uint32_t v) { hpack_.set_max_size(v); }
  const hpack::Encoder& hpack() const { return hpack_; }

  void settings(const Settings& s, std::string& out) const;
  void settings_ack(std::string& out) const;
  // False when `data` is longer than the send max frame size (nothing is written).
  bool data(uint32_t stream_id, std::string_view data, bool end_stream, std::string& out) const;
  void window_update(uint32_t stream_id, uint32_t increment, std::string& out) const;
  void ping(std::string_view payload8, bool ack, std::string& out) const;
  void go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug,
               std::string& out) const;
  void rst_stream(uint32_t stream_id, uint32_t error_code, std::string& out) const;

  // A header block: begin_headers, add_field for each field (pseudo-header fields first), then
  // end_headers, which frames it as HEADERS plus CONTINUATION frames of at most the send max
  // frame size.
  void begin_headers(std::string& out);
  void add_field(std::string_view name, std::string_view value, std::string& out) {
    hpack_.encode_field(name, value, out);
  }
  void end_headers(uint32_t stream_id, bool end_stream, std::string& out);

 private:
  hpack::Encoder hpack_;
  uint32_t max_frame_size_ = kDefaultMaxFrameSize;
  size_t block_start_ = 0;
};

}  // namespace velmora::http2
