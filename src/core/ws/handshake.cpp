#include "ws/handshake.hpp"

#include "http/chars.hpp"
#include "ws/extensions.hpp"

namespace velmora::ws {
namespace {

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Whether any line of `name` lists `token` (case-insensitive).
bool lists_token(const http::HeaderMap& h, std::string_view name, std::string_view token) {
  int32_t e = h.find(name);
  if (e < 0) return false;
  bool found = false;
  h.for_each_value(uint32_t(e), [&](std::string_view v) {
    std::vector<std::string_view> items;
    split_tokens(v, items);  // a malformed list still counts the tokens before the fault
    for (std::string_view t : items)
      found = found || http::ascii_iequals(t, token);
  });
  return found;
}

}  // namespace

bool is_valid_key(std::string_view key) {
  if (key.size() != 24 || key[22] != '=' || key[23] != '=') return false;
  for (size_t i = 0; i < 21; ++i)
    if (!is_base64_char(key[i])) return false;
  // The 22nd character carries the last 2 bits of byte 16; its low 4 bits must be zero.
  const char c = key[21];
  return c == 'A' || c == 'Q' || c == 'g' || c == 'w';
}

std::optional<RequestCheck> check_request(std::string_view method, bool http2,
                                          const http::HeaderMap& headers) {
  if (!http2 && !lists_token(headers, "upgrade", "websocket")) return std::nullopt;
  RequestCheck r;
  auto refuse = [&](int status, const char* message) {
    r.status = status;
    r.message = message;
    return r;
  };
  // Subprotocols and extensions are read whatever the outcome, for the caller's log.
  if (int32_t e = headers.find("sec-websocket-protocol"); e >= 0) {
    bool ok = true;
    headers.for_each_value(uint32_t(e),
                           [&](std::string_view v) { ok = split_tokens(v, r.subprotocols) && ok; });
    if (!ok) return refuse(400, "malformed Sec-WebSocket-Protocol");
  }
  if (int32_t e = headers.find("sec-websocket-extensions"); e >= 0)
    headers.for_each_value(uint32_t(e), [&](std::string_view v) {
      if (!r.extensions.empty()) r.extensions += ", ";
      r.extensions.append(v);
    });
  if (!http2) {
    if (method != "GET") return refuse(400, "a WebSocket opening handshake must be a GET");
    if (!lists_token(headers, "connection", "upgrade"))
      return refuse(400, "missing the upgrade token in Connection");
  }
  // Exactly one Sec-WebSocket-Version line, `13` (RFC 6455 section 4.2.2 answers any other with
  // 426 and the version supported).
  const int32_t version = headers.find("sec-websocket-version");
  if (version < 0 || headers.value_count(uint32_t(version)) != 1 ||
      headers.first_value(uint32_t(version)) != "13")
    return refuse(426, "unsupported Sec-WebSocket-Version");
  if (!http2) {
    const int32_t key = headers.find("sec-websocket-key");
    if (key < 0 || headers.value_count(uint32_t(key)) != 1 ||
        !is_valid_key(headers.first_value(uint32_t(key))))
      return refuse(400, "Sec-WebSocket-Key is not 16 bytes in base64");
    r.key = headers.first_value(uint32_t(key));
  }
  return r;
}

}  // namespace velmora::ws
