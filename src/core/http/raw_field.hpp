// A header field as a tokenizer finds it: the name and the value as offsets into the bytes it
// scanned, nothing copied.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http {

// Left uninitialised by default: field arrays of a hundred slices are filled before use.
struct Slice {
  uint32_t off;
  uint32_t len;
  std::string_view in(const char* base) const { return {base + off, len}; }
};

struct RawField {
  Slice name;
  Slice value;
};

}  // namespace velmora::http
