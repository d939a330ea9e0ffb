// Header name and value validation and the header map under arbitrary operations: the input is
// a little program of add/set/erase/find steps over names and values cut from the input. The
// map must agree with a simple model after every step.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "http/chars.hpp"
#include "http/header_map.hpp"

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  bool empty() const { return n == 0; }
  uint8_t byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  std::string_view bytes(size_t len) {
    len = len < n ? len : n;
    std::string_view s(reinterpret_cast<const char*>(p), len);
    p += len;
    n -= len;
    return s;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using velmora::http::HeaderMap;
  Reader in{data, size};
  HeaderMap map;
  // Model: name -> values, plus insertion order of names.
  std::map<std::string, std::vector<std::string>> model;
  std::vector<std::string> order;  // names in entry order
  auto appended = [&](const std::string& n, std::string_view v) {
    auto& values = model[n];
    if (values.empty()) order.push_back(n);
    values.emplace_back(v);
  };
  while (!in.empty()) {
    uint8_t op = in.byte();
    std::string_view raw_name = in.bytes(in.byte() % 12);
    std::string_view value = in.bytes(in.byte() % 16);
    std::string name(raw_name.size(), '\0');
    bool name_ok = velmora::http::lower_field_name(raw_name, name.data());
    if (name_ok != velmora::http::is_valid_field_name(raw_name)) std::abort();
    bool value_ok = velmora::http::is_valid_field_value(value);
    if (!name_ok || !value_ok) continue;
    switch (op % 5) {
      case 0:
        if (map.add(name, value) == HeaderMap::Result::kOk) appended(name, value);
        break;
      case 1:
        if (map.set(name, value) == HeaderMap::Result::kOk) {
          if (model[name].empty()) order.push_back(name);
          model[name] = {std::string(value)};
        }
        break;
      case 2: {
        bool had = model.erase(name) > 0;
        if (map.erase(name) != had) std::abort();
        if (had) {
          // The last name moves into the freed position.
          size_t i = 0;
          while (order[i] != name)
            ++i;
          order[i] = order.back();
          order.pop_back();
        }
        break;
      }
      case 3: {
        // A parsed head's fields in one step: a duplicate name and a second name.
        const std::string other = name + "-x";
        const std::string_view names[] = {name, other, name};
        const std::string_view values[] = {value, value.substr(value.size() / 2), value};
        if (map.add_parsed(names, values, 3) != HeaderMap::Result::kOk) std::abort();
        appended(name, values[0]);
        appended(other, values[1]);
        appended(name, values[2]);
        // The same fields as a header block with the names as received, built in one pass,
        // against a map built pair by pair.
        std::string block;
        velmora::http::RawField fields[3];
        const std::string_view raw[] = {raw_name, other, raw_name};
        for (int k = 0; k < 3; ++k) {
          fields[k].name = {uint32_t(block.size()), uint32_t(raw[k].size())};
          block.append(raw[k]).append(k == 1 ? ":" : ": \t");
          fields[k].value = {uint32_t(block.size()), uint32_t(values[k].size())};
          block.append(values[k]).append("\r\n");
        }
        HeaderMap built, added;
        const bool skip[3] = {false, false, (op & 0x80) != 0};  // the last field left out or not
        if (built.add_block(block, 0, fields, 3, skip) != HeaderMap::Result::kOk) std::abort();
        for (int k = 0; k < 3; ++k)
          if (!skip[k] && added.add(names[k], values[k]) != HeaderMap::Result::kOk) std::abort();
        if (!built.equals(added) || built.name_count() != added.name_count()) std::abort();
        for (uint32_t k = 0; k < built.name_count(); ++k)
          if (built.name(k) != added.name(k)) std::abort();
        break;
      }
      default: {
        int32_t pos = map.find(name);
        auto it = model.find(name);
        if ((pos >= 0) != (it != model.end())) std::abort();
        if (pos >= 0 && map.first_value(uint32_t(pos)) != it->second.front()) std::abort();
      }
    }
    size_t total = 0;
    for (auto& [k, v] : model)
      total += v.size();
    if (map.size() != total || map.name_count() != model.size()) std::abort();
  }
  // Names in entry order, and every listed pair in the model, in per-name order.
  for (uint32_t i = 0; i < map.name_count(); ++i) {
    if (map.name(i) != order[i]) std::abort();
    auto it = model.find(std::string(map.name(i)));
    if (it == model.end()) std::abort();
    size_t k = 0;
    map.for_each_value(i, [&](std::string_view v) {
      if (k >= it->second.size() || it->second[k] != v) std::abort();
      ++k;
    });
    if (k != it->second.size()) std::abort();
  }
  HeaderMap copy = map;
  if (!copy.equals(map) || !map.equals(copy)) std::abort();
  return 0;
}
