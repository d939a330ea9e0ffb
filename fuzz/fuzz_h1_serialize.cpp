// Head serialization against the head parser: request and response heads are written from
// arguments and caller fields taken from the input (framing fields included), and every head
// the serializer accepts is parsed back by the other role. The framing the parser reads must be
// the framing of the body encoder the serializer left in flight, and the head must be consumed
// exactly; a head that the parser refuses for its framing fields is a failure. A caller's
// Transfer-Encoding is applied or the call fails; the encoder takes exactly the bytes its head
// announced and refuses more without changing; a URL's userinfo never reaches the request line.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_input.hpp"
#include "http1/head_serializer.hpp"
#include "http1/request_head.hpp"
#include "http1/response_head.hpp"

using namespace velmora;
using fuzz::Input;
using namespace velmora::http1;

namespace {

// Field-value bytes only: no control bytes (a caller's CR or LF is another class of fault).
std::string field_value(Input& in, size_t k) {
  std::string s(in.take(k));
  for (char& c : s)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) c = '0';
  return s;
}

constexpr std::string_view kNames[] = {
    "content-length", "transfer-encoding", "connection",       "trailer", "x-a",
    "date",           "content-length",    "transfer-encoding"};
constexpr std::string_view kCanned[] = {"5",     "10",         "0",    "x",
                                        "5, 5",  "chunked",    "gzip", "chunked, gzip",
                                        "close", "keep-alive", "",     " 5"};
constexpr std::string_view kMethods[] = {"GET", "POST", "HEAD", "CONNECT", "PUT", "X"};
constexpr uint32_t kStatuses[] = {101, 200, 204, 304, 404, 599, 100, 103};

bool framing_refusal(const Error& e) {
  if (e.kind() != Kind::kParse) return false;
  switch (e.parse_kind()) {
    case ParseKind::kHeaderContentLengthInvalid:
    case ParseKind::kHeaderTransferEncodingInvalid:
    case ParseKind::kHeaderTransferEncodingUnexpected:
      return true;
    default:
      return false;
  }
}

// The decoded length a parser must read for the encoder in flight.
uint64_t expected_length(const BodyEncoder& enc) {
  switch (enc.kind) {
    case BodyEncoder::Kind::kLength:
      return enc.remaining;
    case BodyEncoder::Kind::kChunked:
      return kChunkedLength;
    case BodyEncoder::Kind::kClose:
      break;
  }
  return kCloseLength;
}

// The encoder in flight takes what its head announced and refuses a byte more, unchanged.
void check_body_limit(const BodyEncoder& in_flight) {
  if (in_flight.kind != BodyEncoder::Kind::kLength || in_flight.remaining >= SIZE_MAX) return;
  BodyEncoder enc = in_flight;
  const size_t n = size_t(enc.remaining);
  ChunkFrame f;
  if (frame_chunk(enc, n + 1, f)) {
    if (enc.discards || enc.remaining != n) std::abort();
  } else if (!enc.discards || f.take != 0 || n != 0) {
    std::abort();
  }
  if (frame_chunk(enc, n, f) || f.take != n || enc.remaining != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint8_t cfg = in.byte();
  const bool response = cfg & 1;
  const bool http10 = cfg & 2;
  const bool chunked = cfg & 4;
  const bool keep_alive = cfg & 8;
  const std::string_view method = kMethods[in.byte() % 6];
  const uint32_t status = kStatuses[in.byte() % 8];
  std::optional<uint64_t> content_length;
  if (cfg & 16) content_length = in.byte() % 12;

  http::HeaderMap headers;
  headers.add("host", "h");
  for (int i = 0; i < 12 && in.n > 0; ++i) {
    const uint8_t sel = in.byte();
    std::string v =
        sel & 0x80 ? field_value(in, in.byte() % 16) : std::string(kCanned[in.byte() % 12]);
    headers.add(kNames[sel & 7], v);
  }

  Codec codec;
  codec.date_header = false;
  if (!response) {
    // Bits 5 and 6: a URL with userinfo, in absolute form or in authority form.
    const std::string_view url = !(cfg & 0x20)  ? "/"
                                 : (cfg & 0x40) ? "user:pw@h:443"
                                                : "http://user:pw@h/";
    const bool caller_te = headers.find("transfer-encoding") >= 0;
    if (serialize_request(codec, method, url, headers, http10, content_length, chunked)) return 0;
    const std::string_view wire = codec.scratch;
    if (wire.substr(0, wire.find('\n')).find('@') != std::string_view::npos) std::abort();
    // The caller's Transfer-Encoding is what frames the body, never dropped.
    if (caller_te && (codec.encoder->kind != BodyEncoder::Kind::kChunked ||
                      wire.find("\r\ntransfer-encoding: ") == std::string_view::npos))
      std::abort();
    check_body_limit(*codec.encoder);
    const uint64_t want = expected_length(*codec.encoder);
    Codec server;
    server.read.append(codec.scratch);
    RequestHead head;
    ParseOutcome o = parse_request_head(server, head);
    if (o.error) {
      if (framing_refusal(*o.error)) std::abort();
      return 0;
    }
    if (!o.complete || !server.read.empty()) std::abort();
    if (head.decoded_length != want) std::abort();
    return 0;
  }

  // The request this response answers, parsed so the codec records its method.
  std::string req = std::string(method) + " / HTTP/1." + (http10 ? "0" : "1") + "\r\n\r\n";
  codec.read.append(req);
  RequestHead request;
  if (!parse_request_head(codec, request).complete) return 0;
  if (serialize_response(codec, status, headers, keep_alive, http10, content_length, chunked))
    return 0;
  check_body_limit(*codec.encoder);
  const uint64_t want = expected_length(*codec.encoder);
  Codec client;
  http::HeaderMap req_headers;
  req_headers.add("host", "h");
  if (serialize_request(client, method, "/", req_headers, false, std::nullopt, false)) return 0;
  client.read.append(codec.scratch);
  ResponseHead head;
  ParseOutcome o = parse_response_head(client, head);
  if (o.error) {
    if (framing_refusal(*o.error)) std::abort();
    return 0;
  }
  if (!o.complete || !client.read.empty()) std::abort();
  // A protocol switch carries no body, whatever the parser calls it.
  if (head.is_upgrade) return want == 0 ? 0 : (std::abort(), 0);
  if (head.decoded_length != want) std::abort();
  return 0;
}
