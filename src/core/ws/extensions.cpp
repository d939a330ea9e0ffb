#include "ws/extensions.hpp"

#include <cstdint>

#include "http/chars.hpp"

namespace velmora::ws {
namespace {

class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool done() const { return at_ >= s_.size(); }
  char peek() const { return s_[at_]; }
  void skip_ows() {
    while (!done() && (peek() == ' ' || peek() == '\t'))
      ++at_;
  }
  bool eat(char c) {
    if (done() || peek() != c) return false;
    ++at_;
    return true;
  }
  std::string_view token() {
    size_t start = at_;
    while (!done() && http::is_token_char(uint8_t(peek())))
      ++at_;
    return s_.substr(start, at_ - start);
  }
  // A quoted-string after its opening quote, unescaped into `out`.
  bool quoted(std::string& out) {
    while (!done()) {
      const uint8_t c = uint8_t(s_[at_++]);
      if (c == '"') return true;
      if (c == '\\') {
        if (done()) return false;
        const uint8_t e = uint8_t(s_[at_++]);
        if (e != '\t' && (e < 0x20 || e == 0x7F)) return false;
        out.push_back(char(e));
      } else if (c == '\t' || (c >= 0x20 && c != 0x7F)) {
        out.push_back(char(c));
      } else {
        return false;
      }
    }
    return false;
  }

 private:
  std::string_view s_;
  size_t at_ = 0;
};

}  // namespace

bool parse_extensions(std::string_view value, std::vector<Extension>& out) {
  Cursor c(value);
  for (;;) {
    c.skip_ows();
    if (c.done()) return true;
    if (c.eat(',')) continue;  // an empty element
    std::string_view name = c.token();
    if (name.empty()) return false;
    Extension& ext = out.emplace_back();
    ext.name.assign(name);
    for (;;) {
      c.skip_ows();
      if (c.done() || c.eat(',')) break;
      if (!c.eat(';')) return false;
      c.skip_ows();
      std::string_view pname = c.token();
      if (pname.empty()) return false;
      ExtensionParam& param = ext.params.emplace_back();
      param.name.assign(pname);
      c.skip_ows();
      if (!c.eat('=')) continue;
      c.skip_ows();
      param.has_value = true;
      if (c.eat('"')) {
        if (!c.quoted(param.value)) return false;
        // RFC 6455 section 9.1: a quoted value must itself be a token.
        for (char ch : param.value)
          if (!http::is_token_char(uint8_t(ch))) return false;
        if (param.value.empty()) return false;
      } else {
        std::string_view v = c.token();
        if (v.empty()) return false;
        param.value.assign(v);
      }
    }
  }
}

bool split_tokens(std::string_view value, std::vector<std::string_view>& out) {
  Cursor c(value);
  for (;;) {
    c.skip_ows();
    if (c.done()) return true;
    if (c.eat(',')) continue;
    std::string_view t = c.token();
    if (t.empty()) return false;
    out.push_back(t);
    c.skip_ows();
    if (!c.done() && !c.eat(',')) return false;
  }
}

}  // namespace velmora::ws
