#include "http2/stream_error.hpp"

namespace velmora::http2 {

std::string_view initiator_name(Initiator i) {
  switch (i) {
    case Initiator::kUser:
      return "user";
    case Initiator::kLibrary:
      return "library";
    case Initiator::kRemote:
      break;
  }
  return "remote";
}

PendingError StreamError::to_pending() const {
  switch (variant_) {
    case Variant::kReset:
      return PendingError(ExcClass::kH2Stream, ErrArg::integer(stream_id_),
                          ErrArg::integer(reason_), ErrArg::text(initiator_name(initiator_)));
    case Variant::kGoAway:
      return PendingError(ExcClass::kH2Protocol, ErrArg::integer(reason_),
                          ErrArg::text(reason_description(reason_)));
    case Variant::kIo:
      break;
  }
  return PendingError(ExcClass::kConnectionClosed,
                      data_.empty() ? ErrArg::text(io_kind_description(io_)) : ErrArg::text(data_));
}

}  // namespace velmora::http2
