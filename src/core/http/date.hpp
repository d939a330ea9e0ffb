// The Date header value (RFC 9110 section 5.6.7, IMF-fixdate), rendered at most once per second
// per thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http {

inline constexpr size_t kImfFixdateLength = 29;

// Writes the IMF-fixdate text of `unix_seconds` (1970..9999) to `out`.
void render_imf_fixdate(int64_t unix_seconds, char out[kImfFixdateLength]);

// The calling thread's current Date value; the view stays valid until the thread's next call.
std::string_view cached_http_date();

}  // namespace velmora::http
