// The HTTP/2 frame objects: immutable records of decoded frames, built by the frame decoder's
// sink and consumed by the receive path. Their layouts and makers are shared with the
// connection object, which makes them while decoding under its decoder lock and reads them in
// its receive path.
//
// Frames hold only C values and leaf objects (bytes, a HeaderMap), none of which the cyclic
// collector tracks: no frame takes part in a reference cycle, and making one never starts a
// collection, so they may be made while an object lock is held.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "http/lock.hpp"
#include "http2/frame_decoder.hpp"
#include "http2/header_block.hpp"
#include "python/pyref.hpp"

namespace velmora::py {

struct FrameDataObject {
  PyObject_HEAD uint32_t stream_id;
  uint32_t flow_controlled_len;
  bool end_stream;
  Ref data;  // bytes, padding removed
};

struct FrameHeadersObject {
  PyObject_HEAD uint32_t stream_id;
  bool end_stream;
  bool end_headers;
  // The pseudo-header fields (read-only) and the regular fields, which move into `headers` on
  // its first read.
  std::unique_ptr<http2::HeaderBlock> block;
  Locked<Ref> headers;  // the HeaderMap of the regular fields, made on first read
};

struct FrameSettingsObject {
  PyObject_HEAD bool ack;
  http2::Settings settings;
};

struct FramePingObject {
  PyObject_HEAD bool ack;
  char data[8];
};

struct FrameGoAwayObject {
  PyObject_HEAD uint32_t last_stream_id;
  uint32_t error_code;
  Ref debug_data;  // bytes
};

// H2FrameWindowUpdate (value = increment), H2FrameRstStream and H2FrameStreamError (value =
// error code), H2FramePriority (value unused).
struct FrameStreamValueObject {
  PyObject_HEAD uint32_t stream_id;
  uint32_t value;
};

enum class FrameKind : uint8_t {
  kHeaders,
  kData,
  kSettings,
  kWindowUpdate,
  kPing,
  kGoAway,
  kRstStream,
  kPriority,
  kStreamError,
};
inline constexpr int kFrameKindCount = 9;

// The class object of a frame kind (borrowed; created on first need).
PyObject* frame_type(FrameKind kind);
// The kind of a frame object, or -1 when `o` is not one.
int frame_kind_of(PyObject* o);

// The layout behind a frame object whose kind the caller checked.
template <class T>
T& frame_as(PyObject* o) {
  return *reinterpret_cast<T*>(o);
}

// New frame objects (null with an exception set when allocation fails). None runs Python code.
PyObject* new_data_frame(uint32_t stream_id, bool end_stream, std::string_view data,
                         uint32_t flow_controlled_len);
PyObject* new_headers_frame(uint32_t stream_id, bool end_stream,
                            std::unique_ptr<http2::HeaderBlock> block);
PyObject* new_settings_frame(bool ack, const http2::Settings& settings);
PyObject* new_ping_frame(bool ack, std::string_view payload);  // payload: 8 bytes
PyObject* new_go_away_frame(uint32_t last_stream_id, uint32_t error_code,
                            std::string_view debug_data);
// H2FrameWindowUpdate, H2FrameRstStream, H2FramePriority or H2FrameStreamError.
PyObject* new_stream_value_frame(FrameKind kind, uint32_t stream_id, uint32_t value);

// The regular fields of a HEADERS frame object as its HeaderMap (a new reference; made on the
// first call, under the frame's lock).
PyObject* headers_frame_fields(PyObject* frame);

// A sink that turns every decoded frame into its object, collected in wire order.
class FrameCollector final : public http2::FrameSink {
 public:
  FrameCollector() = default;
  FrameCollector(const FrameCollector&) = delete;
  FrameCollector& operator=(const FrameCollector&) = delete;

  bool on_data(uint32_t stream_id, bool end_stream, std::string_view data,
               uint32_t flow_controlled_len) override;
  bool on_headers(uint32_t stream_id, bool end_stream,
                  std::unique_ptr<http2::HeaderBlock>& block) override;
  bool on_priority(uint32_t stream_id) override;
  bool on_rst_stream(uint32_t stream_id, uint32_t error_code) override;
  bool on_settings(bool ack, const http2::Settings& settings) override;
  bool on_ping(bool ack, std::string_view payload) override;
  bool on_go_away(uint32_t last_stream_id, uint32_t error_code,
                  std::string_view debug_data) override;
  bool on_window_update(uint32_t stream_id, uint32_t increment) override;
  bool on_stream_error(uint32_t stream_id, uint32_t error_code) override;

  // Releases the collected frames.
  void clear() { frames_.clear(); }
  // Builds the list (call without object locks held: a list may start the collector).
  PyObject* take_list();
  // The outcome of one decoder call that fed this sink, once the decoder's lock is released:
  // the list of frames, or the decoder's error raised (the frames are released).
  PyObject* take_result(http2::FrameDecoder::Status status, const PendingError& error);

 private:
  bool push(PyObject* o);
  std::vector<Ref> frames_;
};

// Registers H2Codec and the nine frame classes, in table order.
int setup_h2_frame_classes(PyObject* m);
// The H2Codec class (defined in py_h2_codec.cpp).
PyObject* h2_codec_type();

}  // namespace velmora::py
