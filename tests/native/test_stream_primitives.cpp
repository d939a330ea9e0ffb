// Core tests of the parts of the stream primitives and proxy selection that Python does not
// reach: the connection-only transitions and adjustments, the lower proxy layers and the
// environment lookup.
#include <map>
#include <optional>
#include <string>

#include "check.hpp"
#include "http/base64.hpp"
#include "http/ip_address.hpp"
#include "http/percent.hpp"
#include "http/proxy.hpp"
#include "http/utf8.hpp"
#include "http2/content_length.hpp"
#include "http2/data_frame_budget.hpp"
#include "http2/flow_control.hpp"
#include "http2/stream_state.hpp"

using namespace velmora;
using namespace velmora::http2;

TEST_CASE(go_away_error_closes_and_converts) {
  StreamState s;
  CHECK(s.send_open(false) == TransitionError::kNone);
  s.set_error(StreamError::go_away("bye", 7, Initiator::kRemote));
  CHECK(s.is_closed() && s.is_reset());
  CHECK(!s.is_remote_reset());  // a GOAWAY is not a reset
  CHECK(!s.is_local_error());   // ... and the peer sent it
  CHECK(s.error() && s.error()->variant() == StreamError::Variant::kGoAway);
  CHECK_EQ(s.debug_text(), std::string("Closed(Error(GoAway(\"bye\", 7, Remote)))"));
  std::optional<PendingError> err;
  CHECK(!s.ensure_recv_open(err));
  CHECK(err && err->cls == ExcClass::kH2Protocol);
  CHECK_EQ(err->args[0].number, 7);
  CHECK_EQ(std::string(err->args[1].str()),
           "refused stream before processing any application logic");

  StreamState local;
  local.set_error(StreamError::go_away("", 1, Initiator::kLibrary));
  CHECK(local.is_local_error());
  StreamState io;
  io.set_error(StreamError::io(IoKind::kConnectionReset));
  CHECK(io.is_local_error());
  CHECK_EQ(io.debug_text(), std::string("Closed(Error(Io(ConnectionReset)))"));
}

TEST_CASE(named_states_compare_by_value) {
  StreamState a;
  bool opened = false;
  CHECK(a.recv_open(true, false, opened) == TransitionError::kNone);
  CHECK(opened);
  CHECK(a == StreamState::half_closed_remote(Peer::kAwaitingHeaders));
  CHECK(!(a == StreamState::half_closed_local(Peer::kAwaitingHeaders)));
  a.recv_reset(9, 8, false);
  CHECK(a == StreamState::closed_error(StreamError::reset(9, 8, Initiator::kRemote), true));
  CHECK(a.cause() == StreamState::Cause::kErrorAfterEndStream);
  CHECK(StreamState::closed_scheduled(3).scheduled_reset() == std::optional<uint32_t>(3));
  CHECK(StreamState::closed_end_stream().error() == nullptr);
}

TEST_CASE(flow_shift_and_announce) {
  FlowControl f(100, 100);
  CHECK(f.shift_window(-300) == FlowStatus::kOk);
  CHECK_EQ(f.raw_window(), -200);
  CHECK_EQ(f.window_size(), 0u);
  CHECK(f.shift_available(int64_t(INT32_MAX) - 100) == FlowStatus::kOk);
  CHECK(f.shift_available(1) == FlowStatus::kFlowControl);
  CHECK_EQ(f.available(), INT32_MAX);
  CHECK(f.shift_window(int64_t(INT32_MIN)) == FlowStatus::kFlowControl);
  CHECK_EQ(f.raw_window(), -200);
  std::optional<int64_t> u = f.unclaimed_capacity();
  CHECK(u && *u == int64_t(INT32_MAX) + 200);
  f.set_window_to_available();
  CHECK(f == FlowControl(INT32_MAX, INT32_MAX));
  CHECK(!f.unclaimed_capacity());
}

TEST_CASE(flow_status_messages) {
  PendingError e = flow_status_error(FlowStatus::kSizeTooLarge, 2147483648u);
  CHECK(e.cls == ExcClass::kValueError);
  CHECK_EQ(std::string(e.args[0].str()),
           "window size 2147483648 exceeds the maximum 2147483647 (RFC 9113 6.9.1)");
  PendingError f = flow_status_error(FlowStatus::kFlowControl, 1);
  CHECK(f.cls == ExcClass::kH2FlowControl && f.argc == 1 && f.args[0].number == 3);
}

TEST_CASE(budget_resolution_matches_connection_rule) {
  CHECK_EQ(DataFrameBudget::resolve_cap(std::nullopt, std::nullopt), 32767u);
  CHECK_EQ(DataFrameBudget::resolve_cap(std::nullopt, 51201u), 25600u);
  CHECK_EQ(DataFrameBudget::resolve_cap(std::nullopt, 51202u), 25601u);
  CHECK_EQ(DataFrameBudget::resolve_cap(7u, 1000000u), 7u);
  DataFrameBudget b(UINT64_MAX);
  uint64_t charge = 1;
  CHECK(b.record(UINT64_MAX, charge) && charge == 0);  // saturating credit
  CHECK_EQ(b.available(), UINT64_MAX);
}

TEST_CASE(base64_rfc4648_vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [in, out] : vectors)
    CHECK_EQ(http::base64_encode(in), std::string(out));
  CHECK_EQ(http::base64_encode(std::string("\xff\xfe\x00", 3)), std::string("//4A"));
}

TEST_CASE(percent_and_utf8) {
  CHECK_EQ(http::percent_decode("a%20b%2"), std::string("a b%2"));
  CHECK_EQ(http::percent_decode("%zz%4g%%41"), std::string("%zz%4g%A"));
  CHECK_EQ(http::utf8_lossy("\xed\xa0\x80"
                            "A"),
           std::string("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
                       "A"));
  CHECK_EQ(http::utf8_lossy("\xf0\x90\x80"), std::string("\xef\xbf\xbd"));
  // Above U+10FFFF: the lead byte and each stray continuation byte are replaced one by one.
  std::string four;
  for (int i = 0; i < 4; ++i)
    four += "\xef\xbf\xbd";
  CHECK_EQ(http::utf8_lossy("\xf4\x90\x80\x80"), four);
  CHECK(http::is_valid_utf8("\xf4\x8f\xbf\xbf"));
  CHECK(!http::is_valid_utf8("\xc0\xaf"));
}

TEST_CASE(ip_grammar_edges) {
  using http::parse_ip;
  CHECK(parse_ip("0.0.0.0") && parse_ip("255.255.255.255"));
  CHECK(!parse_ip("256.0.0.1") && !parse_ip("1.2.3") && !parse_ip("01.2.3.4"));
  CHECK(!parse_ip("1.2.3.4 ") && !parse_ip("") && !parse_ip("::1%lo"));
  CHECK(parse_ip("::") && parse_ip("1:2:3:4:5:6:7::") && parse_ip("::2:3:4:5:6:7:8"));
  CHECK(!parse_ip("1:2:3:4:5:6:7:8:9") && !parse_ip("1::2:3:4:5:6:7:8") && !parse_ip("1:::2"));
  CHECK(!parse_ip("::1:2:3:4:5:6:1.2.3.4") && parse_ip("::1:2:3:4:5:1.2.3.4"));
  CHECK(!parse_ip("1.2.3.4::") && !parse_ip("::00001"));
  CHECK(*parse_ip("::ffff:10.0.0.1") == *parse_ip("0:0:0:0:0:FFFF:a00:1"));
  CHECK(!(*parse_ip("10.0.0.1") == *parse_ip("::ffff:10.0.0.1")));
  auto net = http::parse_ip_network("10.1.2.3/8");
  CHECK(net && net->contains(*parse_ip("10.255.0.0")) && !net->contains(*parse_ip("11.0.0.0")));
  CHECK(!http::parse_ip_network("10.0.0.0/") && !http::parse_ip_network("10.0.0.0/+8"));
  CHECK(!http::parse_ip_network("::/129") && http::parse_ip_network("::/128"));
}

TEST_CASE(environment_lookup_order) {
  std::map<std::string, std::string> env = {
      {"HTTP_PROXY", ""},        {"http_proxy", "ignored:1"}, {"all_proxy", "all:1"},
      {"HTTPS_PROXY", "\xff:1"}, {"https_proxy", "s:1"},      {"no_proxy", "skip"},
  };
  auto lookup = [&](const char* name) -> std::optional<std::string_view> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return std::string_view(it->second);
  };
  http::ProxyMatcher m = http::ProxyMatcher::from_env(lookup);
  CHECK(m.intercept("http://h/") && m.intercept("http://h/")->uri == "http://all:1/");
  CHECK(m.intercept("https://h/") && m.intercept("https://h/")->uri == "http://s:1/");
  CHECK(!m.intercept("https://skip/"));
  env["REQUEST_METHOD"] = "";
  CHECK(!http::ProxyMatcher::from_env(lookup).intercept("http://h/"));
}

int main() {
  return check::run_all();
}
