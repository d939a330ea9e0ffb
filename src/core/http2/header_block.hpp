// A decoded HTTP/2 header block: the pseudo-header fields and the regular fields, checked
// against the message rules of RFC 9113 sections 8.2 and 8.3 as they are decoded.
//
// A rule violation marks the block malformed but does not stop decoding: the HPACK context
// must take in the whole block (RFC 9113 section 4.3) so that later blocks still decode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/header_map.hpp"
#include "http2/hpack_decoder.hpp"

namespace velmora::http2 {

class HeaderBlock final : public hpack::FieldSink {
 public:
  // `receives_requests`: the block comes from a client (the local side is the server).
  explicit HeaderBlock(bool receives_requests) : requests_(receives_requests) {}

  hpack::Error field(std::string_view name, std::string_view value, bool never_indexed) override;
  // Applies the rules that need the whole block (required pseudo-header fields).
  void finish();

  bool malformed() const { return malformed_; }

  enum Pseudo : uint8_t { kMethod, kScheme, kAuthority, kPath, kProtocol, kPseudoCount };
  bool has(Pseudo p) const { return present_ & (1u << p); }
  std::string_view pseudo(Pseudo p) const {
    return std::string_view(arena_).substr(spans_[p].off, spans_[p].len);
  }
  int status() const { return status_; }  // -1 when absent

  http::HeaderMap& fields() { return fields_; }
  const http::HeaderMap& fields() const { return fields_; }

  // The first content-length value parsed as an unsigned integer.
  std::optional<uint64_t> content_length() const { return content_length_; }
  bool content_length_invalid() const { return content_length_invalid_; }

 private:
  struct Span {
    uint32_t off = 0;
    uint32_t len = 0;
  };
  bool requests_;
  bool malformed_ = false;
  bool regular_seen_ = false;
  bool content_length_seen_ = false;
  bool content_length_invalid_ = false;
  uint8_t present_ = 0;  // bit per Pseudo, plus bit 7 for :status
  int status_ = -1;
  std::optional<uint64_t> content_length_;
  Span spans_[kPseudoCount];
  std::string arena_;
  http::HeaderMap fields_;
};

}  // namespace velmora::http2
