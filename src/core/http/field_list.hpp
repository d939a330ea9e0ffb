// The members of a comma-separated field value (RFC 9110 section 5.6.1): `#element` lists, whose
// members are separated by commas with optional whitespace (SP, HTAB) around them. Empty members
// are passed over, as a recipient must; the ones passed over are counted, for the fields whose
// rules refuse them. A comma always separates: quoted strings are not recognised (no field read
// through this list relies on them). Members are views into the value: nothing is copied or
// allocated.
//
//   http::FieldList list(value);
//   for (std::string_view member; list.next(member);) ...
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::http {

class FieldList {
 public:
  explicit FieldList(std::string_view value) : rest_(value) {}

  // The next non-empty member, trimmed of whitespace; false when the value is exhausted.
  bool next(std::string_view& member) {
    while (!done_) {
      const size_t comma = rest_.find(',');
      std::string_view item = rest_.substr(0, comma);
      if (comma == std::string_view::npos) {
        done_ = true;
      } else {
        rest_.remove_prefix(comma + 1);
      }
      while (!item.empty() && is_ows(item.front()))
        item.remove_prefix(1);
      while (!item.empty() && is_ows(item.back()))
        item.remove_suffix(1);
      if (item.empty()) {
        ++empty_;
        continue;
      }
      member = item;
      return true;
    }
    return false;
  }

  // No comma follows the member last returned: it is the value's final one.
  bool at_end() const { return done_; }
  // How many empty members were passed over so far (an empty value is one empty member).
  size_t empty_members() const { return empty_; }

 private:
  static bool is_ows(char c) { return c == ' ' || c == '\t'; }

  std::string_view rest_;
  size_t empty_ = 0;
  bool done_ = false;
};

}  // namespace velmora::http
