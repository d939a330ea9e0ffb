// A response's header fields as the application listed them, read in place: the grouped view
// the head serializer takes of a HeaderMap (one entry per distinct name, in the order names
// first appear; an entry's values in their order), for a short list, without building a map.
// Names are lowercase and checked, values checked, by the caller; nothing is copied.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::http1 {

class FieldPairs {
 public:
  // The fields a caller may list; two more fit (the Server field, a Connection field set).
  static constexpr uint32_t kMax = 16;

  void add(std::string_view name, std::string_view value) {
    if (n_ == kCap) return;  // (never: the caller lists at most kMax)
    if (find(name) < 0) first_[entries_++] = uint8_t(n_);
    names_[n_] = name;
    values_[n_] = value;
    ++n_;
  }

  int32_t find(std::string_view name) const {
    for (uint32_t e = 0; e < entries_; ++e)
      if (names_[first_[e]] == name) return int32_t(e);
    return -1;
  }

  // One value for `name`, where its first value stood (or at the end).
  void set(std::string_view name, std::string_view value) {
    const int32_t e = find(name);
    if (e < 0) {
      add(name, value);
      return;
    }
    const uint32_t first = first_[e];
    values_[first] = value;
    for (uint32_t i = first + 1; i < n_; ++i)
      if (names_[i] == name) names_[i] = {};  // (no entry has an empty name)
  }

  uint32_t size() const { return n_; }
  uint32_t name_count() const { return entries_; }
  std::string_view name(uint32_t e) const { return names_[first_[e]]; }
  std::string_view first_value(uint32_t e) const { return values_[first_[e]]; }

  template <class F>
  void for_each_value(uint32_t e, F&& f) const {
    const std::string_view n = names_[first_[e]];
    for (uint32_t i = first_[e]; i < n_; ++i)
      if (names_[i] == n) f(values_[i]);
  }

  uint32_t value_count(uint32_t e) const {
    uint32_t count = 0;
    for_each_value(e, [&](std::string_view) { ++count; });
    return count;
  }

 private:
  static constexpr uint32_t kCap = kMax + 2;
  std::string_view names_[kCap];
  std::string_view values_[kCap];
  uint8_t first_[kCap] = {};
  uint32_t n_ = 0;
  uint32_t entries_ = 0;
};

}  // namespace velmora::http1
