// Sec-WebSocket-Extensions values (RFC 6455 section 9.1): a comma-separated list of
// extensions, each a token with `;`-separated parameters whose values are tokens or
// quoted-strings (RFC 7230 section 3.2.6). Empty list elements are skipped (RFC 7230 section 7).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::ws {

struct ExtensionParam {
  std::string name;
  std::string value;  // unquoted
  bool has_value = false;
};

struct Extension {
  std::string name;
  std::vector<ExtensionParam> params;
};

// False for a value that does not follow the syntax (then `out` is unspecified).
bool parse_extensions(std::string_view value, std::vector<Extension>& out);

// The elements of a comma-separated token list (Sec-WebSocket-Protocol, Connection, Upgrade),
// appended to `out` without the surrounding whitespace; false when one is not a token.
bool split_tokens(std::string_view value, std::vector<std::string_view>& out);

}  // namespace velmora::ws
