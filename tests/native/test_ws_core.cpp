// The WebSocket core: RFC 6455 section 5.7 frames, protocol violations and their close codes,
// UTF-8 across fragments, masking, permessage-deflate (RFC 7692 section 7.2.3) and its
// negotiation, and the opening-handshake checks. Wire input is fed whole, byte by byte and
// followed by the start of another frame.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "http/header_map.hpp"
#include "ws/close_code.hpp"
#include "ws/connection.hpp"
#include "ws/deflate.hpp"
#include "ws/deflate_negotiation.hpp"
#include "ws/handshake.hpp"
#include "ws/mask.hpp"
#include "ws/utf8_stream.hpp"

using namespace velmora;
using ws::Opcode;

namespace {

std::string unhex(std::string_view h) {
  std::string out;
  int hi = -1;
  for (char c : h) {
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(char(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

std::string hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

const uint8_t* u8(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// Events as text: "text:Hello", "binary:<size>", "ping:Hello", "close:1000:reason",
// "fail:1002".
struct Recorder final : ws::EventSink {
  std::vector<std::string> events;
  bool message(Opcode op, const ws::Payload& p) override {
    std::string body(p.size, '\0');
    p.copy_to(reinterpret_cast<uint8_t*>(body.data()));
    const char* kind = op == Opcode::kText     ? "text:"
                       : op == Opcode::kBinary ? "binary:"
                       : op == Opcode::kPing   ? "ping:"
                                               : "pong:";
    events.push_back(kind + (op == Opcode::kBinary ? std::to_string(p.size) : body));
    return true;
  }
  bool close(uint16_t code, std::string_view reason, bool failed) override {
    events.push_back((failed ? "fail:" : "close:") + std::to_string(code) +
                     (failed ? "" : ":" + std::string(reason)));
    return true;
  }
};

// The frames a connection owes, unmasked, as "pong:<payload hex>" or "close:<code hex>".
std::string outgoing(ws::Connection& c) {
  std::string raw(c.outgoing_size(), '\0');
  c.take_outgoing(reinterpret_cast<uint8_t*>(raw.data()));
  std::string out;
  for (size_t at = 0; at + 2 <= raw.size();) {
    const bool masked = raw[at + 1] & 0x80;
    const size_t n = raw[at + 1] & 0x7F;  // control frames only: 7-bit lengths
    std::string payload = raw.substr(at + 2 + (masked ? 4 : 0), n);
    if (masked) {
      ws::MaskKey key;
      std::memcpy(key.data(), raw.data() + at + 2, 4);
      ws::mask_in_place(reinterpret_cast<uint8_t*>(payload.data()), n, key, 0);
    }
    const bool close = (raw[at] & 0x0F) == 0x08;
    out += (out.empty() ? "" : " ") + std::string(close ? "close:" : "pong:") +
           hex(close ? payload.substr(0, 2) : payload);
    at += 2 + (masked ? 4 : 0) + n;
  }
  return out;
}

enum class Split { kWhole, kBytes, kTrailing };

struct Fed {
  std::vector<std::string> events;
  std::string outgoing;
};

// Feeds `wire` to a new connection of the role, in one of three ways.
Fed feed(bool client, const std::string& wire, Split split, size_t max = 1 << 24,
         std::optional<ws::DeflateParams> deflate = std::nullopt) {
  ws::Connection c(client, max, deflate);
  Recorder r;
  if (split == Split::kBytes) {
    for (size_t i = 0; i < wire.size(); ++i)
      c.receive(u8(wire) + i, 1, r);
  } else {
    // The first byte of a following frame must wait for the rest of it.
    std::string w = split == Split::kTrailing ? wire + "\x82" : wire;
    c.receive(u8(w), w.size(), r);
  }
  return {r.events, outgoing(c)};
}

void check_all_splits(bool client, const std::string& wire, const std::vector<std::string>& want,
                      const std::string& want_out, size_t max = 1 << 24,
                      std::optional<ws::DeflateParams> deflate = std::nullopt) {
  for (Split s : {Split::kWhole, Split::kBytes, Split::kTrailing}) {
    Fed f = feed(client, wire, s, max, deflate);
    CHECK(f.events == want);
    CHECK_EQ(f.outgoing, want_out);
    if (f.events != want || f.outgoing != want_out) {
      for (auto& e : f.events)
        std::printf("    got %s\n", e.c_str());
      std::printf("    out %s\n", f.outgoing.c_str());
    }
  }
}

}  // namespace

// RFC 6455 section 5.7, byte for byte; a ping is answered with the pong it asks for.
TEST_CASE(rfc6455_examples) {
  const std::string b256 = unhex("827e0100") + std::string(256, 'x');
  const std::string b64k = unhex("827f0000000000010000") + std::string(65536, 'y');
  // 17 pings unanswered: past 16 owed pongs only the latest ping is answered.
  std::string pings;
  std::vector<std::string> ping_events;
  for (char c = 'a'; c <= 'q'; ++c) {
    pings += unhex("89 81 00000000") + c;
    ping_events.push_back(std::string("ping:") + c);
  }
  struct Row {
    bool client;
    std::string wire;
    std::vector<std::string> events;
    const char* out;
  } rows[] = {
      {true, unhex("81 05 48 65 6c 6c 6f"), {"text:Hello"}, ""},
      {false, unhex("81 85 37 fa 21 3d 7f 9f 4d 51 58"), {"text:Hello"}, ""},
      {true, unhex("01 03 48 65 6c 80 02 6c 6f"), {"text:Hello"}, ""},
      {false, unhex("89 85 37 fa 21 3d 7f 9f 4d 51 58"), {"ping:Hello"}, "pong:48656c6c6f"},
      {false, unhex("8a 85 37 fa 21 3d 7f 9f 4d 51 58"), {"pong:Hello"}, ""},
      {true, b256, {"binary:256"}, ""},
      {true, b64k, {"binary:65536"}, ""},
      // A ping between the fragments of a message (RFC 6455 section 5.4).
      {true, unhex("01 03 48 65 6c 89 00 80 02 6c 6f"), {"ping:", "text:Hello"}, "pong:"},
      // Every ping is answered, in order, while few are owed.
      {false,
       unhex("89 81 00000000 61 89 81 00000000 62"),
       {"ping:a", "ping:b"},
       "pong:61 pong:62"},
      {false, pings, ping_events, "pong:71"},
      // A Close with a code and reason is echoed with its code; nothing follows it.
      {false, unhex("88 84 00000000 03e8 6f6b 81 80 00000000"), {"close:1000:ok"}, "close:03e8"},
      {false, unhex("88 80 00000000"), {"close:1005:"}, "close:"},
  };
  for (auto& row : rows)
    check_all_splits(row.client, row.wire, row.events, row.out);
}

// Each violation fails the connection with its code and queues our Close with that code.
TEST_CASE(protocol_violations) {
  struct Row {
    bool client;
    const char* wire;
    uint16_t code;
  } rows[] = {
      {false, "81 05 48656c6c6f", 1002},                       // unmasked from a client
      {true, "81 85 37fa213d 7f9f4d5158", 1002},               // masked from a server
      {false, "c1 81 00000000 61", 1002},                      // RSV1 without an extension
      {false, "a1 81 00000000 61", 1002},                      // RSV2
      {false, "91 81 00000000 61", 1002},                      // RSV3
      {false, "83 80 00000000", 1002},                         // reserved data opcode
      {false, "8b 80 00000000", 1002},                         // reserved control opcode
      {false, "09 80 00000000", 1002},                         // fragmented ping
      {false, "89 fe 007e 00000000", 1002},                    // ping over 125 bytes
      {false, "80 81 00000000 61", 1002},                      // continuation without a message
      {false, "01 81 00000000 61 01 81 00000000 62", 1002},    // new message inside one
      {false, "82 ff 8000000000000000 00000000", 1002},        // 64-bit length with its high bit
      {false, "82 fe 0005 00000000", 1002},                    // non-minimal 16-bit length
      {false, "82 ff 000000000000ffff 00000000", 1002},        // non-minimal 64-bit length
      {false, "88 81 00000000 03", 1002},                      // Close with a 1-byte payload
      {false, "81 81 00000000 ff", 1007},                      // invalid UTF-8
      {false, "01 81 00000000 ce 80 81 00000000 41", 1007},    // truncated across fragments
      {false, "88 84 00000000 03e8 fffe", 1007},               // invalid UTF-8 in the reason
      {false, "82 8b 00000000 0000000000000000000000", 1009},  // 11 bytes over a 10-byte limit
      {false, "02 86 00000000 000000000000 80 85 00000000 0000000000", 1009},  // 6 + 5 over 10
  };
  for (auto& row : rows) {
    char code[5];
    std::snprintf(code, sizeof code, "%04x", row.code);
    check_all_splits(row.client, unhex(row.wire), {"fail:" + std::to_string(row.code)},
                     std::string("close:") + code, 10);
  }
}

// RFC 6455 section 7.4: which codes a Close may carry; a received one outside them is 1002.
TEST_CASE(close_codes) {
  struct Row {
    uint32_t code;
    bool ok;
  } rows[] = {{0, false},   {999, false},  {1000, true},  {1001, true},  {1002, true},
              {1003, true}, {1004, false}, {1005, false}, {1006, false}, {1007, true},
              {1008, true}, {1009, true},  {1010, true},  {1011, true},  {1012, true},
              {1013, true}, {1014, true},  {1015, false}, {1016, false}, {2999, false},
              {3000, true}, {4999, true},  {5000, false}, {65535, false}};
  for (auto& row : rows) {
    CHECK_EQ(ws::is_sendable_close_code(row.code), row.ok);
    if (row.code > 65535) continue;
    std::string wire = unhex("88 82 00000000");
    wire.push_back(char(row.code >> 8));
    wire.push_back(char(row.code));
    Fed f = feed(false, wire, Split::kWhole);
    CHECK_EQ(f.events[0], row.ok ? "close:" + std::to_string(row.code) + ":" : "fail:1002");
    ws::Connection c(false, 100, std::nullopt);
    std::string sent;
    auto e = c.send_close(row.code, "", [&](size_t n) {
      sent.resize(n);
      return reinterpret_cast<uint8_t*>(sent.data());
    });
    const bool empty_close = row.code == 0 || row.code == 1005;
    CHECK_EQ(e == ws::Connection::SendError::kNone, row.ok || empty_close);
  }
}

// The close handshake, both orders, and what may be sent once a Close is out.
TEST_CASE(close_handshake_states) {
  using Phase = ws::CloseHandshake::Phase;
  auto sink = [](std::string& s) {
    return [&s](size_t n) {
      s.resize(n);
      return reinterpret_cast<uint8_t*>(s.data());
    };
  };
  std::string frame;
  ws::Connection a(false, 100, std::nullopt);
  CHECK(a.send_close(1000, "bye", sink(frame)) == ws::Connection::SendError::kNone);
  CHECK_EQ(hex(frame), "880503e8627965");
  CHECK(a.phase() == Phase::kClosing && a.close_sent() && !a.close_received());
  CHECK(a.send_message(false, u8(frame), 1, sink(frame)) == ws::Connection::SendError::kClosed);
  CHECK(a.send_close(1000, "", sink(frame)) == ws::Connection::SendError::kClosed);
  Recorder r;
  const std::string reply = unhex("88 82 00000000 03e8");
  a.receive(u8(reply), reply.size(), r);
  CHECK(a.phase() == Phase::kClosed && outgoing(a).empty());

  ws::Connection b(true, 100, std::nullopt);
  const std::string close = unhex("88 02 03e9");
  b.receive(u8(close), close.size(), r);
  CHECK(b.phase() == Phase::kClosed && b.close_received() && b.close_sent());
  CHECK_EQ(outgoing(b), "close:03e9");
  CHECK(b.send_close(1000, "", sink(frame)) == ws::Connection::SendError::kClosed);
  CHECK(
      ws::Connection(false, 1, std::nullopt).send_close(1000, std::string(124, 'x'), sink(frame)) ==
      ws::Connection::SendError::kBadReason);
}

// UTF-8 split at every point between two fragments; the first bad byte fails at once.
TEST_CASE(utf8_across_fragments) {
  const std::string kosme = unhex("ce ba e1 bd b9 cf 83 ce bc ce b5");
  for (size_t cut = 0; cut <= kosme.size(); ++cut) {
    std::string wire;
    wire += char(0x01), wire += char(cut), wire += kosme.substr(0, cut);
    wire += char(0x80), wire += char(kosme.size() - cut), wire += kosme.substr(cut);
    Fed f = feed(true, wire, Split::kWhole);
    CHECK(f.events == std::vector<std::string>{"text:" + kosme});
  }
  struct Row {
    const char* bytes;
    int fails_at;  // -1: valid; -2: valid so far but cut short
  } rows[] = {
      {"ce ba e1 bd b9 cf 83 ce bc ce b5 ed a0 80 65 64 69 74 65 64", 12},
      {"f4 90 80 80", 1},
      {"c0 80", 0},
      {"c1 bf", 0},
      {"e0 80 80", 1},
      {"f0 8f bf bf", 1},
      {"80", 0},
      {"ff", 0},
      {"f5 80 80 80", 0},
      {"ed 9f bf", -1},
      {"f4 8f bf bf", -1},
      {"e2 82", -2},
      {"f0 9f 98", -2},
      {"41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 51 fe", 17},
  };
  for (auto& row : rows) {
    const std::string s = unhex(row.bytes);
    ws::Utf8Stream v;
    int failed = -1;
    for (size_t i = 0; i < s.size() && failed < 0; ++i)
      if (!v.feed(u8(s) + i, 1)) failed = int(i);
    CHECK_EQ(failed, row.fails_at < 0 ? -1 : row.fails_at);
    CHECK_EQ(v.complete(), row.fails_at == -1);
    bool ascii;
    CHECK_EQ(ws::validate_utf8(u8(s), s.size(), ascii), row.fails_at == -1);
  }
}

// A binary message read in pieces is unmasked into the storage its caller offers, when the
// frame announces at most kEagerReserve bytes; a refusal falls back to reassembly.
struct Storage final : ws::MessageStorage {
  std::string bytes;
  bool refuse = false;
  int acquired = 0, released = 0;
  uint8_t* acquire(size_t n) override {
    ++acquired;
    bytes.assign(n, '\0');
    return refuse ? nullptr : reinterpret_cast<uint8_t*>(bytes.data());
  }
  void release() override { ++released; }
};

struct Bodies final : ws::EventSink {
  std::vector<std::pair<bool, std::string>> got;  // (stored, payload)
  bool message(Opcode, const ws::Payload& p) override {
    std::string body(p.size, '\0');
    p.copy_to(reinterpret_cast<uint8_t*>(body.data()));
    got.emplace_back(p.stored, body);
    return true;
  }
  bool close(uint16_t, std::string_view, bool) override { return true; }
};

TEST_CASE(binary_message_into_storage) {
  struct Case {
    size_t size;
    bool refuse;
    int acquired;
    bool stored;
  };
  const size_t eager = ws::Connection::kEagerReserve;
  for (Case k : {Case{70000, false, 1, true}, Case{70000, true, 1, false},
                 Case{eager, false, 1, true}, Case{eager + 1, false, 0, false}}) {
    std::string payload(k.size, '\0');
    for (size_t i = 0; i < k.size; ++i)
      payload[i] = char(i * 7 + i / 251);
    const ws::MaskKey key{0x37, 0xfa, 0x21, 0x3d};
    std::string wire(ws::kMaxHeaderSize + k.size, '\0');
    uint8_t* w = reinterpret_cast<uint8_t*>(wire.data());
    const size_t at = ws::write_frame_header(w, true, 0, 2, k.size, &key);
    ws::mask_copy(w + at, u8(payload), k.size, key, 0);
    wire.resize(at + k.size);
    ws::Connection c(false, 1 << 24, std::nullopt);
    Storage s;
    s.refuse = k.refuse;
    c.set_storage(&s);
    Bodies r;
    for (size_t i = 0; i < wire.size(); i += 4093)
      c.receive(u8(wire) + i, std::min<size_t>(4093, wire.size() - i), r);
    CHECK(r.got.size() == 1 && r.got[0].second == payload && r.got[0].first == k.stored);
    CHECK(s.acquired == k.acquired && s.released == int(k.stored));
  }
}

// Masking at every phase and length, against the definition.
TEST_CASE(masking_matches_the_definition) {
  const ws::MaskKey key{0x37, 0xfa, 0x21, 0x3d};
  std::string src(300, '\0');
  for (size_t i = 0; i < src.size(); ++i)
    src[i] = char(i * 7);
  for (size_t phase = 0; phase < 4; ++phase)
    for (size_t n : {0, 1, 3, 7, 8, 9, 63, 64, 65, 130, 299}) {
      std::string got(n, '\0');
      CHECK_EQ(ws::mask_copy(reinterpret_cast<uint8_t*>(got.data()), u8(src) + 1, n, key, phase),
               (phase + n) & 3);
      bool same = true;
      for (size_t i = 0; i < n; ++i)
        same = same && uint8_t(got[i]) == (uint8_t(src[1 + i]) ^ key[(phase + i) & 3]);
      CHECK(same);
    }
  std::string hello = "Hello";
  ws::mask_in_place(reinterpret_cast<uint8_t*>(hello.data()), 5, key, 0);
  CHECK_EQ(hex(hello), "7f9f4d5158");
}

// RFC 7692 section 7.2.3: the example messages, received by a client.
TEST_CASE(rfc7692_examples) {
  const ws::DeflateParams takeover{};
  struct Row {
    const char* wire;
    std::vector<std::string> events;
    const char* out = "";
  } rows[] = {
      {"c1 07 f2 48 cd c9 c9 07 00", {"text:Hello"}},
      {"41 03 f2 48 cd 80 04 c9 c9 07 00", {"text:Hello"}},
      {"c1 07 f2 48 cd c9 c9 07 00 c1 05 f2 00 11 00 00", {"text:Hello", "text:Hello"}},
      {"c1 0b 00 05 00 fa ff 48 65 6c 6c 6f 00", {"text:Hello"}},
      {"c1 08 f3 48 cd c9 c9 07 00 00", {"text:Hello"}},
      {"c1 0d f2 48 05 00 00 00 ff ff ca c9 c9 07 00", {"text:Hello"}},
      {"c1 01 00", {"text:"}},
      {"c1 03 ff ff ff", {"fail:1007"}, "close:03ef"},  // not deflate data
      {"c1 07 f2 48 cd c9 c9 07 00 c1 01 00 81 05 48656c6c6f",
       {"text:Hello", "text:", "text:Hello"}},
      {"c9 00", {"fail:1002"}, "close:03ea"},                             // RSV1 on a control frame
      {"41 03 f2 48 cd c0 04 c9 c9 07 00", {"fail:1002"}, "close:03ea"},  // ... on a continuation
  };
  for (auto& row : rows)
    check_all_splits(true, unhex(row.wire), row.events, row.out, 1 << 20, takeover);
  // The compressor writes the first example's bytes, then the shorter second one.
  ws::MessageCompressor z(15, false);
  ws::ByteBuffer out;
  CHECK(z.compress(u8(std::string("Hello")), 5, out));
  CHECK_EQ(hex({reinterpret_cast<char*>(out.data()), out.size()}), "f248cdc9c90700");
  CHECK(z.compress(u8(std::string("Hello")), 5, out));
  CHECK_EQ(hex({reinterpret_cast<char*>(out.data()), out.size()}), "f200110000");
}

// Round trips between both roles for every window and context choice, over several messages.
TEST_CASE(deflate_round_trips) {
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "message " + std::to_string(i * 7919 % 1000) + " ";
  for (int bits : {8, 9, 12, 15})
    for (bool reset : {false, true}) {
      ws::DeflateParams p{reset, reset, uint8_t(bits), uint8_t(bits)};
      ws::Connection client(true, 1 << 20, p), server(false, 1 << 20, p);
      for (int m = 0; m < 3; ++m) {
        std::string wire;
        auto sink = [&](size_t n) {
          wire.resize(n);
          return reinterpret_cast<uint8_t*>(wire.data());
        };
        CHECK(client.send_message(true, u8(text), text.size(), sink) ==
              ws::Connection::SendError::kNone);
        CHECK(wire.size() < text.size() / 4);
        Recorder r;
        server.receive(u8(wire), wire.size(), r);
        CHECK(r.events == std::vector<std::string>{"text:" + text});
        CHECK(server.send_message(false, u8(text), 0, sink) == ws::Connection::SendError::kNone);
        client.receive(u8(wire), wire.size(), r);
        CHECK(r.events.size() == 2 && r.events[1] == "binary:0");
      }
    }
}

// A compression bomb stops at the limit with 1009, its output never past the limit.
TEST_CASE(deflate_bomb_is_bounded) {
  const std::string zeros(8 << 20, '\0');
  ws::MessageCompressor z(15, false);
  ws::ByteBuffer bomb;
  CHECK(z.compress(u8(zeros), zeros.size(), bomb));
  CHECK(bomb.size() < 16 * 1024);
  ws::MessageDecompressor d(15, false);
  ws::ByteBuffer out;
  CHECK(d.decompress(bomb.data(), bomb.size(), 1 << 20, out) ==
        ws::MessageDecompressor::Result::kTooBig);
  CHECK(out.capacity() <= (1u << 20) + 1);
  std::string wire = unhex("c1 7e");
  wire += char(bomb.size() >> 8), wire += char(bomb.size());
  wire.append(reinterpret_cast<char*>(bomb.data()), bomb.size());
  CHECK(feed(true, wire, Split::kWhole, 1 << 20, ws::DeflateParams{}).events ==
        std::vector<std::string>{"fail:1009"});
}

// RFC 7692 section 7.1: the server's answer to offers, and the client's check of answers.
TEST_CASE(deflate_negotiation) {
  struct Offer {
    const char* offers;
    int max_bits;
    bool nct;
    const char* response;  // null: declined
    ws::DeflateParams params;
  } offers[] = {
      {"permessage-deflate", 15, false, "permessage-deflate", {}},
      {"permessage-deflate; client_max_window_bits", 15, false, "permessage-deflate", {}},
      {"permessage-deflate; client_max_window_bits",
       10,
       false,
       "permessage-deflate; server_max_window_bits=10; client_max_window_bits=10",
       {false, false, 10, 10}},
      {"permessage-deflate; server_max_window_bits=8; client_no_context_takeover",
       15,
       false,
       "permessage-deflate; client_no_context_takeover; server_max_window_bits=8",
       {false, true, 8, 15}},
      {"permessage-deflate; server_no_context_takeover; client_max_window_bits=\"12\"",
       15,
       false,
       "permessage-deflate; server_no_context_takeover; client_max_window_bits=12",
       {true, false, 15, 12}},
      {"permessage-deflate",
       15,
       true,
       "permessage-deflate; server_no_context_takeover; client_no_context_takeover",
       {true, true, 15, 15}},
      {"permessage-deflate; server_max_window_bits=7, permessage-deflate",
       15,
       false,
       "permessage-deflate",
       {}},
      {"x-webkit-deflate-frame, permessage-deflate; foo=1", 15, false, nullptr, {}},
      {"permessage-deflate; server_max_window_bits=08", 15, false, nullptr, {}},
      {"permessage-deflate; server_max_window_bits", 15, false, nullptr, {}},
      {"permessage-deflate; server_no_context_takeover; server_no_context_takeover",
       15,
       false,
       nullptr,
       {}},
      {"permessage-deflate; client_max_window_bits=\"1 5\"", 15, false, nullptr, {}},
      {"permessage-deflate;", 15, false, nullptr, {}},
      {"", 15, false, nullptr, {}},
  };
  auto same = [](const ws::DeflateParams& a, const ws::DeflateParams& b) {
    return a.server_no_context_takeover == b.server_no_context_takeover &&
           a.client_no_context_takeover == b.client_no_context_takeover &&
           a.server_max_window_bits == b.server_max_window_bits &&
           a.client_max_window_bits == b.client_max_window_bits;
  };
  for (auto& o : offers) {
    auto a = ws::negotiate_deflate(o.offers, o.max_bits, o.nct);
    CHECK_EQ(bool(a), o.response != nullptr);
    if (!a || !o.response) continue;
    CHECK_EQ(a->response, o.response);
    CHECK(same(a->params, o.params));
    // The client accepts every answer the server gives.
    const char* error = "";
    auto back = ws::accept_deflate(a->response, 0, error);
    CHECK(back && same(*back, o.params));
  }
  CHECK_EQ(ws::deflate_offer(0, false), "permessage-deflate; client_max_window_bits");
  CHECK_EQ(ws::deflate_offer(10, true),
           "permessage-deflate; client_no_context_takeover; client_max_window_bits=10");
  struct Answer {
    const char* response;
    int offered_bits;
    bool ok;
  } answers[] = {
      {"permessage-deflate; client_max_window_bits=10", 10, true},
      {"permessage-deflate; client_max_window_bits=11", 10, false},
      {"permessage-deflate; client_max_window_bits", 0, false},
      {"permessage-deflate, permessage-deflate", 0, false},
      {"x-other", 0, false},
      {"permessage-deflate; mystery", 0, false},
      {"PerMessage-Deflate; Server_No_Context_Takeover", 0, true},
  };
  for (auto& a : answers) {
    const char* error = "";
    CHECK_EQ(bool(ws::accept_deflate(a.response, a.offered_bits, error)), a.ok);
  }
}

// RFC 6455 section 4.2.1 (HTTP/1.1) and RFC 8441 (HTTP/2) request checks.
TEST_CASE(opening_handshake_checks) {
  using H = std::vector<std::pair<const char*, const char*>>;
  const H good = {{"upgrade", "websocket"},
                  {"connection", "keep-alive, Upgrade"},
                  {"sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ=="},
                  {"sec-websocket-version", "13"},
                  {"sec-websocket-protocol", "chat, superchat"},
                  {"sec-websocket-protocol", "v2"},
                  {"sec-websocket-extensions", "permessage-deflate"},
                  {"sec-websocket-extensions", "x-foo"}};
  auto with = [&](std::string_view name, const char* value) {
    H h;
    for (auto& kv : good)
      if (name != kv.first) h.push_back(kv);
    if (value) h.push_back({name.data(), value});
    return h;
  };
  struct Row {
    const char* method;
    bool http2;
    H headers;
    int status;  // -1: not a WebSocket request
  } rows[] = {
      {"GET", false, good, 0},
      {"GET", false, with("upgrade", nullptr), -1},
      {"GET", false, with("upgrade", "h2c"), -1},
      {"GET", false, with("upgrade", "WebSocket"), 0},
      {"POST", false, good, 400},
      {"GET", false, with("connection", "keep-alive"), 400},
      {"GET", false, with("sec-websocket-version", "8"), 426},
      {"GET", false, with("sec-websocket-version", nullptr), 426},
      {"GET", false, with("sec-websocket-key", nullptr), 400},
      {"GET", false, with("sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ="), 400},
      {"GET", false, with("sec-websocket-key", "dGhlIHNhbXBsZSBub25jZR=="), 400},
      {"GET", false, with("sec-websocket-key", "AAAAAAAAAAAAAAAAAAAAAAAA"), 400},
      {"GET", false, with("sec-websocket-protocol", "a b"), 400},
      {"CONNECT", true, with("sec-websocket-key", nullptr), 0},
      {"CONNECT", true, with("sec-websocket-version", "12"), 426},
  };
  for (auto& row : rows) {
    http::HeaderMap map;
    for (auto& kv : row.headers)
      map.add(kv.first, kv.second);
    auto r = ws::check_request(row.method, row.http2, map);
    CHECK_EQ(r ? r->status : -1, row.status);
    if (!r || row.status) continue;
    CHECK_EQ(std::string(r->key), row.http2 ? "" : "dGhlIHNhbXBsZSBub25jZQ==");
    CHECK(r->subprotocols.size() == 3 && r->subprotocols[0] == "chat" &&
          r->subprotocols[2] == "v2");
    CHECK_EQ(r->extensions, "permessage-deflate, x-foo");
  }
}

int main() {
  return check::run_all();
}
