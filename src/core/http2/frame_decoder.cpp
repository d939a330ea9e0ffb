#include "http2/frame_decoder.hpp"

#include <algorithm>

namespace velmora::http2 {
namespace {

using Status = FrameDecoder::Status;

// Frame-load errors: connection errors. Each keeps its name; the code it carries is the one
// RFC 9113 assigns to the fault (PROTOCOL_ERROR unless the call names another).
enum class LoadError : uint8_t {
  kBadFrameSize,
  kTooMuchPadding,
  kInvalidSettingValue,
  kInvalidWindowUpdateValue,
  kInvalidPayloadLength,
  kInvalidPayloadAckSettings,
  kInvalidStreamId,
  kMalformedMessage,
};

constexpr std::string_view kLoadMessages[] = {
    "failed to load frame: BadFrameSize",         "failed to load frame: TooMuchPadding",
    "failed to load frame: InvalidSettingValue",  "failed to load frame: InvalidWindowUpdateValue",
    "failed to load frame: InvalidPayloadLength", "failed to load frame: InvalidPayloadAckSettings",
    "failed to load frame: InvalidStreamId",      "failed to load frame: MalformedMessage",
};

constexpr uint32_t kProtocolError = 1;
constexpr uint32_t kFlowControlError = 3;
constexpr uint32_t kFrameSizeError = 6;

Status load_error(LoadError e, PendingError& error, uint32_t reason = kProtocolError) {
  error = protocol_error(reason, kLoadMessages[size_t(e)]);
  return Status::kConnectionError;
}

// RFC 9113 section 4.2: a frame too short or too long for what its type carries.
Status size_error(LoadError e, PendingError& error) {
  return load_error(e, error, kFrameSizeError);
}

Status conn_error(uint32_t reason, std::string_view message, PendingError& error) {
  error = protocol_error(reason, message);
  return Status::kConnectionError;
}

// "HPACK decoding failed: Hpack(<name>)" for every HPACK error but the two with their own
// handling.
std::string_view hpack_failure_message(hpack::Error e) {
  switch (e) {
    case hpack::Error::kUnexpectedEndOfStream:
      return "HPACK decoding failed: Hpack(UnexpectedEndOfStream)";
    case hpack::Error::kIntegerUnderflow:
      return "HPACK decoding failed: Hpack(IntegerUnderflow)";
    case hpack::Error::kStringUnderflow:
      return "HPACK decoding failed: Hpack(StringUnderflow)";
    case hpack::Error::kInvalidRepresentation:
      return "HPACK decoding failed: Hpack(InvalidRepresentation)";
    case hpack::Error::kInvalidIntegerPrefix:
      return "HPACK decoding failed: Hpack(InvalidIntegerPrefix)";
    case hpack::Error::kInvalidTableIndex:
      return "HPACK decoding failed: Hpack(InvalidTableIndex)";
    case hpack::Error::kInvalidHuffmanCode:
      return "HPACK decoding failed: Hpack(InvalidHuffmanCode)";
    case hpack::Error::kInvalidUtf8:
      return "HPACK decoding failed: Hpack(InvalidUtf8)";
    case hpack::Error::kInvalidStatusCode:
      return "HPACK decoding failed: Hpack(InvalidStatusCode)";
    case hpack::Error::kInvalidPseudoheader:
      return "HPACK decoding failed: Hpack(InvalidPseudoheader)";
    case hpack::Error::kInvalidMaxDynamicSize:
      return "HPACK decoding failed: Hpack(InvalidMaxDynamicSize)";
    case hpack::Error::kIntegerOverflow:
      return "HPACK decoding failed: Hpack(IntegerOverflow)";
    default:
      break;
  }
  return "HPACK decoding failed: Hpack(InvalidRepresentation)";
}

}  // namespace

void FrameDecoder::recompute_continuation_limit() {
  uint64_t m = std::max<uint64_t>(1, max_header_list_size_ / max_frame_size_);
  max_continuations_ = std::max<uint64_t>(5, m + m / 4);
}

size_t FrameDecoder::heap_bytes() const {
  size_t n = buf_.capacity() > 15 ? buf_.capacity() + 1 : 0;
  n += preface_buf_.capacity() > 15 ? preface_buf_.capacity() + 1 : 0;
  if (partial_) n += sizeof(Partial) + sizeof(HeaderBlock) + partial_->pending.capacity();
  return n + hpack_.table().heap_bytes();
}

int FrameDecoder::feed_preface(const uint8_t* data, size_t n) {
  preface_buf_.append(reinterpret_cast<const char*>(data), n);
  int m = match_preface(preface_buf_);
  if (m == 1) {
    buf_.append(preface_buf_, kPreface.size(), std::string::npos);
    std::string().swap(preface_buf_);
    preface_matched_ = uint8_t(kPreface.size());
  }
  return m;
}

Status FrameDecoder::receive(const uint8_t* data, size_t n, FrameSink& sink, PendingError& error) {
  // Bytes that followed the preface in feed_preface may hold whole frames; the loop below
  // expects the buffer to hold at most part of one, so decode them together with `data`.
  if (buf_.size() >= kFrameHeaderSize &&
      buf_.size() >= kFrameHeaderSize + read_u24(reinterpret_cast<const uint8_t*>(buf_.data()))) {
    std::string held = std::move(buf_);
    buf_.clear();
    held.append(reinterpret_cast<const char*>(data), n);
    return receive(reinterpret_cast<const uint8_t*>(held.data()), held.size(), sink, error);
  }
  size_t off = 0;
  if (preface_mode_ && preface_matched_ < kPreface.size()) {
    size_t take = std::min(n, kPreface.size() - preface_matched_);
    if (std::string_view(reinterpret_cast<const char*>(data), take) !=
        kPreface.substr(preface_matched_, take))
      return conn_error(1, "bad client connection preface", error);
    preface_matched_ = uint8_t(preface_matched_ + take);
    off = take;
    if (preface_matched_ < kPreface.size()) return Status::kOk;
  }
  for (;;) {
    if (!buf_.empty()) {
      // Complete the frame held in the buffer first.
      if (buf_.size() < kFrameHeaderSize) {
        size_t take = std::min(kFrameHeaderSize - buf_.size(), n - off);
        buf_.append(reinterpret_cast<const char*>(data + off), take);
        off += take;
        if (buf_.size() < kFrameHeaderSize) return Status::kOk;
      }
      const auto* h = reinterpret_cast<const uint8_t*>(buf_.data());
      uint32_t len = read_u24(h);
      if (len > max_frame_size_)
        return conn_error(6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE", error);
      size_t need = kFrameHeaderSize + len - buf_.size();
      size_t take = std::min(need, n - off);
      buf_.append(reinterpret_cast<const char*>(data + off), take);
      off += take;
      if (take < need) return Status::kOk;
      h = reinterpret_cast<const uint8_t*>(buf_.data());
      Status s =
          frame(h + kFrameHeaderSize, len, h[3], h[4], read_u32(h + 5) & 0x7fffffffu, sink, error);
      if (buf_.capacity() > 65536)
        std::string().swap(buf_);
      else
        buf_.clear();
      if (s != Status::kOk) return s;
      continue;
    }
    // Frames that arrived whole are decoded in place.
    while (n - off >= kFrameHeaderSize) {
      const uint8_t* h = data + off;
      uint32_t len = read_u24(h);
      if (len > max_frame_size_)
        return conn_error(6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE", error);
      if (n - off - kFrameHeaderSize < len) break;
      off += kFrameHeaderSize + len;
      Status s =
          frame(h + kFrameHeaderSize, len, h[3], h[4], read_u32(h + 5) & 0x7fffffffu, sink, error);
      if (s != Status::kOk) return s;
    }
    buf_.append(reinterpret_cast<const char*>(data + off), n - off);
    return Status::kOk;
  }
}

Status FrameDecoder::frame(const uint8_t* p, uint32_t len, uint8_t type, uint8_t fl,
                           uint32_t stream, FrameSink& sink, PendingError& error) {
  if (settings_first_) {
    if (type != uint8_t(FrameType::kSettings) || (fl & flags::kAck))
      return conn_error(1, "expected SETTINGS as the first frame", error);
    settings_first_ = false;
  }
  if (partial_ && type != uint8_t(FrameType::kContinuation))
    return conn_error(1, "expected CONTINUATION frame", error);
  auto ok = [](bool sink_ok) { return sink_ok ? Status::kOk : Status::kSinkFailed; };
  switch (FrameType(type)) {
    case FrameType::kData: {
      if (stream == 0) return load_error(LoadError::kInvalidStreamId, error);
      const uint8_t* d = p;
      uint32_t dlen = len;
      if (fl & flags::kPadded) {
        if (len == 0) return size_error(LoadError::kTooMuchPadding, error);
        if (p[0] >= len) return load_error(LoadError::kTooMuchPadding, error);
        d = p + 1;
        dlen = len - 1 - p[0];
      }
      return ok(sink.on_data(stream, fl & flags::kEndStream,
                             std::string_view(reinterpret_cast<const char*>(d), dlen), len));
    }
    case FrameType::kHeaders:
      return headers(p, len, fl, stream, sink, error);
    case FrameType::kPriority:
      if (stream == 0) return conn_error(1, "PRIORITY frame with stream ID 0", error);
      // RFC 9113 section 6.3: a stream error, the connection goes on.
      if (len != 5) return ok(sink.on_stream_error(stream, kFrameSizeError));
      if ((read_u32(p) & 0x7fffffffu) == stream) return ok(sink.on_stream_error(stream, 1));
      return ok(sink.on_priority(stream));
    case FrameType::kRstStream:
      // RFC 9113 section 6.4: RST_STREAM on stream 0 is a connection error.
      if (stream == 0) return load_error(LoadError::kInvalidStreamId, error);
      if (len != 4) return size_error(LoadError::kInvalidPayloadLength, error);
      return ok(sink.on_rst_stream(stream, read_u32(p)));
    case FrameType::kSettings:
      return settings(p, len, fl, stream, sink, error);
    case FrameType::kPushPromise:
      return conn_error(1, "PUSH_PROMISE received but server push is disabled", error);
    case FrameType::kPing:
      if (stream != 0) return load_error(LoadError::kInvalidStreamId, error);
      if (len != 8) return size_error(LoadError::kBadFrameSize, error);
      return ok(
          sink.on_ping(fl & flags::kAck, std::string_view(reinterpret_cast<const char*>(p), 8)));
    case FrameType::kGoAway:
      // RFC 9113 section 6.8: GOAWAY applies to the connection, never to a stream.
      if (stream != 0) return load_error(LoadError::kInvalidStreamId, error);
      if (len < 8) return size_error(LoadError::kBadFrameSize, error);
      return ok(sink.on_go_away(read_u32(p) & 0x7fffffffu, read_u32(p + 4),
                                std::string_view(reinterpret_cast<const char*>(p + 8), len - 8)));
    case FrameType::kWindowUpdate: {
      if (len != 4) return size_error(LoadError::kBadFrameSize, error);
      uint32_t inc = read_u32(p) & 0x7fffffffu;
      if (inc == 0) return load_error(LoadError::kInvalidWindowUpdateValue, error);
      return ok(sink.on_window_update(stream, inc));
    }
    case FrameType::kContinuation:
      return continuation(p, len, fl, stream, sink, error);
  }
  return Status::kOk;  // unknown types are dropped
}

Status FrameDecoder::settings(const uint8_t* p, uint32_t len, uint8_t fl, uint32_t stream,
                              FrameSink& sink, PendingError& error) {
  if (stream != 0) return load_error(LoadError::kInvalidStreamId, error);
  Settings s;
  if (fl & flags::kAck) {
    if (len != 0) return size_error(LoadError::kInvalidPayloadLength, error);
    return sink.on_settings(true, s) ? Status::kOk : Status::kSinkFailed;
  }
  if (len % 6 != 0) return size_error(LoadError::kInvalidPayloadAckSettings, error);
  for (uint32_t i = 0; i < len; i += 6) {
    uint16_t id = uint16_t((p[i] << 8) | p[i + 1]);
    uint32_t v = read_u32(p + i + 2);
    switch (id) {
      case kEnablePush:
      case kEnableConnectProtocol:
        if (v > 1) return load_error(LoadError::kInvalidSettingValue, error);
        break;
      case kInitialWindowSize:
        // RFC 9113 section 6.5.2.
        if (v > kMaxWindowSize)
          return load_error(LoadError::kInvalidSettingValue, error, kFlowControlError);
        break;
      case kMaxFrameSize:
        if (v < kDefaultMaxFrameSize || v > kMaxMaxFrameSize)
          return load_error(LoadError::kInvalidSettingValue, error);
        break;
      default:
        break;
    }
    if ((id >= 1 && id <= 6) || id == kEnableConnectProtocol) s.set(SettingId(id), v);
  }
  return sink.on_settings(false, s) ? Status::kOk : Status::kSinkFailed;
}

Status FrameDecoder::headers(const uint8_t* p, uint32_t len, uint8_t fl, uint32_t stream,
                             FrameSink& sink, PendingError& error) {
  if (stream == 0) return load_error(LoadError::kInvalidStreamId, error);
  uint32_t pos = 0, pad = 0;
  if (fl & flags::kPadded) {
    if (len == 0) return size_error(LoadError::kMalformedMessage, error);
    pad = p[0];
    pos = 1;
  }
  bool self_dependency = false;
  if (fl & flags::kPriority) {
    if (len - pos < 5) return size_error(LoadError::kMalformedMessage, error);
    self_dependency = (read_u32(p + pos) & 0x7fffffffu) == stream;
    pos += 5;
  }
  if (pad > len - pos) return load_error(LoadError::kTooMuchPadding, error);
  // Even a block that will be refused is decoded: the HPACK context must stay in step.
  partial_ = std::make_unique<Partial>();
  partial_->stream_id = stream;
  partial_->end_stream = fl & flags::kEndStream;
  partial_->stream_error = self_dependency;
  partial_->block = std::make_unique<HeaderBlock>(requests_);
  continuation_count_ = 0;
  return decode_fragment(p + pos, len - pos - pad, fl & flags::kEndHeaders, sink, error);
}

Status FrameDecoder::continuation(const uint8_t* p, uint32_t len, uint8_t fl, uint32_t stream,
                                  FrameSink& sink, PendingError& error) {
  if (!partial_) return conn_error(1, "received unexpected CONTINUATION frame", error);
  if (stream != partial_->stream_id)
    return conn_error(1, "CONTINUATION frame stream ID does not match previous frame stream ID",
                      error);
  bool end = fl & flags::kEndHeaders;
  if (!end && ++continuation_count_ > max_continuations_)
    return conn_error(11, "too_many_continuations", error);
  if (partial_->progress.over_limit && max_header_list_size_ < partial_->accumulated + len)
    return conn_error(9, "CONTINUATION frame header block size over ignorable limit", error);
  return decode_fragment(p, len, end, sink, error);
}

Status FrameDecoder::decode_fragment(const uint8_t* p, size_t n, bool end_headers, FrameSink& sink,
                                     PendingError& error) {
  Partial& part = *partial_;
  part.accumulated += n;
  const uint8_t* src = p;
  size_t src_len = n;
  if (!part.pending.empty()) {
    part.pending.append(reinterpret_cast<const char*>(p), n);
    src = reinterpret_cast<const uint8_t*>(part.pending.data());
    src_len = part.pending.size();
  }
  size_t used = 0;
  hpack::Error e =
      hpack_.decode(src, src_len, part.progress, max_header_list_size_, *part.block, used);
  if (e != hpack::Error::kNone) {
    if (e == hpack::Error::kHeaderListWayTooLarge)
      return conn_error(11, "decoded header list size over abuse limit", error);
    // RFC 9113 section 4.3: a field block that cannot be decoded is COMPRESSION_ERROR.
    if (!hpack::is_cut_short(e) || end_headers)
      return conn_error(9, hpack_failure_message(e), error);
  }
  if (!end_headers) {
    // Keep only the cut-short tail for the next CONTINUATION frame.
    if (part.pending.empty())
      part.pending.assign(reinterpret_cast<const char*>(src + used), src_len - used);
    else
      part.pending.erase(0, used);
    return Status::kOk;
  }
  std::unique_ptr<Partial> done = std::move(partial_);
  done->block->finish();
  if (done->stream_error || done->block->malformed() || done->progress.over_limit)
    return sink.on_stream_error(done->stream_id, 1) ? Status::kOk : Status::kSinkFailed;
  return sink.on_headers(done->stream_id, done->end_stream, done->block) ? Status::kOk
                                                                         : Status::kSinkFailed;
}

}  // namespace velmora::http2
