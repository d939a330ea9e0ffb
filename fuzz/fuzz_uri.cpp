// URI rules on arbitrary text: parsing and target splitting never read outside the input, every
// view they return lies inside the input, and decoded text is valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/uri.hpp"
#include "http/utf8.hpp"

namespace {

void inside(std::string_view whole, std::string_view part) {
  if (part.empty()) return;
  if (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size())
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::http;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  TargetParts parts = split_target(text);
  if (parts.raw_path != "/") inside(text, parts.raw_path);
  inside(text, parts.query);
  if (!is_valid_utf8(percent_decode_text(parts.raw_path))) std::abort();
  Uri uri;
  if (auto err = parse_uri(text, uri)) {
    (void)uri_error_text(*err);
    (void)quote_escaped(text);
    return 0;
  }
  inside(text, uri.authority);
  inside(text, uri.path_and_query);
  inside(text, uri.scheme_text);
  if (uri.has_authority) {
    std::string_view host = authority_host(uri.authority);
    inside(text, host);
    (void)authority_port(uri.authority);
    // A parsed authority never carries a path delimiter.
    if (uri.authority.find_first_of("/?#") != std::string_view::npos) std::abort();
    RequestUrl r = request_url(uri, true);
    inside(text, r.host_header);
    if (r.target.empty() || r.target.front() != '/') std::abort();
    if (r.has_credentials && !is_valid_utf8(r.credentials)) std::abort();
  }
  return 0;
}
