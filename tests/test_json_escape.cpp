// JSON escaping of answer texts: every escape class, and where the out_size limit cuts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "mysqldump/lib_frame.h"

namespace {

std::string escape(const std::string &in, size_t out_size) {
  std::string out(out_size + 8, '\x55');  // guard bytes after the limit
  json_escape(in.c_str(), &out[0], out_size);
  for (size_t i = out_size; i < out.size(); ++i)
    EXPECT_EQ(out[i], '\x55') << "wrote past out_size at " << i;
  return std::string(out.c_str());
}

TEST(JsonEscape, EscapesAndPassThrough) {
  struct { const char *name; std::string in, want; } cases[] = {
      {"empty", "", ""},
      {"quote backslash line feed", "a\"\\\n", "a\\\"\\\\\\n"},
      {"cr and tab", "\r\t", "\\r\\t"},
      {"other control bytes", "\x01\x1b\x1f\x08\x0c", "\\u0001\\u001b\\u001f\\u0008\\u000c"},
      {"DEL and UTF-8 unchanged", "\x7f\xC3\xA9/", "\x7f\xC3\xA9/"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(escape(c.in, 1024), c.want);
  }
}

TEST(JsonEscape, OutSizeCuts) {
  struct { const char *name; std::string in; size_t size; std::string want; } cases[] = {
      {"stops when fewer than 7 bytes remain", "abcdefghij", 8, "ab"},
      {"ends at the terminator while room remains", "abc", 10, "abc"},
      {"an escape is never split", "a\x01\x01", 13, "a\\u0001"},
      {"long input fills up to out_size - 7", std::string(2000, 'x'), 1024, std::string(1018, 'x')},
      // After the first byte of the 2-byte sequence, only 6 bytes remain: the lead byte is taken
      // back out rather than left as half a character.
      {"a UTF-8 sequence is never split", "abcdefghi\xC3\xA9z", 16, "abcdefghi"},
      {"a 4-byte sequence cut after 3 of its bytes",
       "abcdefg\xF0\x9F\x98\x80", 16, "abcdefg"},
      {"a complete sequence before the cut stays", "\xC3\xA9" "abcdefghij", 9, "\xC3\xA9" "a"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(escape(c.in, c.size), c.want);
  }
}

TEST(JsonEscape, TinyOutputsStayInBounds) {
  for (size_t size = 1; size < 7; ++size) {
    SCOPED_TRACE(size);
    std::string got = escape("\x01xyz", size);
    EXPECT_LT(got.size(), size);
  }
}

}  // namespace
