#include "ws/deflate_negotiation.hpp"

#include <algorithm>
#include <vector>

#include "http/chars.hpp"
#include "ws/extensions.hpp"

namespace velmora::ws {
namespace {

constexpr std::string_view kName = "permessage-deflate";

// A window-bits value: a decimal 8..15 without leading zeros (RFC 7692 section 7.1.2.1).
int window_bits(const std::string& v) {
  if (v.size() == 1 && v[0] == '8') return 8;
  if (v.size() == 1 && v[0] == '9') return 9;
  if (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5') return 10 + (v[1] - '0');
  return 0;
}

// The parameters of one extension element, each allowed once with its value rule.
struct Parsed {
  bool server_nct = false, client_nct = false;
  int server_bits = 0;   // 0: absent
  int client_bits = -1;  // -1: absent; 0: present without a value
};

bool read_params(const Extension& ext, bool response, Parsed& out, const char*& error) {
  bool seen[4] = {};
  for (const ExtensionParam& p : ext.params) {
    int slot;
    if (http::ascii_iequals(p.name, "server_no_context_takeover")) {
      slot = 0;
      if (p.has_value) return error = "server_no_context_takeover takes no value", false;
      out.server_nct = true;
    } else if (http::ascii_iequals(p.name, "client_no_context_takeover")) {
      slot = 1;
      if (p.has_value) return error = "client_no_context_takeover takes no value", false;
      out.client_nct = true;
    } else if (http::ascii_iequals(p.name, "server_max_window_bits")) {
      slot = 2;
      out.server_bits = p.has_value ? window_bits(p.value) : 0;
      if (!out.server_bits) return error = "bad server_max_window_bits", false;
    } else if (http::ascii_iequals(p.name, "client_max_window_bits")) {
      slot = 3;
      out.client_bits = p.has_value ? window_bits(p.value) : 0;
      // An offer may give it without a value; an answer must give one.
      if (p.has_value ? !out.client_bits : response)
        return error = "bad client_max_window_bits", false;
    } else {
      return error = "unknown permessage-deflate parameter", false;
    }
    if (seen[slot]) return error = "permessage-deflate parameter given twice", false;
    seen[slot] = true;
  }
  return true;
}

}  // namespace

std::optional<DeflateAgreement> negotiate_deflate(std::string_view offers, int max_window_bits,
                                                  bool no_context_takeover) {
  std::vector<Extension> list;
  if (!parse_extensions(offers, list)) return std::nullopt;
  max_window_bits = std::clamp(max_window_bits, 8, 15);
  for (const Extension& ext : list) {
    if (!http::ascii_iequals(ext.name, kName)) continue;
    Parsed offer;
    const char* error;
    if (!read_params(ext, false, offer, error)) continue;  // decline this offer, try the next
    DeflateAgreement a;
    DeflateParams& p = a.params;
    a.response.assign(kName);
    // Our compressor: the client may cap it; we may cap it further on our own.
    p.server_no_context_takeover = offer.server_nct || no_context_takeover;
    p.server_max_window_bits =
        uint8_t(std::min(offer.server_bits ? offer.server_bits : 15, max_window_bits));
    // The client's compressor: capped only when the client said it can be (the parameter in
    // its offer); otherwise it keeps 15 and our decompressor follows.
    p.client_no_context_takeover = offer.client_nct || no_context_takeover;
    p.client_max_window_bits = 15;
    if (offer.client_bits >= 0)
      p.client_max_window_bits =
          uint8_t(std::min(offer.client_bits ? offer.client_bits : 15, max_window_bits));
    if (p.server_no_context_takeover) a.response += "; server_no_context_takeover";
    if (p.client_no_context_takeover) a.response += "; client_no_context_takeover";
    if (offer.server_bits || p.server_max_window_bits < 15)
      a.response.append("; server_max_window_bits=")
          .append(std::to_string(p.server_max_window_bits));
    if (offer.client_bits >= 0 && p.client_max_window_bits < 15)
      a.response.append("; client_max_window_bits=")
          .append(std::to_string(p.client_max_window_bits));
    return a;
  }
  return std::nullopt;
}

std::string deflate_offer(int client_max_window_bits, bool client_no_context_takeover) {
  std::string s(kName);
  if (client_no_context_takeover) s += "; client_no_context_takeover";
  s += "; client_max_window_bits";
  if (client_max_window_bits) {
    s += '=';
    s += std::to_string(client_max_window_bits);
  }
  return s;
}

std::optional<DeflateParams> accept_deflate(std::string_view response, int offered_client_bits,
                                            const char*& error) {
  std::vector<Extension> list;
  if (!parse_extensions(response, list)) return error = "malformed extension list", std::nullopt;
  if (list.empty()) return error = "no extension in the answer", std::nullopt;
  if (list.size() != 1 || !http::ascii_iequals(list[0].name, kName))
    return error = "the server accepted an extension that was not offered", std::nullopt;
  Parsed answer;
  if (!read_params(list[0], true, answer, error)) return std::nullopt;
  DeflateParams p;
  p.server_no_context_takeover = answer.server_nct;
  p.client_no_context_takeover = answer.client_nct;
  p.server_max_window_bits = uint8_t(answer.server_bits ? answer.server_bits : 15);
  const int offered = offered_client_bits ? offered_client_bits : 15;
  if (answer.client_bits > offered)
    return error = "client_max_window_bits above the offered value", std::nullopt;
  p.client_max_window_bits = uint8_t(answer.client_bits > 0 ? answer.client_bits : offered);
  return p;
}

}  // namespace velmora::ws
