// The dump writer's buffering boundaries, and what it counts when the file refuses bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mysqldump/dump_writer.h"
#include "mysqldump/session.h"
#include "tests/support/recording_file.h"
#include "tests/support/same_bytes.h"

namespace {

const uint64_t MIB = 1048576;

class DumpWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    session = static_cast<mdump_session *>(calloc(1, sizeof(mdump_session)));
    file = open_recording_file(&rec);
    ASSERT_NE(file, nullptr);
    memset(&w, 0, sizeof w);
    w.file = file;
    w.cap = DW_BUF_SIZE;
    w.buf = static_cast<unsigned char *>(malloc(DW_BUF_SIZE));
    w.session = session;
  }
  void TearDown() override {
    free(w.buf);
    fclose(file);
    free(session);
  }
  int64_t counted() const { return session->bytes_written.load(); }
  // Fills the buffer with `n` bytes of `c` without any file write.
  void prefill(uint64_t n, char c = 'p') {
    std::string s(n, c);
    ASSERT_EQ(dw_put(&w, s.data(), n), 0);
    ASSERT_TRUE(rec.writes.empty());
  }

  recording_file rec;
  FILE *file = nullptr;
  mdump_session *session = nullptr;
  dump_writer w;
};

TEST_F(DumpWriter, PiecesThatFitAreOnlyBuffered) {
  EXPECT_EQ(dw_put(&w, "", 0), 0);
  EXPECT_EQ(w.used, 0u);
  prefill(1048570);
  EXPECT_EQ(dw_put(&w, "123456", 6), 0);
  EXPECT_EQ(w.used, MIB);
  EXPECT_TRUE(rec.writes.empty());
  EXPECT_EQ(counted(), 0);
}

TEST_F(DumpWriter, APieceThatDoesNotFitWritesTheBufferFirst) {
  prefill(1048570);
  EXPECT_EQ(dw_put(&w, "1234567", 7), 0);
  EXPECT_EQ(rec.writes, std::vector<size_t>{1048570});
  EXPECT_EQ(counted(), 1048570);
  EXPECT_EQ(w.used, 7u);
  EXPECT_EQ(dw_flush(&w), 0);
  EXPECT_TRUE(same_bytes(rec.data, std::string(1048570, 'p') + "1234567"));
  EXPECT_EQ(counted(), 1048577);
}

TEST_F(DumpWriter, APieceLargerThanTheBufferGoesStraightToTheFile) {
  prefill(10);
  std::string big(MIB + 1, 'b');
  EXPECT_EQ(dw_put(&w, big.data(), big.size()), 0);
  EXPECT_EQ(rec.writes, (std::vector<size_t>{10, MIB + 1}));
  EXPECT_EQ(w.used, 0u);
  EXPECT_EQ(counted(), static_cast<int64_t>(MIB + 11));
  EXPECT_TRUE(same_bytes(rec.data, std::string(10, 'p') + big));
}

TEST_F(DumpWriter, APieceOfExactlyTheBufferSizeIsCopied) {
  std::string whole(MIB, 'w');
  EXPECT_EQ(dw_put(&w, whole.data(), whole.size()), 0);
  EXPECT_TRUE(rec.writes.empty());
  EXPECT_EQ(w.used, MIB);
}

TEST_F(DumpWriter, FormattedTextIsCutAt2047Bytes) {
  std::string long_text(5000, 'f');
  EXPECT_EQ(dw_printf(&w, "%s", long_text.c_str()), 0);
  EXPECT_EQ(w.used, 2047u);
  EXPECT_EQ(dw_printf(&w, "<%d|%s>", 42, "x"), 0);
  EXPECT_EQ(dw_flush(&w), 0);
  EXPECT_TRUE(same_bytes(rec.data, std::string(2047, 'f') + "<42|x>"));
}

TEST_F(DumpWriter, FlushWithNothingBufferedWritesNothing) {
  EXPECT_EQ(dw_flush(&w), 0);
  EXPECT_TRUE(rec.writes.empty());
}

TEST_F(DumpWriter, AShortWriteKeepsTheBufferAndTheCount) {
  prefill(1048570);
  rec.accept_limit = 1000;
  EXPECT_EQ(dw_put(&w, "1234567", 7), -1);
  EXPECT_EQ(w.used, 1048570u);
  EXPECT_EQ(counted(), 0);
  EXPECT_EQ(dw_flush(&w), -1);
  EXPECT_EQ(w.used, 1048570u);
  // Once the file takes bytes again, the kept buffer goes out whole.
  rec.accept_limit = SIZE_MAX;
  rec.data.clear();
  EXPECT_EQ(dw_flush(&w), 0);
  EXPECT_TRUE(same_bytes(rec.data, std::string(1048570, 'p')));
  EXPECT_EQ(counted(), 1048570);
}

// Room for in-place encoding: taken from the free end when it is there, else after writing the
// buffer out; a refused write leaves buffer and count as they were, and no room beyond the
// buffer's size is ever promised.
TEST_F(DumpWriter, ReservedRoomIsCommittedInPlace) {
  prefill(MIB - 8);
  unsigned char *at = dw_reserve(&w, 8);
  ASSERT_EQ(at, w.buf + (MIB - 8));
  EXPECT_TRUE(rec.writes.empty());
  memcpy(at, "12345", 5);
  dw_commit(&w, 5);
  EXPECT_EQ(w.used, MIB - 3);
  EXPECT_EQ(w.produced, MIB - 3);

  EXPECT_EQ(dw_reserve(&w, MIB + 1), nullptr);
  EXPECT_TRUE(rec.writes.empty());

  rec.accept_limit = 100;
  EXPECT_EQ(dw_reserve(&w, 4), nullptr);
  EXPECT_EQ(w.used, MIB - 3);
  EXPECT_EQ(counted(), 0);

  rec.accept_limit = SIZE_MAX;
  rec.data.clear();
  at = dw_reserve(&w, 4);
  ASSERT_EQ(at, w.buf);
  memcpy(at, "tail", 4);
  dw_commit(&w, 4);
  EXPECT_EQ(dw_flush(&w), 0);
  EXPECT_TRUE(same_bytes(rec.data, std::string(MIB - 8, 'p') + "12345tail"));
  EXPECT_EQ(counted(), static_cast<int64_t>(MIB + 1));
}

// Whatever byte the file fails at, the count never includes a refused byte and the bytes it does
// count are exactly the start of what was produced.
TEST_F(DumpWriter, FailingAtEveryKindOfOffsetNeverOvercounts) {
  const size_t limits[] = {0, 1, 4095, MIB - 1, MIB, MIB + 1, 2 * MIB + 3, 3 * MIB, 5 * MIB};
  std::vector<std::string> pieces;
  for (int i = 0; i < 3000; ++i) pieces.push_back(std::string(1 + (i * 7919) % 3000, 'a' + i % 26));
  pieces.push_back(std::string(MIB + 17, 'Z'));
  for (int i = 0; i < 2000; ++i) pieces.push_back(std::string(1 + (i * 104729) % 1500, 'A' + i % 26));
  for (size_t limit : limits) {
    SCOPED_TRACE(limit);
    recording_file r;
    r.accept_limit = limit;
    FILE *f = open_recording_file(&r);
    ASSERT_NE(f, nullptr);
    session->bytes_written.store(0);
    w.file = f;
    w.used = 0;
    std::string produced;
    bool failed = false;
    for (const std::string &p : pieces) {
      if (dw_put(&w, p.data(), p.size()) < 0) {
        failed = true;
        break;
      }
      produced += p;
    }
    if (!failed && dw_flush(&w) < 0) failed = true;
    uint64_t total = 0;
    for (const std::string &p : pieces) total += p.size();
    EXPECT_EQ(failed, limit < total);
    int64_t count = counted();
    EXPECT_LE(static_cast<uint64_t>(count), limit);
    EXPECT_LE(static_cast<uint64_t>(count), r.data.size());
    EXPECT_TRUE(same_bytes(r.data.substr(0, static_cast<size_t>(count)),
                           produced.substr(0, static_cast<size_t>(count))));
    if (!failed) {
      EXPECT_TRUE(same_bytes(r.data, produced));
    }
    fclose(f);
  }
  w.file = file;
}

}  // namespace
