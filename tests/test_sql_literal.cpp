// String and hex literals of the dump text, compared byte for byte with a plain per-byte encoder:
// the word-at-a-time scan must find every byte that needs an escape wherever it sits in a word.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "mysqldump/dump_writer.h"
#include "mysqldump/session.h"
#include "mysqldump/sql_literal.h"
#include "tests/support/recording_file.h"
#include "tests/support/same_bytes.h"

namespace {

std::string reference_string(const std::string &in) {
  std::string out = "'";
  for (unsigned char c : in) {
    switch (c) {
      case 0x00: out += "\\0"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0D: out += "\\r"; break;
      case 0x1A: out += "\\Z"; break;
      case '\'': out += "\\'"; break;
      case '\\': out += "\\\\"; break;
      default: out += static_cast<char>(c);
    }
  }
  return out + "'";
}

std::string reference_hex(const std::string &in) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (unsigned char c : in) {
    out += digits[c >> 4];
    out += digits[c & 0x0F];
  }
  return out;
}

// A writer over an in-memory file; `cap` small enough makes literals cross many buffer flushes.
struct literal_writer {
  recording_file rec;
  FILE *file = nullptr;
  mdump_session *session = nullptr;
  dump_writer w;

  explicit literal_writer(uint64_t cap) {
    session = static_cast<mdump_session *>(calloc(1, sizeof(mdump_session)));
    file = open_recording_file(&rec);
    memset(&w, 0, sizeof w);
    w.file = file;
    w.cap = cap;
    w.buf = static_cast<unsigned char *>(malloc(cap));
    w.session = session;
  }
  ~literal_writer() {
    free(w.buf);
    fclose(file);
    free(session);
  }
  std::string text() {
    EXPECT_EQ(dw_flush(&w), 0);
    return rec.data;
  }
};

const unsigned char *bytes_of(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

std::string encode_string(const std::string &in, uint64_t cap) {
  literal_writer lw(cap);
  EXPECT_EQ(sql_put_string(&lw.w, bytes_of(in), in.size()), 0);
  return lw.text();
}

std::string encode_hex(const std::string &in, uint64_t cap) {
  literal_writer lw(cap);
  EXPECT_EQ(sql_put_hex(&lw.w, bytes_of(in), in.size()), 0);
  return lw.text();
}

TEST(SqlLiteral, KnownStrings) {
  const struct {
    std::string in, want;
  } cases[] = {
      {"", "''"},
      {"plain", "'plain'"},
      {"it's", "'it\\'s'"},
      {"a\\b", "'a\\\\b'"},
      {std::string("\0x", 2), "'\\0x'"},
      {"l1\nl2\r\x1a", "'l1\\nl2\\r\\Z'"},
      {"tab\there \"dq\" \x1b \x7f", "'tab\there \"dq\" \x1b \x7f'"},  // bytes left as they are
      {"Zo\xc3\xab \xc3\x85ngstr\xc3\xb6m", "'Zo\xc3\xab \xc3\x85ngstr\xc3\xb6m'"},
  };
  for (const auto &c : cases) EXPECT_EQ(encode_string(c.in, DW_BUF_SIZE), c.want) << c.in;
}

TEST(SqlLiteral, KnownHex) {
  EXPECT_EQ(encode_hex("", DW_BUF_SIZE), "0x");
  EXPECT_EQ(encode_hex(std::string("\x00\x01\xab\xff\x10", 5), DW_BUF_SIZE), "0x0001ABFF10");
}

// Every byte value, alone and at each of the eight positions of a word, among plain letters and
// among bytes the word test flags without cause (tab, 0x1F).
TEST(SqlLiteral, EveryByteAtEveryWordPosition) {
  for (int b = 0; b < 256; ++b) {
    for (size_t pos = 0; pos < 17; ++pos) {
      for (char filler : {'a', '\t', '\x1f', '\xc3'}) {
        std::string in(24, filler);
        in[pos] = static_cast<char>(b);
        ASSERT_TRUE(same_bytes(encode_string(in, 256), reference_string(in)))
            << "byte " << b << " at " << pos << " among " << int(static_cast<unsigned char>(filler));
      }
    }
  }
}

// Random texts of every short length and a few long ones, in alphabets from plain to escape-heavy,
// through a writer whose tiny buffer flushes in the middle of runs and escape pairs.
TEST(SqlLiteral, RandomTextsMatchThePerByteEncoder) {
  std::mt19937 rng(20261210);
  const std::string alphabets[] = {
      "abcdefghijklmnopqrstuvwxyz0123456789 ",
      std::string("ab'\\\n\r\x1a\0\t\"", 10),
      "\xc3\xab\xc3\x85\xe2\x82\xac' x",
  };
  for (const std::string &alphabet : alphabets) {
    for (uint64_t cap : {uint64_t{7}, uint64_t{64}, uint64_t{DW_BUF_SIZE}}) {
      for (size_t len : {0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 100, 1000, 5000}) {
        std::string in(len, ' ');
        for (char &c : in) c = alphabet[rng() % alphabet.size()];
        ASSERT_TRUE(same_bytes(encode_string(in, cap), reference_string(in))) << "len " << len << " cap " << cap;
        ASSERT_TRUE(same_bytes(encode_hex(in, cap), reference_hex(in))) << "len " << len << " cap " << cap;
      }
    }
  }
}

// Values longer than the writer's buffer: runs and hex chunks pass through full buffers.
TEST(SqlLiteral, ValuesLargerThanTheBuffer) {
  std::mt19937 rng(7);
  std::string in(3 * DW_BUF_SIZE + 5, 'x');
  for (size_t i = 0; i < in.size(); i += 1 + rng() % 200000) in[i] = '\'';
  for (char &c : in)
    if (rng() % 1000 == 0) c = static_cast<char>(rng());
  EXPECT_TRUE(same_bytes(encode_string(in, DW_BUF_SIZE), reference_string(in)));
  EXPECT_TRUE(same_bytes(encode_hex(in, DW_BUF_SIZE), reference_hex(in)));
}

// A file that stops taking bytes part-way: the failure reaches the caller, whatever was running.
TEST(SqlLiteral, AFailedWriteIsReported) {
  std::string text(10000, 'q');
  text[5000] = '\\';
  for (size_t limit : {size_t{0}, size_t{100}, size_t{5000}, size_t{9000}}) {
    literal_writer s(64), h(64);
    s.rec.accept_limit = limit;
    h.rec.accept_limit = limit;
    EXPECT_EQ(sql_put_string(&s.w, bytes_of(text), text.size()), -1) << limit;
    EXPECT_EQ(sql_put_hex(&h.w, bytes_of(text), text.size()), -1) << limit;
  }
}

}  // namespace
