// The three catalogue calls: exact answers against the real server, and the failures only a
// scripted server can show (refused statements, cut result sets, odd estimates, a full buffer).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mysql_client/mysql_client.h"
#include "mysqldump/lib_frame.h"
#include "quillfen_mysqldump.h"
#include "tests/support/dump_run.h"
#include "tests/support/fake_server.h"
#include "tests/support/json_check.h"
#include "tests/support/test_server.h"

namespace {

std::string config(const test_server &srv, const std::string &extra = "") {
  return "{\"host\":\"" + std::string(srv.host) + "\",\"port\":" + std::to_string(srv.port) +
         ",\"user\":\"" + srv.user + "\",\"password\":\"" + srv.password + "\"" + extra + "}";
}

std::string fake_config(int port, const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"user\":\"u\",\"password\":\"p\"" + extra + "}";
}

// A login the fake accepts, then the client's one statement read; `answer` follows.
std::vector<fake_step> login_then(std::vector<fake_step> answer) {
  handshake_opts hs;
  hs.plugin = "mysql_native_password";
  std::vector<fake_step> s = {send_packet(0, handshake_v10(hs)), read_packet(),
                              send_packet(2, ok_packet()), read_packet()};
  s.insert(s.end(), answer.begin(), answer.end());
  return s;
}

std::vector<fake_step> result_set(const std::vector<std::string> &columns,
                                  const std::vector<std::vector<std::optional<std::string>>> &rows,
                                  bool end = true) {
  uint8_t seq = 1;
  std::vector<fake_step> s = {send_packet(seq++, column_count(columns.size()))};
  for (const std::string &c : columns) s.push_back(send_packet(seq++, column_def(c, 253)));
  s.push_back(send_packet(seq++, eof_packet()));
  for (const auto &r : rows) s.push_back(send_packet(seq++, text_row(r)));
  if (end) s.push_back(send_packet(seq++, eof_packet()));
  return s;
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override { set_g_err("%s", "earlier failure"); }
};

TEST_F(Catalogue, IntakeFailuresNeedNoServer) {
  struct { const char *name; const char *doc; const char *answer; } cases[] = {
      {"null document", nullptr, "{\"ok\":false,\"error\":\"invalid config json\"}"},
      {"not JSON", "host=x", "{\"ok\":false,\"error\":\"invalid config json\"}"},
      // Port 1 has no listener: a connect attempt would answer "connect failed".
      {"no user", "{\"host\":\"127.0.0.1\",\"port\":1}", "{\"ok\":false,\"error\":\"user required\"}"},
      {"closed port", "{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"u\"}",
       "{\"ok\":false,\"error\":\"connect failed to 127.0.0.1\"}"},
  };
  typedef const char *(*call_fn)(const char *);
  call_fn calls[] = {mdump_test_connection, mdump_list_databases, mdump_list_tables};
  for (const auto &tc : cases) {
    for (call_fn call : calls) {
      SCOPED_TRACE(tc.name);
      EXPECT_STREQ(call(tc.doc), tc.answer);
      std::string text = tc.answer;
      text = text.substr(21, text.size() - 23);  // the error member's text
      EXPECT_EQ(std::string(mdump_last_error()), text);
    }
  }
}

TEST_F(Catalogue, TestConnectionAnswersTheHandshakeVersion) {
  test_server srv;
  REQUIRE_TEST_SERVER(srv);
  my_conn c;
  ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0);
  std::string version = c.server_version;
  my_close(&c);
  const char *answer = mdump_test_connection(config(srv).c_str());
  EXPECT_EQ(answer, g_sync_buf);
  EXPECT_EQ(std::string(answer), "{\"ok\":true,\"server_version\":\"" + version + "\"}");
  EXPECT_STREQ(mdump_last_error(), "earlier failure") << "a success leaves g_err alone";

  // A refused login answers the server's own text, which also lands in g_err.
  std::string wrong = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(srv.port) +
                      ",\"user\":\"" + srv.user + "\",\"password\":\"nope\"}";
  EXPECT_EQ(std::string(mdump_test_connection(wrong.c_str())),
            "{\"ok\":false,\"error\":\"Access denied for user '" + std::string(srv.user) +
                "'@'127.0.0.1' (using password: YES)\"}");
  EXPECT_EQ(std::string(mdump_last_error()),
            "Access denied for user '" + std::string(srv.user) + "'@'127.0.0.1' (using password: YES)");
}

TEST_F(Catalogue, ListsDatabasesAndTablesWithNamesThatNeedEscaping) {
  test_server srv;
  REQUIRE_TEST_SERVER(srv);
  my_conn c;
  ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0);
  const char *setup[] = {
      "DROP DATABASE IF EXISTS `mdump_cat_it's`",
      "CREATE DATABASE `mdump_cat_it's`",
      "CREATE TABLE `mdump_cat_it's`.t1 (id INT PRIMARY KEY) ENGINE=InnoDB",
      "INSERT INTO `mdump_cat_it's`.t1 VALUES (1),(2),(3),(4),(5)",
      "CREATE TABLE `mdump_cat_it's`.`we\"ird\\name` (id INT) ENGINE=InnoDB",
      "CREATE VIEW `mdump_cat_it's`.v AS SELECT id FROM `mdump_cat_it's`.t1",
      "ANALYZE TABLE `mdump_cat_it's`.t1",
  };
  for (const char *sql : setup) ASSERT_GE(exec_sql(&c, sql), 0) << sql << ": " << c.err_msg;

  std::string dbs = mdump_list_databases(config(srv).c_str());
  EXPECT_EQ(json_problem(dbs), "") << dbs;
  EXPECT_EQ(dbs.rfind("{\"ok\":true,\"databases\":[\"", 0), 0u) << dbs;
  EXPECT_NE(dbs.find(",\"mdump_cat_it's\""), std::string::npos) << dbs;
  EXPECT_NE(dbs.find("\"information_schema\""), std::string::npos) << dbs;

  // The expected numbers are the server's own estimates, read the same way.
  my_meta meta{};
  ASSERT_EQ(my_query(&c, "SELECT TABLE_NAME, TABLE_ROWS, DATA_LENGTH FROM information_schema.TABLES "
                         "WHERE TABLE_SCHEMA='mdump_cat_it\\'s' AND TABLE_TYPE='BASE TABLE' "
                         "ORDER BY TABLE_NAME"), 1);
  ASSERT_EQ(my_read_meta(&c, &meta), 0);
  std::string want = "{\"ok\":true,\"tables\":[";
  my_cell cells[3];
  bool first = true;
  while (my_read_row(&c, &meta, cells) == 1) {
    std::string name(reinterpret_cast<const char *>(cells[0].data), cells[0].len);
    std::string escaped;
    for (char ch : name) escaped += (ch == '"' || ch == '\\') ? std::string("\\") + ch : std::string(1, ch);
    want += std::string(first ? "" : ",") + "{\"name\":\"" + escaped + "\",\"rows\":" +
            std::string(reinterpret_cast<const char *>(cells[1].data), cells[1].len) +
            ",\"data_bytes\":" + std::string(reinterpret_cast<const char *>(cells[2].data), cells[2].len) + "}";
    first = false;
  }
  my_meta_free(&meta);
  want += "]}";
  my_close(&c);
  EXPECT_NE(want.find("{\"name\":\"t1\",\"rows\":5,\"data_bytes\":16384}"), std::string::npos) << want;
  EXPECT_NE(want.find("we\\\"ird\\\\name"), std::string::npos) << want;
  EXPECT_EQ(std::string(mdump_list_tables(config(srv, ",\"database\":\"mdump_cat_it's\"").c_str())), want)
      << "the view is not a base table, and the apostrophe must reach the server escaped";

  EXPECT_STREQ(mdump_list_tables(config(srv, ",\"database\":\"mdump_cat_none\"").c_str()),
               "{\"ok\":true,\"tables\":[]}");
  EXPECT_STREQ(mdump_list_tables(config(srv).c_str()), "{\"ok\":false,\"error\":\"database required\"}");
  EXPECT_STREQ(mdump_last_error(), "earlier failure");
}

TEST_F(Catalogue, TwoCallsShareOneAnswerBuffer) {
  const char *first = mdump_list_databases(nullptr);
  const char *second = mdump_test_connection("{\"port\":1}");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "{\"ok\":false,\"error\":\"user required\"}");
}

TEST_F(Catalogue, ListTablesKeepsOnlyPlainIntegersAsEstimates) {
  fake_server fs;
  std::string long_name(300, 'n');
  ASSERT_TRUE(fake_start(&fs, login_then(result_set(
                                  {"TABLE_NAME", "rows", "data"},
                                  {{"t1", "5", "16384"},
                                   {std::nullopt, "1", "1"},  // no name: skipped
                                   {"a\"b", std::string(31, '1'), "12a"},
                                   {"neg", "-3", "99999999999999999999"},
                                   {"nul", std::nullopt, ""},
                                   {long_name, "1e5", "+1"}}))));
  std::string answer = mdump_list_tables(fake_config(fs.port, ",\"database\":\"d\"").c_str());
  fake_join(&fs);
  EXPECT_EQ(answer,
            "{\"ok\":true,\"tables\":[{\"name\":\"t1\",\"rows\":5,\"data_bytes\":16384},"
            "{\"name\":\"a\\\"b\",\"rows\":0,\"data_bytes\":0},"
            "{\"name\":\"neg\",\"rows\":-3,\"data_bytes\":99999999999999999999},"
            "{\"name\":\"nul\",\"rows\":0,\"data_bytes\":0},"
            "{\"name\":\"" + std::string(255, 'n') + "\",\"rows\":0,\"data_bytes\":0}]}");
  ASSERT_EQ(fs.packets.size(), 2u);
  std::string sql(fs.packets[1].payload.begin() + 1, fs.packets[1].payload.end());
  EXPECT_EQ(sql,
            "SELECT TABLE_NAME, IFNULL(TABLE_ROWS,0), IFNULL(DATA_LENGTH,0) FROM "
            "information_schema.TABLES WHERE TABLE_SCHEMA='d' AND TABLE_TYPE='BASE TABLE' "
            "ORDER BY TABLE_NAME");
}

TEST_F(Catalogue, FailuresAfterLoginAnswerTheConnectionsText) {
  struct { const char *name; bool tables; std::vector<fake_step> answer; const char *want; } cases[] = {
      {"databases: statement refused", false,
       {send_packet(1, err_packet(1227, "42000", "Access denied; you need the SHOW DATABASES privilege"))},
       "{\"ok\":false,\"error\":\"Access denied; you need the SHOW DATABASES privilege\"}"},
      {"tables: statement refused", true,
       {send_packet(1, err_packet(1146, "42S02", "Table 'x' doesn't exist"))},
       "{\"ok\":false,\"error\":\"Table 'x' doesn't exist\"}"},
      {"databases: OK instead of rows", false, {send_packet(1, ok_packet())},
       "{\"ok\":true,\"databases\":[]}"},
      {"tables: OK instead of rows", true, {send_packet(1, ok_packet())}, "{\"ok\":true,\"tables\":[]}"},
      {"databases: bad column list", false, {send_packet(1, column_count(4097))},
       "{\"ok\":false,\"error\":\"bad column count\"}"},
      {"databases: connection lost in the rows", false,
       [] {
         auto s = result_set({"Database"}, {{"a"}, {"b"}}, false);
         s.push_back(close_conn());
         return s;
       }(),
       "{\"ok\":false,\"error\":\"socket read failed\"}"},
      {"tables: error packet in the rows", true,
       [] {
         auto s = result_set({"TABLE_NAME", "r", "d"}, {{"a", "1", "2"}}, false);
         s.push_back(send_packet(6, err_packet(1317, "70100", "Query execution was interrupted")));
         return s;
       }(),
       "{\"ok\":false,\"error\":\"Query execution was interrupted\"}"},
  };
  for (auto &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, login_then(tc.answer)));
    std::string doc = fake_config(fs.port, ",\"database\":\"d\"");
    std::string answer = tc.tables ? mdump_list_tables(doc.c_str()) : mdump_list_databases(doc.c_str());
    fake_stop(&fs);
    EXPECT_EQ(answer, tc.want);
    EXPECT_STREQ(mdump_last_error(), "earlier failure");
  }
}

TEST_F(Catalogue, AFullAnswerBufferLeavesEntriesOutButStaysWellFormed) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (int i = 0; i < 1200; ++i) rows.push_back({std::string(250, '"') + std::to_string(i)});
  rows.push_back({"short"});
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, login_then(result_set({"Database"}, rows))));
  std::string answer = mdump_list_databases(fake_config(fs.port).c_str());
  fake_join(&fs);
  EXPECT_EQ(json_problem(answer), "");
  EXPECT_LT(answer.size(), static_cast<size_t>(MDUMP_SYNC_BUF_SIZE));
  EXPECT_GT(answer.size(), static_cast<size_t>(MDUMP_SYNC_BUF_SIZE) - 600);
  EXPECT_NE(answer.find(",\"short\"]}"), std::string::npos) << "a short entry after the full ones still fits";
}

}  // namespace
