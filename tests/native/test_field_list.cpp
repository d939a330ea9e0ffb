// The comma-separated list members of RFC 9110 section 5.6.1, on its own examples and edges.
#include <string>

#include "check.hpp"
#include "http/field_list.hpp"

TEST_CASE(field_list_members) {
  struct Row {
    const char* value;
    const char* members;  // joined by '|'
    size_t empty;
    bool last_at_end;  // no comma follows the last member
  };
  const Row rows[] = {
      {"foo,bar", "foo|bar", 0, true},
      {"foo ,bar,", "foo|bar", 1, false},
      {"foo , ,bar,charlie", "foo|bar|charlie", 1, true},
      {"\tgzip ,\t chunked\t", "gzip|chunked", 0, true},
      {"", "", 1, false},
      {" , ,", "", 3, false},
      {"a b, \"c,d\"", "a b|\"c|d\"", 0, true},
  };
  for (const Row& r : rows) {
    velmora::http::FieldList list(r.value);
    std::string joined;
    bool at_end = false;
    for (std::string_view m; list.next(m);) {
      if (!joined.empty()) joined += '|';
      joined += m;
      at_end = list.at_end();
    }
    CHECK_EQ(joined, std::string(r.members));
    CHECK_EQ(list.empty_members(), r.empty);
    CHECK_EQ(at_end, r.last_at_end);
  }
}

int main() {
  return check::run_all();
}
