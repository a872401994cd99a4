#include "tests/support/json_check.h"

#include <cctype>
#include <cstring>

namespace {

struct checker {
  const std::string &s;
  size_t i;
  std::string problem;

  bool fail(const char *why) {
    if (problem.empty()) problem = std::string(why) + " at byte " + std::to_string(i);
    return false;
  }
  void space() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool literal(const char *word) {
    size_t n = strlen(word);
    if (s.compare(i, n, word) != 0) return fail("bad literal");
    i += n;
    return true;
  }
  bool utf8_sequence() {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int more = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : -1;
    if (more < 0 || c > 0xF4) return fail("invalid UTF-8 lead byte");
    for (int k = 1; k <= more; ++k)
      if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
        return fail("incomplete UTF-8 sequence");
    i += more + 1;
    return true;
  }
  bool string() {
    ++i;  // opening quote
    while (i < s.size()) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        ++i;
        return true;
      }
      if (c < 0x20) return fail("raw control byte in string");
      if (c == '\\') {
        if (i + 1 >= s.size()) return fail("cut escape");
        char e = s[i + 1];
        if (e == 'u') {
          for (int k = 2; k < 6; ++k)
            if (i + k >= s.size() || !isxdigit(static_cast<unsigned char>(s[i + k])))
              return fail("bad \\u escape");
          i += 6;
        } else if (strchr("\"\\/bfnrt", e) != nullptr && e != 0) {
          i += 2;
        } else {
          return fail("bad escape");
        }
        continue;
      }
      if (c >= 0x80) {
        if (!utf8_sequence()) return false;
        continue;
      }
      ++i;
    }
    return fail("unterminated string");
  }
  bool number() {
    size_t start = i;
    if (s[i] == '-') ++i;
    if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad number");
    if (s[i] == '0' && i + 1 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1])))
      return fail("leading zero");
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    if (i < s.size() && s[i] == '.') {
      ++i;
      if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad fraction");
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
    return i > start;
  }
  bool value(int depth) {
    if (depth > 64) return fail("too deep");
    space();
    if (i >= s.size()) return fail("missing value");
    char c = s[i];
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i;
      space();
      if (i < s.size() && s[i] == close) {
        ++i;
        return true;
      }
      for (;;) {
        if (c == '{') {
          space();
          if (i >= s.size() || s[i] != '"') return fail("expected a key");
          if (!string()) return false;
          space();
          if (i >= s.size() || s[i] != ':') return fail("expected ':'");
          ++i;
        }
        if (!value(depth + 1)) return false;
        space();
        if (i < s.size() && s[i] == ',') {
          ++i;
          continue;
        }
        if (i < s.size() && s[i] == close) {
          ++i;
          return true;
        }
        return fail("expected ',' or a closing bracket");
      }
    }
    if (c == '"') return string();
    if (c == 't') return literal("true");
    if (c == 'f') return literal("false");
    if (c == 'n') return literal("null");
    return number();
  }
};

}  // namespace

std::string json_problem(const std::string &text) {
  checker c{text, 0, ""};
  if (!c.value(0)) return c.problem;
  c.space();
  if (c.i != text.size()) {
    c.fail("text after the value");
    return c.problem;
  }
  return "";
}
