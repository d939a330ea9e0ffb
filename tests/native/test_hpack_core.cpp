// Core HPACK pieces: the Huffman code (RFC 7541 section 5.2), the dynamic table's size
// accounting and eviction (section 4), and its storage bound.
#include <random>
#include <string>

#include "check.hpp"
#include "http2/hpack_dynamic_table.hpp"
#include "http2/hpack_huffman.hpp"

using namespace velmora::hpack;

namespace {

std::string decode(const std::string& coded, bool& ok) {
  std::string out(huffman_decoded_bound(coded.size()), '\0');
  ptrdiff_t n =
      huffman_decode(reinterpret_cast<const uint8_t*>(coded.data()), coded.size(), out.data());
  ok = n >= 0;
  out.resize(ok ? size_t(n) : 0);
  return out;
}

}  // namespace

TEST_CASE(huffman_round_trips_every_symbol_and_random_strings) {
  for (int c = 0; c < 256; ++c) {
    for (int len : {1, 2, 3, 7}) {
      std::string s{std::string(size_t(len), char(c))};
      std::string coded;
      huffman_encode(s, coded);
      CHECK_EQ(coded.size(), huffman_encoded_length(s));
      bool ok;
      CHECK((decode(coded, ok) == s));
      CHECK(ok);
    }
  }
  std::mt19937 rng(1);
  for (int i = 0; i < 2000; ++i) {
    std::string s(rng() % 300, '\0');
    for (char& ch : s)
      ch = char(i % 2 ? rng() % 256 : 'a' + rng() % 26);
    std::string coded;
    huffman_encode(s, coded);
    bool ok;
    CHECK((decode(coded, ok) == s));
    CHECK(ok);
  }
}

TEST_CASE(huffman_rfc_example) {
  // RFC 7541 C.4.1: "www.example.com".
  std::string coded;
  huffman_encode("www.example.com", coded);
  const std::string expected("\xf1\xe3\xc2\xe5\xf2\x3a\x6b\xa0\xab\x90\xf4\xff", 12);
  CHECK(coded == expected);
}

TEST_CASE(huffman_padding_rules) {
  bool ok;
  decode(std::string("\xff", 1), ok);  // 8 bits of padding
  CHECK(!ok);
  decode(std::string("\xff\xff\xff\xff", 4), ok);  // EOS (30 ones) then 2 bits
  CHECK(!ok);
  decode(std::string("\x00", 1), ok);  // '0' (5 bits 00000) then padding 000: not ones
  CHECK(!ok);
  CHECK((decode(std::string("\x07", 1), ok) == "0"));  // '0' then 111
  CHECK(ok);
  CHECK((decode("", ok).empty()));
  CHECK(ok);
  // 'a' is 00011: with three ones of padding it decodes; with eleven it does not.
  CHECK((decode(std::string("\x1f", 1), ok) == "a"));
  CHECK(ok);
  decode(std::string("\x1f\xff", 2), ok);
  CHECK(!ok);
}

TEST_CASE(dynamic_table_eviction_and_size) {
  DynamicTable t(100);
  t.insert("aaaa", "bbbb");  // 40
  t.insert("cccc", "dddd");  // 80
  CHECK_EQ(t.count(), 2u);
  CHECK_EQ(t.size(), 80u);
  t.insert("e", "f");  // 34: evicts the oldest
  CHECK_EQ(t.count(), 2u);
  CHECK(t.name(0) == "e" && t.name(1) == "cccc");
  t.insert(t.name(1), "zz");  // a name taken from the table itself, which gets evicted
  CHECK(t.name(0) == "cccc" && t.value(0) == "zz");
  t.insert(std::string(80, 'x'), "");  // larger than the table: empties it
  CHECK_EQ(t.count(), 0u);
  CHECK_EQ(t.size(), 0u);
  t.insert("a", "b");
  t.set_max_size(10);
  CHECK_EQ(t.count(), 0u);
}

TEST_CASE(dynamic_table_storage_stays_bounded) {
  std::mt19937 rng(5);
  DynamicTable t(4096);
  for (int i = 0; i < 200000; ++i) {
    std::string v(rng() % (i % 7 == 0 ? 4000 : 40), 'v');
    t.insert("n" + std::to_string(i % 50), v);
    CHECK(t.size() <= 4096);
  }
  // Bytes up to the limit, ring records up to twice one per 32 bytes.
  CHECK(t.heap_bytes() <= 4096 + 4096 + 2 * (4096 / 32 + 1) * 12);
}

TEST_CASE(dynamic_table_keeps_entries_when_storage_shrinks) {
  // Entries that survive a lower limit stay readable after the storage is given back.
  DynamicTable t(8192);
  for (int i = 0; i < 100; ++i)
    t.insert("name" + std::to_string(i), std::string(40, char('a' + i % 26)));
  t.set_max_size(200);
  CHECK(t.count() >= 1);
  for (uint32_t i = 0; i < t.count(); ++i) {
    CHECK(t.name(i) == "name" + std::to_string(99 - i));
    CHECK(t.value(i) == std::string(40, char('a' + (99 - i) % 26)));
  }
  t.insert("x", "y");
  CHECK(t.name(0) == "x" && t.name(1) == "name99");
}

int main() {
  return check::run_all();
}
