// Statements and text result sets against the fake server: COM_QUERY bytes, every kind of first
// answer, column counts and definitions at their limits, the EOF checks, row values (NULL, empty,
// missing, overrunning), and the two column-type predicates.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "mysql_client/mysql_client.h"
#include "tests/support/fake_server.h"

namespace {

typedef std::vector<std::optional<std::string>> row_t;

// Logs in (native method, password "pw") and then plays `after_login`; the first packet the
// client sends after the login is its COM_QUERY.
bool start_session(fake_server *fs, my_conn *c, const std::vector<fake_step> &after_login) {
  handshake_opts o;
  o.plugin = "mysql_native_password";
  std::vector<fake_step> script{send_packet(0, handshake_v10(o)), read_packet(), send_packet(2, ok_packet())};
  script.insert(script.end(), after_login.begin(), after_login.end());
  if (!fake_start(fs, script)) return false;
  return my_connect(c, "127.0.0.1", fs->port, "app", "pw", nullptr) == 0;
}

// The answer to one query: the count, the definitions, EOF, then `rest`.
std::vector<fake_step> result_set(const std::vector<bytes> &defs, const std::vector<bytes> &rest) {
  std::vector<fake_step> s{read_packet(), send_packet(1, column_count(defs.size()))};
  uint8_t seq = 2;
  for (const bytes &d : defs) s.push_back(send_packet(seq++, d));
  s.push_back(send_packet(seq++, eof_packet()));
  for (const bytes &r : rest) {
    s.push_back(send_raw(frame_chain(seq, r)));
    seq = static_cast<uint8_t>(seq + r.size() / MY_MAX_PIECE + 1);
  }
  return s;
}

std::string cell_text(const my_cell &cell) {
  return std::string(reinterpret_cast<const char *>(cell.data), cell.len);
}

TEST(Query, SendsComQueryWithSequenceZero) {
  struct sql_case {
    const char *name;
    std::string sql;
  };
  const sql_case cases[] = {
      {"plain statement", "SELECT 1"},
      {"empty text is the command byte alone", ""},
      {"bytes above 0x7F pass untouched", "SELECT '\xC3\xA9\xFF'"},
  };
  for (const sql_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    my_conn c;
    ASSERT_TRUE(start_session(&fs, &c, {read_packet(), send_packet(1, ok_packet())})) << c.err_msg;
    EXPECT_NE(c.seq, 0);  // the login left it elsewhere
    EXPECT_EQ(my_query(&c, tc.sql.c_str()), 0) << c.err_msg;
    my_close(&c);
    fake_join(&fs);
    ASSERT_EQ(fs.packets.size(), 2u) << fs.failure;
    EXPECT_EQ(fs.packets[1].seq, 0);
    EXPECT_EQ(fs.packets[1].payload, concat({{0x03}, text_bytes(tc.sql)}));
  }
}

TEST(Query, FirstAnswerDecidesTheOutcome) {
  struct answer_case {
    const char *name;
    std::string sql;
    std::vector<fake_step> server;  // after reading the COM_QUERY
    int rc;
    int32_t code;
    std::string msg;
  };
  const answer_case cases[] = {
      {"OK", "DO 1", {send_packet(1, ok_packet())}, 0, 0, ""},
      {"OK whatever follows its first byte", "DO 1", {send_packet(1, {0x00, 0xFF, 0xFB})}, 0, 0, ""},
      {"server error", "SELECT * FROM x.y", {send_packet(1, err_packet(1146, "42S02", "Table 'x.y' doesn't exist"))},
       -1, 1146, "Table 'x.y' doesn't exist"},
      {"empty text answered with an error", "", {send_packet(1, err_packet(1065, "42000", "Query was empty"))}, -1,
       1065, "Query was empty"},
      {"malformed error", "DO 1", {send_packet(1, {0xFF, 0x15})}, -1, MY_ERR_PROTOCOL, "malformed error packet"},
      {"empty answer", "DO 1", {send_packet(1, {})}, -1, MY_ERR_PROTOCOL, "empty query response"},
      {"column count", "SELECT 1", {send_packet(1, {0x01})}, 1, 0, ""},
      {"LOCAL INFILE request is taken for a result set", "LOAD", {send_packet(1, {0xFB, 'f'})}, 1, 0, ""},
      {"FE is taken for a result set", "SELECT 1", {send_packet(1, {0xFE})}, 1, 0, ""},
      {"server closes", "DO 1", {close_conn()}, -1, MY_ERR_PROTOCOL, "socket read failed"},
  };
  for (const answer_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<fake_step> s{read_packet()};
    s.insert(s.end(), tc.server.begin(), tc.server.end());
    fake_server fs;
    my_conn c;
    ASSERT_TRUE(start_session(&fs, &c, s)) << c.err_msg;
    EXPECT_EQ(my_query(&c, tc.sql.c_str()), tc.rc);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_EQ(std::string(c.err_msg), tc.msg);
    my_close(&c);
  }
}

TEST(Query, CancelledWhileWaitingForTheAnswer) {
  fake_server fs;
  my_conn c;
  ASSERT_TRUE(start_session(&fs, &c, {read_packet(), go_silent()})) << c.err_msg;
  std::atomic<int32_t> flag{1};
  c.cancel_ptr = &flag;
  EXPECT_EQ(my_query(&c, "SELECT SLEEP(100)"), -1);
  EXPECT_EQ(c.err_code, MY_ERR_CANCELLED);
  EXPECT_STREQ(c.err_msg, "cancelled");
  my_close(&c);
  fake_join(&fs);
  ASSERT_EQ(fs.packets.size(), 2u);  // the statement itself still went out
  EXPECT_EQ(fs.packets[1].payload, concat({{0x03}, text_bytes("SELECT SLEEP(100)")}));
}

std::vector<bytes> numbered_defs(size_t n) {
  std::vector<bytes> d;
  for (size_t i = 0; i < n; ++i) d.push_back(column_def("c" + std::to_string(i), 3));
  return d;
}

TEST(ReadMeta, ColumnCountLimits) {
  struct count_case {
    const char *name;
    bytes count_packet;
    int32_t want;  // 0: refused with "bad column count"
  };
  bytes fe_one{0xFE, 1, 0, 0, 0, 0, 0, 0, 0};
  const count_case cases[] = {
      {"1", {0x01}, 1},
      {"251 in three bytes", {0xFC, 0xFB, 0x00}, 251},
      {"4096", {0xFC, 0x00, 0x10}, 4096},
      {"4096 in four bytes", {0xFD, 0x00, 0x10, 0x00}, 4096},
      {"1 in nine bytes", fe_one, 1},
      {"0 in three bytes (a lone 00 is an OK packet)", {0xFC, 0x00, 0x00}, 0},
      {"4097", {0xFC, 0x01, 0x10}, 0},
      {"2^32 + 1 does not wrap to 1", {0xFE, 1, 0, 0, 0, 1, 0, 0, 0}, 0},
      {"NULL marker", {0xFB}, 0},
      {"cut short", {0xFC, 0x00}, 0},
      {"nine-byte form cut short", {0xFE, 1, 0, 0}, 0},
  };
  for (const count_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<fake_step> s{read_packet(), send_packet(1, tc.count_packet)};
    uint8_t seq = 2;
    for (const bytes &d : numbered_defs(static_cast<size_t>(tc.want))) s.push_back(send_packet(seq++, d));
    if (tc.want > 0) s.push_back(send_packet(seq++, eof_packet()));
    fake_server fs;
    my_conn c;
    ASSERT_TRUE(start_session(&fs, &c, s)) << c.err_msg;
    ASSERT_EQ(my_query(&c, "SELECT"), 1);
    my_col untouched;
    my_meta meta{&untouched, -7};
    if (tc.want > 0) {
      ASSERT_EQ(my_read_meta(&c, &meta), 0) << c.err_msg;
      ASSERT_EQ(meta.count, tc.want);
      EXPECT_STREQ(meta.cols[tc.want - 1].name, ("c" + std::to_string(tc.want - 1)).c_str());
      my_meta_free(&meta);
    } else {
      EXPECT_EQ(my_read_meta(&c, &meta), -1);
      EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
      EXPECT_STREQ(c.err_msg, "bad column count");
      EXPECT_EQ(meta.cols, &untouched);  // not written
      EXPECT_EQ(meta.count, -7);
    }
    my_close(&c);
  }
}

TEST(ReadMeta, DefinitionsAreDecoded) {
  column_opts money;
  money.name = "price";
  money.org_name = "price_cents";  // the alias is what counts
  money.type = 246;
  money.charset = 0x0121;
  money.flags = 0x4203;
  column_opts blob;
  blob.name = std::string(200, 'n');
  blob.type = 252;
  blob.charset = 63;
  blob.flags = 0x0090;
  bytes null_name = concat({lenenc_str(std::string("def")), lenenc_str(std::string("db")),
                            lenenc_str(std::string("t")), lenenc_str(std::string("t")), {0xFB},
                            lenenc_str(std::string("x")), {0x0C, 45, 0, 1, 0, 0, 0, 253, 0, 0, 0}});
  // Long strings in the skipped fields take the three-byte length form.
  column_opts wide;
  wide.catalog = std::string(300, 'c');
  wide.org_name = std::string(70000, 'o');
  wide.name = "w";
  wide.type = 3;
  bytes odd_fixed_len = column_def("f", 1);
  odd_fixed_len[odd_fixed_len.size() - 13] = 0x0B;  // the fields' length byte is not checked
  fake_server fs;
  my_conn c;
  ASSERT_TRUE(start_session(&fs, &c, result_set({column_def(money), column_def(blob), null_name,
                                                  column_def(wide), odd_fixed_len},
                                                 {eof_packet()})))
      << c.err_msg;
  ASSERT_EQ(my_query(&c, "SELECT"), 1);
  my_meta meta{};
  ASSERT_EQ(my_read_meta(&c, &meta), 0) << c.err_msg;
  ASSERT_EQ(meta.count, 5);
  EXPECT_STREQ(meta.cols[0].name, "price");
  EXPECT_EQ(meta.cols[0].type, 246);
  EXPECT_EQ(meta.cols[0].charset, 0x0121);
  EXPECT_EQ(meta.cols[0].flags, 0x4203);
  EXPECT_EQ(std::string(meta.cols[1].name), std::string(127, 'n'));
  EXPECT_EQ(meta.cols[1].type, 252);
  EXPECT_EQ(meta.cols[1].charset, 63);
  EXPECT_EQ(meta.cols[1].flags, 0x0090);
  EXPECT_STREQ(meta.cols[2].name, "");
  EXPECT_EQ(meta.cols[2].type, 253);
  EXPECT_STREQ(meta.cols[3].name, "w");
  EXPECT_EQ(meta.cols[3].type, 3);
  EXPECT_STREQ(meta.cols[4].name, "f");
  EXPECT_EQ(meta.cols[4].type, 1);
  my_cell cells[5];
  EXPECT_EQ(my_read_row(&c, &meta, cells), 0);
  my_meta_free(&meta);
  EXPECT_EQ(meta.cols, nullptr);
  EXPECT_EQ(meta.count, 0);
  my_meta_free(&meta);  // harmless on an emptied list
  EXPECT_EQ(meta.cols, nullptr);
  my_close(&c);
}

bytes six_strings() {
  return concat({lenenc_str(std::string("def")), lenenc_str(std::string("db")), lenenc_str(std::string("t")),
                 lenenc_str(std::string("t")), lenenc_str(std::string("name")), lenenc_str(std::string("name"))});
}

TEST(ReadMeta, DefinitionBoundsAndTheEofAfterThem) {
  const bytes tail10{45, 0, 255, 0, 0, 0, 253, 0, 0, 0};
  const bytes five = concat({lenenc_str(std::string("def")), lenenc_str(std::string("db")),
                             lenenc_str(std::string("t")), lenenc_str(std::string("t")),
                             lenenc_str(std::string("name"))});
  struct def_case {
    const char *name;
    bytes def;
    bytes after;  // the packet where the EOF belongs
    const char *msg;  // nullptr: accepted
  };
  const def_case cases[] = {
      {"ten bytes of fixed fields, no filler", concat({six_strings(), {0x0C}, tail10}), eof_packet(), nullptr},
      {"nine bytes of fixed fields", concat({six_strings(), {0x0C}, bytes(tail10.begin(), tail10.end() - 1)}),
       eof_packet(), "bad column def tail"},
      {"ends after the fifth string", five, eof_packet(), "bad column def tail"},
      {"ends after the sixth string", six_strings(), eof_packet(), "bad column def tail"},
      {"empty definition", {}, eof_packet(), "bad column def tail"},
      {"fixed-fields length whose skip runs past the end", concat({six_strings(), {0xFC, 0x0C}}), eof_packet(),
       "bad column def tail"},
      {"string longer than the packet", concat({{0x10}, text_bytes("def")}), eof_packet(), "bad column def"},
      {"string length cut short", concat({lenenc_str(std::string("def")), {0xFC, 0x05}}), eof_packet(),
       "bad column def"},
      {"string length near 2^64", concat({{0xFE, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, text_bytes("x")}),
       eof_packet(), "bad column def"},
      {"name longer than the packet",
       concat({lenenc_str(std::string("def")), lenenc_str(std::string("db")), lenenc_str(std::string("t")),
               lenenc_str(std::string("t")), {0xFC, 0x00, 0x01}, text_bytes("abc")}),
       eof_packet(), "bad column def"},
      {"short EOF", column_def("a", 3), {0xFE}, nullptr},
      {"eight-byte EOF", column_def("a", 3), {0xFE, 0, 0, 2, 0, 0, 0, 0}, nullptr},
      {"nine bytes starting with FE are not EOF", column_def("a", 3), {0xFE, 0, 0, 2, 0, 0, 0, 0, 0}, "expected EOF after columns"},
      {"OK in place of EOF", column_def("a", 3), ok_packet(), "expected EOF after columns"},
      {"error in place of EOF", column_def("a", 3), err_packet(1317, "70100", "interrupted"),
       "expected EOF after columns"},
      {"empty packet in place of EOF", column_def("a", 3), {}, "expected EOF after columns"},
  };
  for (const def_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    my_conn c;
    ASSERT_TRUE(start_session(&fs, &c, {read_packet(), send_packet(1, {0x02}), send_packet(2, column_def("ok", 3)),
                                        send_packet(3, tc.def), send_packet(4, tc.after)}))
        << c.err_msg;
    ASSERT_EQ(my_query(&c, "SELECT"), 1);
    my_meta meta{};
    if (tc.msg == nullptr) {
      EXPECT_EQ(my_read_meta(&c, &meta), 0) << c.err_msg;
      EXPECT_EQ(meta.count, 2);
      my_meta_free(&meta);
    } else {
      EXPECT_EQ(my_read_meta(&c, &meta), -1);
      EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
      EXPECT_STREQ(c.err_msg, tc.msg);
      EXPECT_EQ(meta.cols, nullptr);  // released on failure
      EXPECT_EQ(meta.count, 0);
    }
    my_close(&c);
  }
}

TEST(ReadMeta, ServerClosingAmongTheDefinitionsReleasesTheList) {
  fake_server fs;
  my_conn c;
  ASSERT_TRUE(start_session(&fs, &c, {read_packet(), send_packet(1, {0x03}), send_packet(2, column_def("a", 3)),
                                      close_conn()}))
      << c.err_msg;
  ASSERT_EQ(my_query(&c, "SELECT"), 1);
  my_meta meta{};
  EXPECT_EQ(my_read_meta(&c, &meta), -1);
  EXPECT_STREQ(c.err_msg, "socket read failed");
  EXPECT_EQ(meta.cols, nullptr);
  EXPECT_EQ(meta.count, 0);
  my_close(&c);
}

TEST(ReadRow, ValuesNullEmptyMissingAndOverruns) {
  struct row_case {
    const char *name;
    bytes packet;
    int rc;
    row_t cells;  // for rc 1, and those filled before an overrun; M: empty and at the payload's end
    int32_t code;
    std::string msg;
  };
  const std::string M = "\x01MISSING";
  bytes fe_value{0xFE, 3, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'};
  const row_case cases[] = {
      {"text, NULL and empty", text_row({std::string("a"), std::nullopt, std::string("")}), 1,
       {std::string("a"), std::nullopt, std::string("")}, 0, ""},
      {"missing values are empty, not NULL", text_row({std::string("only")}), 1, {std::string("only"), M, M}, 0,
       ""},
      {"bytes after the last value are ignored", concat({text_row({std::string("1"), std::string("2"),
                                                                   std::string("3")}),
                                                         {0x05, 'x'}}),
       1, {std::string("1"), std::string("2"), std::string("3")}, 0, ""},
      {"FE with nine bytes or more is a row", fe_value, 1, {std::string("abc"), M, M}, 0, ""},
      {"FF as a later length prefix reads like FE", {0x01, 'x', 0xFF, 2, 0, 0, 0, 0, 0, 0, 0, 'o', 'k'}, 1,
       {std::string("x"), std::string("ok"), M}, 0, ""},
      {"value with a 0xFC length", concat({lenenc_str(std::string(300, 'w')), {0xFB, 0x00}}), 1,
       {std::string(300, 'w'), std::nullopt, std::string("")}, 0, ""},
      {"0xFC length beyond the packet", concat({{0x01, 'x', 0xFC, 0x2C, 0x01}, text_bytes("short")}), -1,
       {std::string("x")}, MY_ERR_PROTOCOL, "row overrun"},
      {"length prefix cut short", {0x01, 'x', 0xFD, 0x01}, -1, {std::string("x")}, MY_ERR_PROTOCOL, "row overrun"},
      {"length near 2^64", {0xFE, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, -1, {}, MY_ERR_PROTOCOL,
       "row overrun"},
      {"server error in place of a row", err_packet(1317, "70100", "Query execution was interrupted"), -1, {},
       1317, "Query execution was interrupted"},
      {"malformed error in place of a row", {0xFF, 0x05}, -1, {}, MY_ERR_PROTOCOL, "malformed error packet"},
      {"empty row packet", {}, -1, {}, MY_ERR_PROTOCOL, "empty row packet"},
      {"EOF ends the rows", eof_packet(), 0, {}, 0, ""},
      {"eight-byte EOF ends the rows", {0xFE, 0, 0, 2, 0, 0, 0, 0}, 0, {}, 0, ""},
  };
  for (const row_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    my_conn c;
    ASSERT_TRUE(start_session(&fs, &c, result_set(numbered_defs(3), {tc.packet}))) << c.err_msg;
    ASSERT_EQ(my_query(&c, "SELECT"), 1);
    my_meta meta{};
    ASSERT_EQ(my_read_meta(&c, &meta), 0) << c.err_msg;
    const unsigned char poison = 0;
    my_cell cells[3] = {{&poison, 99}, {&poison, 99}, {&poison, 99}};
    EXPECT_EQ(my_read_row(&c, &meta, cells), tc.rc);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_EQ(std::string(c.err_msg), tc.msg);
    for (size_t i = 0; i < tc.cells.size(); ++i) {
      SCOPED_TRACE(i);
      const my_cell &cell = cells[i];
      if (!tc.cells[i]) {
        EXPECT_EQ(cell.data, nullptr);
        EXPECT_EQ(cell.len, 0u);
      } else if (*tc.cells[i] == M) {
        EXPECT_EQ(cell.data, c.pkt + c.pkt_len);
        EXPECT_EQ(cell.len, 0u);
      } else {
        ASSERT_NE(cell.data, nullptr);
        EXPECT_GE(cell.data, c.pkt);  // a view into the packet buffer, not a copy
        EXPECT_LE(cell.data + cell.len, c.pkt + c.pkt_len);
        EXPECT_EQ(cell_text(cell), *tc.cells[i]);
      }
    }
    my_meta_free(&meta);
    my_close(&c);
  }
}

TEST(ReadRow, WholeResultSetThenTheNextStatement) {
  bytes big(20000000, 'z');  // more than one packet: the row arrives as a continuation chain
  big[0] = 'A';
  big[big.size() - 1] = 'Z';
  std::vector<fake_step> s = result_set(
      {column_def("id", 3, 63), column_def("body", 252, 63)},
      {text_row({std::string("1"), std::string("one")}), text_row({std::string("2"), std::nullopt}),
       concat({lenenc_str(std::string("3")), lenenc_str(big)}), eof_packet()});
  s.push_back(read_packet());
  s.push_back(send_packet(1, ok_packet()));
  fake_server fs;
  fs.wait_ms = 20000;
  my_conn c;
  ASSERT_TRUE(start_session(&fs, &c, s)) << c.err_msg;
  ASSERT_EQ(my_query(&c, "SELECT id, body FROM t"), 1);
  my_meta meta{};
  ASSERT_EQ(my_read_meta(&c, &meta), 0) << c.err_msg;
  my_cell cells[2];
  ASSERT_EQ(my_read_row(&c, &meta, cells), 1);
  EXPECT_EQ(cell_text(cells[0]), "1");
  EXPECT_EQ(cell_text(cells[1]), "one");
  ASSERT_EQ(my_read_row(&c, &meta, cells), 1);
  EXPECT_EQ(cell_text(cells[0]), "2");
  EXPECT_EQ(cells[1].data, nullptr);
  ASSERT_EQ(my_read_row(&c, &meta, cells), 1) << c.err_msg;
  EXPECT_EQ(cell_text(cells[0]), "3");
  ASSERT_EQ(cells[1].len, big.size());
  EXPECT_TRUE(memcmp(cells[1].data, big.data(), big.size()) == 0);
  EXPECT_EQ(my_read_row(&c, &meta, cells), 0);
  my_meta_free(&meta);
  EXPECT_EQ(my_query(&c, "COMMIT"), 0) << c.err_msg;
  my_close(&c);
  fake_join(&fs);
  ASSERT_EQ(fs.packets.size(), 3u) << fs.failure;
  EXPECT_EQ(fs.packets[2].seq, 0);
  EXPECT_EQ(fs.packets[2].payload, concat({{0x03}, text_bytes("COMMIT")}));
}

TEST(TypePredicates, EveryTypeCodeAndCharset) {
  auto numeric = [](int t) {
    return t == 0 || t == 1 || t == 2 || t == 3 || t == 4 || t == 5 || t == 8 || t == 9 || t == 13 || t == 246;
  };
  auto binary_when_63 = [](int t) { return t == 15 || t == 16 || (t >= 249 && t <= 254); };
  for (int t = 0; t < 256; ++t) {
    SCOPED_TRACE("type " + std::to_string(t));
    EXPECT_EQ(my_type_is_numeric(static_cast<uint8_t>(t)), numeric(t) ? 1 : 0);
    EXPECT_EQ(my_type_is_binary(static_cast<uint8_t>(t), 63), binary_when_63(t) ? 1 : 0);
    for (uint16_t cs : {0, 8, 33, 45, 62, 64, 255, 0x013F, 0xFFFF})
      EXPECT_EQ(my_type_is_binary(static_cast<uint8_t>(t), cs), 0) << "charset " << cs;
  }
}

}  // namespace
