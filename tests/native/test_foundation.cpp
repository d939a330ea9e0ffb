// Core tests of what Python cannot reach directly yet: the error conversions, the header
// index under colliding names, and the Date rendering.
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "http/chars.hpp"
#include "http/date.hpp"
#include "http/errors.hpp"
#include "http/hash.hpp"
#include "http/header_map.hpp"
#include "http2/stream_error.hpp"

using namespace velmora;

namespace {

std::string arg_text(const PendingError& e, int i) {
  return std::string(e.args[i].str());
}

}  // namespace

TEST_CASE(body_error_takes_io_kind_from_cause) {
  auto e = http1::Error(http1::Kind::kBody)
               .with_io_cause(IoKind::kUnexpectedEof, "end of file before message length reached")
               .into_pending();
  CHECK(e.cls == ExcClass::kH1Body);
  CHECK_EQ(e.argc, 2);
  CHECK_EQ(arg_text(e, 0), "unexpected_eof");
  CHECK_EQ(arg_text(e, 1),
           "error reading a body from connection: end of file before message length reached");
}

TEST_CASE(body_error_without_io_cause_is_other) {
  auto e = http1::Error(http1::Kind::kBody).into_pending();
  CHECK_EQ(arg_text(e, 0), "other");
  CHECK_EQ(arg_text(e, 1), "error reading a body from connection");
  auto plain = http1::Error(http1::Kind::kBody).with_cause("x").into_pending();
  CHECK_EQ(arg_text(plain, 0), "other");
  CHECK_EQ(arg_text(plain, 1), "error reading a body from connection: x");
}

TEST_CASE(body_error_walks_the_cause_chain) {
  auto inner =
      std::make_unique<http1::Cause>(http1::Cause{"bad chunk", IoKind::kInvalidData, nullptr});
  auto outer =
      std::make_unique<http1::Cause>(http1::Cause{"decoder", std::nullopt, std::move(inner)});
  auto e = http1::Error(http1::Kind::kBody).with_cause(std::move(outer)).into_pending();
  CHECK_EQ(arg_text(e, 0), "invalid_data");
  CHECK_EQ(arg_text(e, 1), "error reading a body from connection: decoder");
}

TEST_CASE(kinds_map_to_classes) {
  struct Row {
    http1::Kind kind;
    ExcClass cls;
    const char* message;
  } rows[] = {
      {http1::Kind::kIncompleteMessage, ExcClass::kH1Incomplete,
       "connection closed before message completed"},
      {http1::Kind::kUnexpectedMessage, ExcClass::kH1Unexpected,
       "received unexpected message from connection"},
      {http1::Kind::kCanceled, ExcClass::kH1Error, "operation was canceled"},
      {http1::Kind::kChannelClosed, ExcClass::kH1Error, "channel closed"},
      {http1::Kind::kIo, ExcClass::kConnectionClosed, "connection error"},
      {http1::Kind::kHeaderTimeout, ExcClass::kH1Error, "read header from client timeout"},
      {http1::Kind::kBodyWrite, ExcClass::kH1Error, "error writing a body to connection"},
      {http1::Kind::kShutdown, ExcClass::kConnectionClosed, "error shutting down connection"},
  };
  for (const Row& r : rows) {
    auto e = http1::Error(r.kind).into_pending();
    CHECK(e.cls == r.cls);
    CHECK_EQ(e.argc, 1);
    CHECK_EQ(arg_text(e, 0), r.message);
  }
  auto io = http1::Error(http1::Kind::kIo).with_io_cause(IoKind::kBrokenPipe).into_pending();
  CHECK(io.cls == ExcClass::kConnectionClosed);
  CHECK_EQ(arg_text(io, 0), "connection error: broken pipe");
}

TEST_CASE(parse_and_user_subkinds) {
  auto p = http1::Error::parse(http1::ParseKind::kVersionH2).into_pending();
  CHECK(p.cls == ExcClass::kH1Parse);
  CHECK_EQ(arg_text(p, 0), "version_h2");
  CHECK_EQ(arg_text(p, 1), "invalid HTTP version parsed (found HTTP2 preface)");
  auto u = http1::Error::user(http1::UserKind::kBodyWriteAborted)
               .with_cause("early end, expected 3 more bytes")
               .into_pending();
  CHECK(u.cls == ExcClass::kH1User);
  CHECK_EQ(arg_text(u, 0), "body_write_aborted");
  CHECK_EQ(arg_text(u, 1), "user body write aborted: early end, expected 3 more bytes");
  auto s = http1::Error::user(http1::UserKind::kUnsupportedStatusCode).into_pending();
  CHECK_EQ(arg_text(s, 1), "response has 1xx status code, not supported by server");
}

TEST_CASE(snake_case_names) {
  CHECK_EQ(snake_case("UnexpectedEof"), "unexpected_eof");
  CHECK_EQ(snake_case("InvalidData"), "invalid_data");
  CHECK_EQ(snake_case("Other"), "other");
  CHECK_EQ(io_kind_snake(IoKind::kAddrNotAvailable), "addr_not_available");
}

TEST_CASE(stream_error_conversions) {
  auto r = http2::StreamError::reset(5, 8, http2::Initiator::kRemote).to_pending();
  CHECK(r.cls == ExcClass::kH2Stream);
  CHECK_EQ(r.args[0].number, 5);
  CHECK_EQ(r.args[1].number, 8);
  CHECK_EQ(arg_text(r, 2), "remote");
  auto g = http2::StreamError::go_away("dbg", 7, http2::Initiator::kLibrary).to_pending();
  CHECK(g.cls == ExcClass::kH2Protocol);
  CHECK_EQ(g.argc, 2);
  CHECK_EQ(g.args[0].number, 7);
  CHECK_EQ(arg_text(g, 1), "refused stream before processing any application logic");
  auto unknown = http2::StreamError::go_away("", 14, http2::Initiator::kUser).to_pending();
  CHECK_EQ(arg_text(unknown, 1), "unknown reason");
  auto io = http2::StreamError::io(IoKind::kBrokenPipe).to_pending();
  CHECK(io.cls == ExcClass::kConnectionClosed);
  CHECK_EQ(arg_text(io, 0), "broken pipe");
  auto io_msg = http2::StreamError::io(IoKind::kOther, "reset by peer").to_pending();
  CHECK_EQ(arg_text(io_msg, 0), "reset by peer");
}

TEST_CASE(h2_usage_errors) {
  auto e = http2::user_error(http2::UserErrorKind::kSendSettingsWhilePending);
  CHECK(e.cls == ExcClass::kH2User);
  CHECK_EQ(arg_text(e, 0), "send_settings_while_pending");
  CHECK_EQ(arg_text(e, 1), "sending SETTINGS before received previous ACK");
  auto p = http2::protocol_error(-1, "x");
  CHECK(p.args[0].kind == ErrArg::Kind::kNone);
  auto f = http2::flow_control_error();
  CHECK(f.cls == ExcClass::kH2FlowControl && f.argc == 1 && f.args[0].number == 3);
  CHECK_EQ(std::string(http2::reason_description(13)), "endpoint requires HTTP/1.1");
}

// Names that all share one ideal slot at the largest index size: the worst case for linear
// probing. The map must notice, switch to the keyed hash, and stay correct.
TEST_CASE(colliding_names_switch_to_keyed_hash) {
  std::vector<std::string> names;
  const uint32_t target = http::fast_hash("x0") & 0x7fff;
  for (uint64_t i = 0; names.size() < 3000; ++i) {
    std::string n = "x" + std::to_string(i);
    if ((http::fast_hash(n) & 0x7fff) == target) names.push_back(n);
  }
  http::HeaderMap map;
  for (const auto& n : names)
    CHECK(map.add(n, n) == http::HeaderMap::Result::kOk);
  CHECK(map.keyed());
  CHECK_EQ(map.name_count(), 3000u);
  bool all = true;
  for (const auto& n : names) {
    int32_t pos = map.find(n);
    all = all && pos >= 0 && map.first_value(uint32_t(pos)) == n;
  }
  CHECK(all);
  for (size_t i = 0; i < names.size(); i += 3)
    CHECK(map.erase(names[i]));
  bool rest = true;
  for (size_t i = 0; i < names.size(); ++i)
    rest = rest && ((map.find(names[i]) >= 0) == (i % 3 != 0));
  CHECK(rest);
}

// A parsed header block built in one pass agrees with the same fields added one by one, through
// the paths past its sizes: colliding names (the index switches to the keyed hash part way) and
// more distinct names than a map holds.
TEST_CASE(header_block_builds_as_add_does) {
  std::vector<std::string> names;
  const uint32_t target = http::fast_hash("x0") & 0x7fff;
  for (uint64_t i = 0; names.size() < 3000; ++i) {
    std::string n = "x" + std::to_string(i);
    if ((http::fast_hash(n) & 0x7fff) == target) names.push_back(n);
  }
  names.push_back("X0");  // a repeat, in another case
  names.push_back("Host");
  std::string block;
  std::vector<http::RawField> fields;
  for (const auto& n : names) {
    const uint32_t at = uint32_t(block.size());
    block += n + ": v" + n + "\r\n";
    fields.push_back(
        {{at, uint32_t(n.size())}, {at + uint32_t(n.size()) + 2, uint32_t(n.size()) + 1}});
  }
  http::HeaderMap built, added;
  CHECK(built.add_block(block, 0, fields.data(), fields.size(), nullptr) ==
        http::HeaderMap::Result::kOk);
  for (const auto& n : names) {
    std::string lower = n;
    for (char& c : lower)
      c = http::ascii_lower(c);
    CHECK(added.add(lower, "v" + n) == http::HeaderMap::Result::kOk);
  }
  CHECK(built.keyed());
  CHECK(built.equals(added));
  CHECK_EQ(built.name_count(), added.name_count());
  bool same_order = true;
  for (uint32_t i = 0; i < built.name_count(); ++i)
    same_order = same_order && built.name(i) == added.name(i);
  CHECK(same_order);
  CHECK_EQ(built.value_count(uint32_t(built.find("x0"))), 2u);

  // 24577 distinct names: the last one finds the map full.
  std::string many;
  std::vector<http::RawField> more;
  for (uint32_t i = 0; i <= http::HeaderMap::kMaxNames; ++i) {
    const std::string n = "n" + std::to_string(i);
    const uint32_t at = uint32_t(many.size());
    many += n + ":\r\n";
    more.push_back({{at, uint32_t(n.size())}, {at + uint32_t(n.size()) + 1, 0}});
  }
  http::HeaderMap full;
  CHECK(full.add_block(many, 0, more.data(), more.size(), nullptr) ==
        http::HeaderMap::Result::kFull);
}

TEST_CASE(index_growth_follows_the_load_rule) {
  http::HeaderMap map;
  for (uint32_t i = 0; i < http::HeaderMap::kLinearNames; ++i)
    map.add("a" + std::to_string(i), "");
  CHECK_EQ(map.slot_count(), 0u);  // a small map is scanned, without an index
  map.add("a8", "");
  CHECK_EQ(map.slot_count(), 16u);  // eight names are past three quarters of 8 slots
  for (int i = 9; i < 12; ++i)
    map.add("a" + std::to_string(i), "");
  CHECK_EQ(map.slot_count(), 16u);  // twelve names fill three quarters
  map.add("a12", "");
  CHECK_EQ(map.slot_count(), 32u);
  CHECK(!map.keyed());
  CHECK_EQ(map.find("a3"), 3);
}

TEST_CASE(imf_fixdate_known_values) {
  struct Row {
    int64_t t;
    const char* text;
  } rows[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const Row& r : rows) {
    char out[29];
    http::render_imf_fixdate(r.t, out);
    CHECK_EQ(std::string(out, 29), std::string(r.text));
  }
}

TEST_CASE(imf_fixdate_agrees_with_libc) {
  std::mt19937_64 rng(7);
  int mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    time_t t = time_t(rng() % 253402300800ull);
    char ours[29];
    http::render_imf_fixdate(t, ours);
    struct tm tm;
    gmtime_r(&t, &tm);
    char theirs[64];
    strftime(theirs, sizeof theirs, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    mismatches += std::string(ours, 29) != theirs;
  }
  CHECK_EQ(mismatches, 0);
}

int main() {
  return check::run_all();
}
