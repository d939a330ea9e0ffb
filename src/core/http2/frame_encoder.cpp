#include "http2/frame_encoder.hpp"

#include <cstring>

namespace velmora::http2 {
namespace {

uint8_t* grow(std::string& out, size_t n) {
  size_t at = out.size();
  out.resize(at + n);
  return reinterpret_cast<uint8_t*>(out.data() + at);
}

}  // namespace

void FrameEncoder::settings(const Settings& s, std::string& out) const {
  uint32_t count = 0;
  for (int id = 1; id <= kEnableConnectProtocol; ++id)
    count += s.has(SettingId(id));
  uint8_t* w = grow(out, kFrameHeaderSize + 6 * count);
  write_frame_header(w, 6 * count, FrameType::kSettings, 0, 0);
  w += kFrameHeaderSize;
  for (int id = 1; id <= kEnableConnectProtocol; ++id) {
    if (!s.has(SettingId(id))) continue;
    w[0] = 0;
    w[1] = uint8_t(id);
    write_u32(w + 2, s.get(SettingId(id)));
    w += 6;
  }
}

void FrameEncoder::settings_ack(std::string& out) const {
  write_frame_header(grow(out, kFrameHeaderSize), 0, FrameType::kSettings, flags::kAck, 0);
}

bool FrameEncoder::data(uint32_t stream_id, std::string_view data, bool end_stream,
                        std::string& out) const {
  if (data.size() > max_frame_size_) return false;
  uint8_t* w = grow(out, kFrameHeaderSize + data.size());
  write_frame_header(w, uint32_t(data.size()), FrameType::kData, end_stream ? flags::kEndStream : 0,
                     stream_id);
  if (!data.empty()) std::memcpy(w + kFrameHeaderSize, data.data(), data.size());
  return true;
}

void FrameEncoder::window_update(uint32_t stream_id, uint32_t increment, std::string& out) const {
  uint8_t* w = grow(out, kFrameHeaderSize + 4);
  write_frame_header(w, 4, FrameType::kWindowUpdate, 0, stream_id);
  write_u32(w + kFrameHeaderSize, increment & 0x7fffffffu);
}

void FrameEncoder::ping(std::string_view payload8, bool ack, std::string& out) const {
  uint8_t* w = grow(out, kFrameHeaderSize + 8);
  write_frame_header(w, 8, FrameType::kPing, ack ? flags::kAck : 0, 0);
  std::memcpy(w + kFrameHeaderSize, payload8.data(), 8);
}

void FrameEncoder::go_away(uint32_t last_stream_id, uint32_t error_code, std::string_view debug,
                           std::string& out) const {
  uint8_t* w = grow(out, kFrameHeaderSize + 8 + debug.size());
  write_frame_header(w, uint32_t(8 + debug.size()), FrameType::kGoAway, 0, 0);
  write_u32(w + kFrameHeaderSize, last_stream_id & 0x7fffffffu);
  write_u32(w + kFrameHeaderSize + 4, error_code);
  if (!debug.empty()) std::memcpy(w + kFrameHeaderSize + 8, debug.data(), debug.size());
}

void FrameEncoder::rst_stream(uint32_t stream_id, uint32_t error_code, std::string& out) const {
  uint8_t* w = grow(out, kFrameHeaderSize + 4);
  write_frame_header(w, 4, FrameType::kRstStream, 0, stream_id);
  write_u32(w + kFrameHeaderSize, error_code);
}

void FrameEncoder::begin_headers(std::string& out) {
  block_start_ = out.size();
  grow(out, kFrameHeaderSize);
  hpack_.begin_block(out);
}

void FrameEncoder::end_headers(uint32_t stream_id, bool end_stream, std::string& out) {
  size_t block_len = out.size() - block_start_ - kFrameHeaderSize;
  uint8_t es = end_stream ? flags::kEndStream : 0;
  if (block_len <= max_frame_size_) {
    write_frame_header(reinterpret_cast<uint8_t*>(out.data() + block_start_), uint32_t(block_len),
                       FrameType::kHeaders, uint8_t(es | flags::kEndHeaders), stream_id);
    return;
  }
  // Split: HEADERS with the first max_frame_size bytes, then CONTINUATION frames.
  std::string block = out.substr(block_start_ + kFrameHeaderSize);
  out.resize(block_start_);
  size_t pos = 0;
  bool first = true;
  while (pos < block.size()) {
    size_t chunk = std::min<size_t>(max_frame_size_, block.size() - pos);
    bool last = pos + chunk == block.size();
    uint8_t f = uint8_t((first ? es : 0) | (last ? flags::kEndHeaders : 0));
    uint8_t* w = grow(out, kFrameHeaderSize + chunk);
    write_frame_header(w, uint32_t(chunk), first ? FrameType::kHeaders : FrameType::kContinuation,
                       f, stream_id);
    std::memcpy(w + kFrameHeaderSize, block.data() + pos, chunk);
    pos += chunk;
    first = false;
  }
}

}  // namespace velmora::http2
