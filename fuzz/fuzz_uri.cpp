// URI rules on arbitrary text: parsing never reads outside the input, and every view it returns
// lies inside the input.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/uri.hpp"

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
  }
  return 0;
}
