#include "http1/framing.hpp"

#include "http/chars.hpp"
#include "http/field_list.hpp"

namespace velmora::http1 {

ChunkedPlace chunked_place(std::string_view value) {
  ChunkedPlace out;
  http::FieldList list(value);
  for (std::string_view coding; list.next(coding);) {
    if (!http::ascii_iequals(coding, "chunked")) continue;
    if (list.at_end())
      out.last = is_visible_ascii(value);
    else
      out.before_last = true;
  }
  return out;
}

AgreedLength::Check AgreedLength::add_list(std::string_view value, uint64_t max) {
  http::FieldList list(value);
  Check c = Check::kOk;
  for (std::string_view n; c == Check::kOk && list.next(n);)
    c = member(n, max);
  if (c == Check::kOk && list.empty_members() != 0) c = Check::kInvalid;
  return c;
}

void Persistence::connection(std::string_view value) {
  if (!close_ && value_has_token(value, "close")) close_ = true;
  if (http10_ && !keep_alive_ && value_has_token(value, "keep-alive")) keep_alive_ = true;
}

std::optional<ParseKind> RequestFraming::content_length(std::string_view value, bool& drop) {
  drop = false;
  if (has_te_) {
    drop = true;
    has_cl_ = true;
    return std::nullopt;
  }
  const bool repeat = length_.value().has_value();
  switch (length_.add(value, false, kMaxDeclaredLength)) {
    case AgreedLength::Check::kInvalid:
      return ParseKind::kHeaderContentLengthInvalid;
    case AgreedLength::Check::kTooLarge:
      return ParseKind::kTooLarge;
    case AgreedLength::Check::kOk:
      break;
  }
  drop = repeat;
  has_cl_ = true;
  return std::nullopt;
}

std::optional<ParseKind> RequestFraming::transfer_encoding(std::string_view value,
                                                           bool& drop_lengths) {
  drop_lengths = false;
  if (http10_) return ParseKind::kHeaderTransferEncodingUnexpected;
  if (length_.value()) {
    // A length seen before: every stored content-length field goes.
    drop_lengths = true;
    length_ = AgreedLength();
  }
  // Chunked must be the final coding of the whole list, applied once: after a line that ended
  // in chunked, or before the last coding of this line, the framing is not what the sender
  // meant (RFC 9112 sections 6.1 and 6.3).
  const ChunkedPlace place = chunked_place(value);
  if (te_chunked_ || place.before_last) return ParseKind::kHeaderTransferEncodingInvalid;
  has_te_ = true;
  te_chunked_ = place.last;
  return std::nullopt;
}

ResponseFraming::Body ResponseFraming::decide(uint16_t status, Method request, bool http10) const {
  Body out;
  if (status == 101) {
    out.is_upgrade = true;
  } else if (status == 204 || status == 304 || request == Method::kHead) {
    out.decoded_length = 0;
  } else if (request == Method::kConnect && status >= 200 && status <= 299) {
    out.is_upgrade = true;
  } else if (has_te_) {
    if (http10) {
      out.error = ParseKind::kHeaderTransferEncodingUnexpected;
      return out;
    }
    out.decoded_length = chunked_place(last_te_).last ? kChunkedLength : kCloseLength;
  } else if (has_cl_) {
    const std::optional<uint64_t> len = length_.value();
    if (!len)
      out.error = ParseKind::kHeaderContentLengthInvalid;
    else if (*len > kMaxDeclaredLength)
      out.error = ParseKind::kTooLarge;
    else
      out.decoded_length = *len;
  } else {
    out.decoded_length = kCloseLength;
  }
  return out;
}

}  // namespace velmora::http1
