#include "http1/head_serializer.hpp"

#include <array>
#include <charconv>
#include <vector>

#include "http/chars.hpp"
#include "http/date.hpp"
#include "http/uri.hpp"
#include "http1/framing.hpp"

namespace velmora::http1 {
namespace {

// The three digits of every status code 100..999.
constexpr std::array<char, 3000> build_status_digits() {
  std::array<char, 3000> t{};
  for (int s = 0; s < 1000; ++s) {
    t[size_t(s) * 3] = char('0' + s / 100);
    t[size_t(s) * 3 + 1] = char('0' + (s / 10) % 10);
    t[size_t(s) * 3 + 2] = char('0' + s % 10);
  }
  return t;
}
constexpr std::array<char, 3000> kStatusDigits = build_status_digits();

bool any_value_has(const http::HeaderMap& h, std::string_view name, std::string_view token) {
  int32_t e = h.find(name);
  if (e < 0) return false;
  bool found = false;
  h.for_each_value(uint32_t(e), [&](std::string_view v) {
    if (!found && value_has_token(v, token)) found = true;
  });
  return found;
}

// The Content-Length values of entry `e` agree on one number (with `lists`, each value may be a
// comma list). nullopt when there is no entry, a value does not parse or two disagree.
template <class Fields>
[[gnu::always_inline]] inline std::optional<uint64_t> agreed_length(const Fields& h, int32_t e,
                                                                    bool lists) {
  AgreedLength agreed;
  if (e >= 0) h.for_each_value(uint32_t(e), [&](std::string_view v) { agreed.add(v, lists); });
  return agreed.value();
}

// A Transfer-Encoding the framing cannot stand behind: one that names chunked anywhere but as
// the very last coding (RFC 9112 section 6.1: chunked is applied once, last; the framing adds
// it once at the end), or a value that is not visible ASCII, in which no recipient finds the
// chunked coding the body carries.
template <class Fields>
bool bad_transfer_encoding(const Fields& h, uint32_t e) {
  const uint32_t count = h.value_count(e);
  uint32_t k = 0;
  bool bad = false;
  h.for_each_value(e, [&](std::string_view v) {
    const ChunkedPlace place = chunked_place(v);
    if (!is_visible_ascii(v) || place.before_last || (place.last && k + 1 != count)) bad = true;
    ++k;
  });
  return bad;
}

// The connection option an outgoing head carries: on HTTP/1.0 keep-alive, when the connection
// is to persist and the caller's first Connection value does not already say so; on HTTP/1.1
// close, when it is not to persist (RFC 9112 section 9.3).
template <class Fields>
void announce_persistence(Fields& h, bool http10, bool keep_alive) {
  if (http10) {
    int32_t c = h.find("connection");
    bool first_keep_alive = c >= 0 && value_has_token(h.first_value(uint32_t(c)), "keep-alive");
    if (!first_keep_alive && keep_alive) h.set("connection", "keep-alive");
  } else if (!keep_alive) {
    h.set("connection", "close");
  }
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  out.append(buf, size_t(r.ptr - buf));
}

void append_name(std::string& out, std::string_view name, bool title) {
  if (!title) {
    out += name;
    return;
  }
  bool up = true;
  for (char c : name) {
    out.push_back(up && c >= 'a' && c <= 'z' ? char(c - 32) : c);
    up = c == '-';
  }
}

void append_field(std::string& out, std::string_view name, std::string_view value, bool title) {
  append_name(out, name, title);
  out += ": ";
  out += value;
  out += "\r\n";
}

// All values of an entry joined by ", ".
template <class Fields>
std::string joined(const Fields& h, uint32_t e) {
  std::string v;
  h.for_each_value(e, [&](std::string_view x) {
    if (!v.empty()) v += ", ";
    v += x;
  });
  return v;
}

PendingError value_error(std::string message) {
  return PendingError(ExcClass::kValueError, ErrArg::text(std::move(message)));
}

template <class Fields>
size_t head_reserve(const Fields& h) {
  return 30 * size_t(h.size()) + 30;
}

}  // namespace

bool connection_close(const http::HeaderMap& headers) {
  return any_value_has(headers, "connection", "close");
}

std::string_view reason_phrase(uint32_t s) {
  switch (s) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 102:
      return "Processing";
    case 103:
      return "Early Hints";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 203:
      return "Non-Authoritative Information";
    case 204:
      return "No Content";
    case 205:
      return "Reset Content";
    case 206:
      return "Partial Content";
    case 207:
      return "Multi-Status";
    case 208:
      return "Already Reported";
    case 226:
      return "IM Used";
    case 300:
      return "Multiple Choices";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 305:
      return "Use Proxy";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 407:
      return "Proxy Authentication Required";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Range Not Satisfiable";
    case 417:
      return "Expectation Failed";
    case 418:
      return "I'm a teapot";
    case 421:
      return "Misdirected Request";
    case 422:
      return "Unprocessable Content";
    case 423:
      return "Locked";
    case 424:
      return "Failed Dependency";
    case 425:
      return "Too Early";
    case 426:
      return "Upgrade Required";
    case 428:
      return "Precondition Required";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 451:
      return "Unavailable For Legal Reasons";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    case 506:
      return "Variant Also Negotiates";
    case 507:
      return "Insufficient Storage";
    case 508:
      return "Loop Detected";
    case 510:
      return "Not Extended";
    case 511:
      return "Network Authentication Required";
  }
  return "<none>";
}

std::optional<SerializeError> serialize_request(Codec& codec, std::string_view method,
                                                std::string_view url, http::HeaderMap& h,
                                                bool http10, std::optional<uint64_t> content_length,
                                                bool chunked) {
  bool token = !method.empty();
  for (unsigned char c : method)
    token &= http::is_token_char(c);
  if (!token) return value_error("invalid method: invalid HTTP method");
  const Method m = classify_method(method);
  http::Uri uri;
  if (auto e = http::parse_uri(url, uri))
    return value_error("invalid url: " + std::string(http::uri_error_text(*e)));

  const bool conn_close = connection_close(h);
  announce_persistence(h, http10, !conn_close);

  enum class Want { kNone, kKnown, kUnknown };
  const Want want = chunked ? Want::kUnknown : content_length ? Want::kKnown : Want::kNone;
  bool drop_cl = false;
  BodyEncoder enc = BodyEncoder::length(0);
  const int32_t cl = h.find("content-length");
  const std::optional<uint64_t> agreed = agreed_length(h, cl, true);
  const int32_t te = h.find("transfer-encoding");
  // The Content-Length written must be the length framed: the caller's fields must agree with
  // each other and with a `content_length` given beside them, unless a Transfer-Encoding
  // replaces them (below), and they are written as that one number.
  const bool te_frames = !http10 && want != Want::kNone && te >= 0;
  // A Transfer-Encoding the caller wrote is applied, or the request is refused: dropping it
  // would send a body framed otherwise than the caller declared (none at all without a body,
  // or on HTTP/1.0, which has no transfer codings).
  if (te >= 0 && !te_frames) return Error::user(UserKind::kUnexpectedHeader);
  if (!te_frames && cl >= 0) {
    if (!agreed || (want == Want::kKnown && *content_length != *agreed))
      return Error::user(UserKind::kUnexpectedHeader);
    std::string n;
    append_u64(n, *agreed);
    h.set("content-length", n);
  }
  if (te_frames && bad_transfer_encoding(h, uint32_t(te)))
    return Error::user(UserKind::kUnexpectedHeader);
  if (!http10) {
    if (want == Want::kNone) {
      // A Content-Length the caller wrote announces a body: the encoder must carry exactly that
      // many bytes, or the peer would read the next request as the rest of this body.
      if (agreed) enc = BodyEncoder::length(*agreed);
    } else if (te >= 0) {
      enc = BodyEncoder::chunked();
      // The last coding must be chunked: append it to the last value when it is not.
      std::vector<std::string> values;
      h.for_each_value(uint32_t(te), [&](std::string_view v) { values.emplace_back(v); });
      if (!chunked_place(values.back()).last) {
        values.back() += ", chunked";
        h.set("transfer-encoding", values[0]);
        for (size_t i = 1; i < values.size(); ++i)
          h.add("transfer-encoding", values[i]);
      }
      // RFC 9112 section 6.2: no Content-Length beside Transfer-Encoding, whether or not the
      // caller's values agree; a recipient could otherwise frame the body by either field.
      drop_cl = true;
    } else if (agreed) {
      enc = BodyEncoder::length(*agreed);
    } else if (want == Want::kUnknown) {
      if (m != Method::kGet && m != Method::kHead && m != Method::kConnect) {
        h.set("transfer-encoding", "chunked");
        enc = BodyEncoder::chunked();
      }
    } else {
      std::string n;
      append_u64(n, *content_length);
      h.set("content-length", n);
      enc = BodyEncoder::length(*content_length);
    }
  } else {
    if (agreed) {
      enc = BodyEncoder::length(*agreed);
    } else if (want == Want::kKnown) {
      std::string n;
      append_u64(n, *content_length);
      h.set("content-length", n);
      enc = BodyEncoder::length(*content_length);
    }
  }
  if (enc.kind == BodyEncoder::Kind::kChunked) {
    int32_t t = h.find("trailer");
    if (t >= 0) {
      std::vector<std::string> names;
      h.for_each_value(uint32_t(t), [&](std::string_view v) { add_trailer_names(v, names); });
      enc.trailer_names = std::move(names);
    }
  }

  std::string& out = codec.scratch;
  out.clear();
  out.reserve(head_reserve(h) + url.size() + method.size());
  out += method;
  out += ' ';
  // Credentials in a URL never go on the wire in the target (RFC 9110 section 4.2.4, RFC 9112
  // section 3.2): through a proxy the request line would hand them to the proxy.
  switch (uri.form) {
    case http::Uri::Form::kAbsolute:
      out += uri.scheme_name();
      out += "://";
      out += http::without_userinfo(uri.authority);
      if (uri.path_and_query.empty() || uri.path_and_query.front() != '/') out += '/';
      out += uri.path_and_query;
      break;
    case http::Uri::Form::kAuthority:
      out += http::without_userinfo(uri.authority);
      break;
    case http::Uri::Form::kOrigin:
    case http::Uri::Form::kAsterisk:
      out += uri.path_and_query;
      break;
  }
  out += http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n";
  h.for_each([&](uint32_t e, std::string_view v) {
    std::string_view name = h.name(e);
    if (drop_cl && name == "content-length") return;
    append_field(out, name, v, false);
  });
  out += "\r\n";

  codec.recorded_method = m;
  codec.encoder = std::move(enc);
  codec.request_connection_close = conn_close;
  return std::nullopt;
}

template <class Fields>
std::optional<SerializeError> serialize_response(Codec& codec, uint32_t status, Fields& h,
                                                 bool keep_alive, bool http10,
                                                 std::optional<uint64_t> content_length,
                                                 bool chunked) {
  if (status < 100 || status > 999) return value_error("invalid status: invalid status code");
  const Method req = codec.recorded_method;
  const bool is_head = req == Method::kHead;
  const bool connect_2xx = req == Method::kConnect && status >= 200 && status <= 299;
  const bool informational = status < 200;

  announce_persistence(h, http10, keep_alive);

  bool is_last;
  if (status == 101 || connect_2xx) {
    is_last = true;
  } else if (informational) {
    return Error::user(UserKind::kUnsupportedStatusCode);
  } else {
    is_last = !keep_alive;
  }
  const bool bodyless = is_head || informational || status == 204 || status == 304 || connect_2xx;
  const bool no_length_field = informational || status == 204 || status == 304 || connect_2xx;

  enum class Want { kNone, kKnown, kUnknown };
  const Want want = chunked ? Want::kUnknown : content_length ? Want::kKnown : Want::kNone;
  const bool title = codec.title_case_headers;

  std::string& out = codec.scratch;
  out.clear();
  out.reserve(head_reserve(h) + (codec.date_header ? 40 : 0));
  if (status == 200 && !http10) {
    out += "HTTP/1.1 200 OK\r\n";
  } else {
    out += http10 ? "HTTP/1.0 " : "HTTP/1.1 ";
    out.append(&kStatusDigits[size_t(status) * 3], 3);
    out += ' ';
    out += reason_phrase(status);
    out += "\r\n";
  }

  enum class Framing { kNone, kLength, kChunked };
  Framing framing = Framing::kNone;
  std::optional<BodyEncoder> enc;
  std::optional<std::vector<std::string>> trailer_names;
  bool has_date = false;
  auto unexpected = [&]() -> std::optional<SerializeError> {
    out.clear();
    return Error::user(UserKind::kUnexpectedHeader);
  };

  for (uint32_t e = 0; e < h.name_count(); ++e) {
    std::string_view name = h.name(e);
    if (name == "connection") {
      std::string v = joined(h, e);
      h.for_each_value(e, [&](std::string_view x) {
        if (value_has_token(x, "close")) is_last = true;
      });
      append_field(out, name, v, title);
    } else if (name == "content-length") {
      if (framing == Framing::kChunked || connect_2xx) return unexpected();
      // Without a body (and not answering HEAD) the caller's value is replaced by the
      // automatic one below.
      if (want == Want::kNone && !is_head) continue;
      // Written once, as the number framed: every value must be that one number.
      const std::optional<uint64_t> len = agreed_length(h, int32_t(e), false);
      if (!len || (want == Want::kKnown && *len != *content_length)) return unexpected();
      framing = Framing::kLength;
      enc = BodyEncoder::length(want == Want::kNone ? 0 : *len);
      // RFC 9110 section 8.6: never on a 1xx or 204 response.
      if (informational || status == 204) continue;
      std::string n;
      append_u64(n, *len);
      append_field(out, name, n, title);
    } else if (name == "transfer-encoding") {
      if (framing == Framing::kLength || connect_2xx) return unexpected();
      if (http10 || bodyless) continue;
      if (bad_transfer_encoding(h, e)) return unexpected();
      std::string v = joined(h, e);
      std::string_view last;
      h.for_each_value(e, [&](std::string_view x) { last = x; });
      if (!chunked_place(last).last) v += ", chunked";
      append_field(out, name, v, title);
      enc = BodyEncoder::chunked();
      framing = Framing::kChunked;
    } else if (name == "trailer") {
      if (http10 || bodyless) continue;
      append_field(out, name, joined(h, e), title);
      if (!trailer_names) trailer_names.emplace();
      h.for_each_value(e, [&](std::string_view v) { add_trailer_names(v, *trailer_names); });
    } else {
      if (name == "date") has_date = true;
      h.for_each_value(e, [&](std::string_view v) { append_field(out, name, v, title); });
    }
  }

  if (framing == Framing::kNone) {
    if (want == Want::kUnknown) {
      if (http10 || bodyless) {
        enc = BodyEncoder::close();
      } else {
        append_field(out, "transfer-encoding", "chunked", title);
        enc = BodyEncoder::chunked();
      }
    } else if (want == Want::kNone || *content_length == 0) {
      if (!no_length_field && !is_head) append_field(out, "content-length", "0", title);
      enc = BodyEncoder::length(0);
    } else {
      if (!no_length_field) {
        std::string n;
        append_u64(n, *content_length);
        append_field(out, "content-length", n, title);
        enc = BodyEncoder::length(*content_length);
      } else {
        enc = BodyEncoder::length(0);
      }
    }
  }
  if (bodyless) enc = BodyEncoder::no_content();
  if (enc->kind == BodyEncoder::Kind::kChunked) enc->trailer_names = std::move(trailer_names);

  if (codec.date_header && !has_date) {
    append_name(out, "date", title);
    out += ": ";
    out += http::cached_http_date();
    out += "\r\n\r\n";
  } else {
    out += "\r\n";
  }

  codec.response_is_last = is_last;
  codec.response_close_delimited = enc->kind == BodyEncoder::Kind::kClose;
  codec.encoder = std::move(enc);
  return std::nullopt;
}

template std::optional<SerializeError> serialize_response(Codec&, uint32_t, http::HeaderMap&, bool,
                                                          bool, std::optional<uint64_t>, bool);
template std::optional<SerializeError> serialize_response(Codec&, uint32_t, FieldPairs&, bool, bool,
                                                          std::optional<uint64_t>, bool);

}  // namespace velmora::http1
