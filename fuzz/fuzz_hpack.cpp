// The HPACK decoder alone on arbitrary blocks. The input is a table-size byte, a limit byte and
// then blocks separated by the bytes 0xfe 0xfe; a block whose length is a multiple of 3 is
// followed by a table-size change. Each decoded block is re-encoded with the
// encoder and decoded again by a second decoder: the field lists must be equal.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http2/hpack_decoder.hpp"
#include "http2/hpack_encoder.hpp"

namespace {

using namespace velmora::hpack;

class Collect final : public FieldSink {
 public:
  std::vector<std::pair<std::string, std::string>> fields;
  Error field(std::string_view name, std::string_view value, bool) override {
    fields.emplace_back(name, value);
    return Error::kNone;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t table = uint32_t(data[0]) * 32;
  uint64_t limit = uint64_t(data[1]) * 64 + 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
  Decoder dec(4096);
  dec.set_allowed_max(table);
  Encoder enc(table);
  Decoder check(table);
  for (;;) {
    size_t cut = rest.find("\xfe\xfe");
    std::string_view block = rest.substr(0, cut);
    Collect got;
    BlockProgress progress;
    size_t used = 0;
    Error e = dec.decode(reinterpret_cast<const uint8_t*>(block.data()), block.size(), progress,
                         limit, got, used);
    if (used > block.size()) std::abort();
    if (dec.table().size() > dec.table().max_size()) std::abort();
    if (dec.table().heap_bytes() > 4 * size_t(std::max(table, 8192u)) + 4096) std::abort();
    if (e != Error::kNone) return 0;  // the context is lost after an error
    if (used != block.size()) std::abort();
    if (got.fields.size() * 32 > limit) std::abort();  // fields past the limit are dropped
    // Round trip through the encoder.
    std::string wire;
    enc.begin_block(wire);
    for (auto& [n, v] : got.fields)
      enc.encode_field(n, v, wire);
    Collect again;
    BlockProgress p2;
    size_t used2 = 0;
    Error e2 = check.decode(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), p2,
                            UINT64_MAX, again, used2);
    if (e2 != Error::kNone || used2 != wire.size() || again.fields != got.fields) std::abort();
    if (cut == std::string_view::npos) break;
    rest = rest.substr(cut + 2);
    // Some blocks are followed by a table-size change on every side (a SETTINGS exchange).
    if (block.size() % 3 == 0) {
      uint32_t next = uint32_t(block.size() * 61 % 8192);
      dec.set_allowed_max(next);
      enc.set_max_size(next);
      check.set_allowed_max(next);
    }
  }
  return 0;
}
