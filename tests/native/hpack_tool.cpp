// Drives the core HPACK decoder and encoder from a line protocol on stdin, for the tests.
//
//   decode mode (default):  S            start a story (a fresh decoder)
//                           T <size>     the table size the decoder allows from now on
//                           B <hex>      a header block; then its expected fields:
//                           F x<hex> x<hex>  name and value
//                           E            end of the expected fields: decode and compare
//   encode mode (--encode): S, then per block F lines and E; prints one hex block per E line.
//                           T <size> changes the encoder's table size.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "http2/hpack_decoder.hpp"
#include "http2/hpack_encoder.hpp"

namespace {

using namespace velmora::hpack;
using Fields = std::vector<std::pair<std::string, std::string>>;

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(char(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

class Collect final : public FieldSink {
 public:
  Fields fields;
  Error field(std::string_view n, std::string_view v, bool) override {
    fields.emplace_back(n, v);
    return Error::kNone;
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool encode = argc > 1 && std::string(argv[1]) == "--encode";
  Decoder dec;
  Encoder enc;
  std::string line, block;
  Fields expected;
  size_t blocks = 0, fields = 0, story = 0, lineno = 0;
  while (std::getline(std::cin, line)) {
    ++lineno;
    if (line.empty()) continue;
    std::istringstream in(line);
    std::string tag;
    in >> tag;
    if (tag == "S") {
      dec = Decoder();
      enc = Encoder();
      ++story;
    } else if (tag == "T") {
      uint32_t size;
      in >> size;
      if (encode)
        enc.set_max_size(size);
      else
        dec.set_allowed_max(size);
    } else if (tag == "B") {
      std::string h;
      in >> h;
      block = unhex(h);
      expected.clear();
    } else if (tag == "F") {
      std::string n, v;
      in >> n >> v;  // each written with a leading 'x' so that empty strings survive
      expected.emplace_back(unhex(n.substr(1)), unhex(v.substr(1)));
    } else if (tag == "E") {
      if (encode) {
        std::string out;
        enc.begin_block(out);
        for (auto& [n, v] : expected)
          enc.encode_field(n, v, out);
        std::cout << hex(out) << "\n";
        expected.clear();
        continue;
      }
      Collect got;
      BlockProgress progress;
      size_t used = 0;
      Error e = dec.decode(reinterpret_cast<const uint8_t*>(block.data()), block.size(), progress,
                           UINT64_MAX, got, used);
      if (e != Error::kNone || used != block.size()) {
        std::cout << "FAIL story " << story << " line " << lineno << ": " << error_name(e) << "\n";
        return 1;
      }
      if (got.fields != expected) {
        std::cout << "FAIL story " << story << " line " << lineno << ": fields differ\n";
        return 1;
      }
      ++blocks;
      fields += got.fields.size();
    }
  }
  if (!encode) std::cout << "ok " << blocks << " " << fields << "\n";
  return 0;
}
