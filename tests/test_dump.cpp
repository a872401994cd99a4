// Whole dumps of the real test server, compared byte for byte with the file they must give, and
// restored with the real mariadb client to show the data comes back the same.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillfen_mysqldump.h"
#include "tests/support/dump_run.h"
#include "tests/support/json_check.h"

namespace {

const char PREAMBLE[] =
    "SET NAMES utf8mb4;\nSET FOREIGN_KEY_CHECKS=0;\nSET TIME_ZONE='+00:00';\n"
    "SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO';\n\n";
const char FOOTER[] = "SET FOREIGN_KEY_CHECKS=1;\n";

class Dump : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_SERVER(srv);
    ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0) << c.err_msg;
    dir = temp_dir();
  }
  void TearDown() override {
    if (c.sock != NET_INVALID_SOCKET) my_close(&c);
  }

  // A fresh database made of the given statements (run inside it).
  void make_db(const std::string &db, const std::vector<std::string> &statements) {
    ASSERT_EQ(exec_sql(&c, "DROP DATABASE IF EXISTS `" + db + "`"), 0) << c.err_msg;
    ASSERT_EQ(exec_sql(&c, "CREATE DATABASE `" + db + "` CHARACTER SET utf8mb4"), 0) << c.err_msg;
    ASSERT_EQ(exec_sql(&c, "USE `" + db + "`"), 0) << c.err_msg;
    for (const std::string &s : statements) ASSERT_GE(exec_sql(&c, s), 0) << s << ": " << c.err_msg;
  }

  std::string header(const std::string &db) {
    return "-- quillfen-mysqldump 1.0.0\n-- Server: " + std::string(c.server_version) +
           "\n-- Database: " + db + "\n\n" + PREAMBLE;
  }

  std::string create_text(const std::string &db, const std::string &quoted_table) {
    auto rows = query_rows(&c, "SHOW CREATE TABLE `" + db + "`." + quoted_table);
    return rows.empty() ? "<no create text>" : rows[0][1] + ";\n\n";
  }

  dump_outcome dump(const std::string &db, const std::string &extra = "") {
    std::string path = dir + "/" + db + ".sql";
    return run_dump(dump_config(srv, db, path, extra), path);
  }

  // Restores `file` into a fresh database and compares every table with the source.
  void expect_restores(const std::string &source_db, const std::string &file) {
    std::string path = dir + "/restore-" + source_db + ".sql";
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    std::string target = source_db + "_restored";
    EXPECT_EQ(restore_with_client(srv, target, path), "");
    std::string want = table_fingerprint(&c, source_db);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(table_fingerprint(&c, target), want);
    exec_sql(&c, "DROP DATABASE IF EXISTS `" + target + "`");
  }

  test_server srv{};
  my_conn c{};
  std::string dir;
};

TEST_F(Dump, ThreeRowExampleTableByteForByte) {
  make_db("mdump_fmt", {"CREATE TABLE t (id INT, note TEXT, raw VARBINARY(4))",
                        "INSERT INTO t VALUES (1,'it''s',x'00FF'),(2,NULL,''),(3,'a\\nb',NULL)"});
  dump_outcome out = dump("mdump_fmt", ",\"include_drop\":true,\"rows_per_insert\":2");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  std::string want = header("mdump_fmt") + "DROP TABLE IF EXISTS `t`;\n" +
                     create_text("mdump_fmt", "`t`") +
                     "INSERT INTO `t` VALUES\n(1,'it\\'s',0x00FF),\n(2,NULL,'');\n"
                     "INSERT INTO `t` VALUES\n(3,'a\\nb',NULL);\n\n" + FOOTER;
  EXPECT_EQ(out.file, want);
  std::string path = dir + "/mdump_fmt.sql";
  EXPECT_EQ(out.result, "{\"ok\":true,\"out_path\":\"" + path + "\",\"tables\":1,\"rows\":3,\"bytes\":" +
                            std::to_string(want.size()) + out.result.substr(out.result.find(",\"elapsed_ms\"")));
  EXPECT_EQ(json_problem(out.result), "");
  expect_restores("mdump_fmt", out.file);
}

TEST_F(Dump, EmptyDatabaseGivesHeaderPreambleAndFooter) {
  make_db("mdump_empty", {});
  dump_outcome out = dump("mdump_empty");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_EQ(out.file, header("mdump_empty") + FOOTER);
  EXPECT_NE(out.progress.find("\"tables_done\":0,\"tables_total\":0"), std::string::npos) << out.progress;
}

TEST_F(Dump, InsertGroupingAndTheIncludeOptions) {
  make_db("mdump_groups", {"CREATE TABLE e0 (id INT)", "CREATE TABLE r4 (id INT)",
                           "CREATE TABLE r5 (id INT)", "INSERT INTO r4 VALUES (1),(2),(3),(4)",
                           "INSERT INTO r5 VALUES (1),(2),(3),(4),(5)"});
  std::string e0 = create_text("mdump_groups", "`e0`");
  std::string r4 = create_text("mdump_groups", "`r4`");
  std::string r5 = create_text("mdump_groups", "`r5`");
  auto inserts = [](const char *t, std::vector<std::vector<int>> groups) {
    std::string s;
    for (const auto &g : groups) {
      s += std::string("INSERT INTO `") + t + "` VALUES\n";
      for (size_t i = 0; i < g.size(); ++i) s += (i ? ",\n(" : "(") + std::to_string(g[i]) + ")";
      s += ";\n";
    }
    return s + "\n";
  };
  struct { const char *name; std::string extra; std::string body; } cases[] = {
      {"two rows a statement", ",\"rows_per_insert\":2",
       e0 + r4 + inserts("r4", {{1, 2}, {3, 4}}) + r5 + inserts("r5", {{1, 2}, {3, 4}, {5}})},
      {"one row a statement", ",\"rows_per_insert\":1",
       e0 + r4 + inserts("r4", {{1}, {2}, {3}, {4}}) + r5 + inserts("r5", {{1}, {2}, {3}, {4}, {5}})},
      {"no schema, drop ignored", ",\"include_schema\":false,\"include_drop\":true",
       inserts("r4", {{1, 2, 3, 4}}) + inserts("r5", {{1, 2, 3, 4, 5}})},
      {"schema with drop, no data", ",\"include_data\":false,\"include_drop\":true",
       "DROP TABLE IF EXISTS `e0`;\n" + e0 + "DROP TABLE IF EXISTS `r4`;\n" + r4 +
           "DROP TABLE IF EXISTS `r5`;\n" + r5},
      {"neither schema nor data", ",\"include_schema\":false,\"include_data\":false", ""},
      {"a configured list in its own order", ",\"tables\":[\"r5\",\"e0\"]",
       r5 + inserts("r5", {{1, 2, 3, 4, 5}}) + e0},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.name);
    dump_outcome out = dump("mdump_groups", tc.extra);
    ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
    EXPECT_EQ(out.file, header("mdump_groups") + tc.body + FOOTER);
    bool configured = tc.extra.find("tables") != std::string::npos;
    std::string counts = configured ? "\"tables_done\":2,\"tables_total\":2" : "\"tables_done\":3,\"tables_total\":3";
    EXPECT_NE(out.progress.find(counts), std::string::npos) << out.progress;
  }
  expect_restores("mdump_groups", dump("mdump_groups", ",\"rows_per_insert\":2").file);
}

TEST_F(Dump, EveryKindOfValueAndEveryEscape) {
  std::string long_text(5000, 'x');
  make_db("mdump_values",
          {"CREATE TABLE v (n INT, d DECIMAL(6,2), f DOUBLE, t VARCHAR(40), b VARBINARY(8),"
           " bits BIT(8), e ENUM('a','b'), dt DATETIME, lt TEXT)",
           "INSERT INTO v VALUES (NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL)",
           "INSERT INTO v VALUES (0,0,0,'','',b'0','a','2020-01-02 03:04:05','')",
           "INSERT INTO v VALUES (-2147483648,-1234.56,1.5e300,"
           " CONCAT('a',CHAR(0),'''\\\\\"',CHAR(9),CHAR(26),CHAR(13),CHAR(10)),"
           " x'00FF1A',b'11111111','b','1999-12-31 23:59:59','" + long_text + "')",
           "INSERT INTO v VALUES (1,1,1,'h\xC3\xA9 \xF0\x9F\x98\x80',x'27',b'1',NULL,NULL,'\\\\')"});
  dump_outcome out = dump("mdump_values");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  std::string rows =
      "INSERT INTO `v` VALUES\n"
      "(NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL),\n"
      "(0,0.00,0,'','',0x00,'a','2020-01-02 03:04:05',''),\n"
      "(-2147483648,-1234.56,1.5e300,'a\\0\\'\\\\\"\t\\Z\\r\\n',0x00FF1A,0xFF,'b','1999-12-31 23:59:59','" +
      long_text + "'),\n"
      "(1,1.00,1,'h\xC3\xA9 \xF0\x9F\x98\x80',0x27,0x01,NULL,NULL,'\\\\');\n\n";
  EXPECT_EQ(out.file, header("mdump_values") + create_text("mdump_values", "`v`") + rows + FOOTER);
  expect_restores("mdump_values", out.file);
}

TEST_F(Dump, ABacktickInATableName) {
  make_db("mdump_tick", {"CREATE TABLE `a``b` (id INT)", "INSERT INTO `a``b` VALUES (7)"});
  dump_outcome out = dump("mdump_tick", ",\"include_drop\":true");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_EQ(out.file, header("mdump_tick") + "DROP TABLE IF EXISTS `a``b`;\n" +
                          create_text("mdump_tick", "`a``b`") +
                          "INSERT INTO `a``b` VALUES\n(7);\n\n" + FOOTER);
  EXPECT_NE(out.progress.find("\"table\":\"a`b\""), std::string::npos) << out.progress;
  expect_restores("mdump_tick", out.file);
}

TEST_F(Dump, AServerListingMoreThan512TablesIsDumpedWhole) {
  std::vector<std::string> ddl;
  for (int i = 0; i < 600; ++i) {
    char name[16];
    snprintf(name, sizeof name, "t%03d", i);
    ddl.push_back(std::string("CREATE TABLE ") + name + " (id INT) ENGINE=Aria");
  }
  make_db("mdump_many", ddl);
  dump_outcome out = dump("mdump_many", ",\"include_data\":false");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_NE(out.progress.find("\"tables_done\":600,\"tables_total\":600"), std::string::npos) << out.progress;
  EXPECT_NE(out.file.find("CREATE TABLE `t000`"), std::string::npos);
  EXPECT_NE(out.file.find("CREATE TABLE `t599`"), std::string::npos);
  expect_restores("mdump_many", out.file);
}

// Views come after every base table, each first as a stand-in with its column names, so that a
// view over a view that sorts after it restores; tables with generated or invisible columns name
// the columns they insert, leaving the generated ones to the server.
TEST_F(Dump, ViewsAndGeneratedAndInvisibleColumns) {
  make_db("mdump_views",
          {"CREATE TABLE base (id INT PRIMARY KEY, a INT, g INT AS (a * 2) VIRTUAL,"
           " s INT AS (a + 1) STORED, h INT INVISIBLE DEFAULT 7)",
           "INSERT INTO base (id, a, h) VALUES (1, 10, 70), (2, 20, 80)",
           "CREATE VIEW z_over AS SELECT id, a FROM base",
           "CREATE VIEW a_top AS SELECT id FROM z_over",
           "CREATE TABLE plain (x INT)", "INSERT INTO plain VALUES (5)"});
  dump_outcome out = dump("mdump_views", ",\"include_drop\":true");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  std::string want = header("mdump_views") + "DROP TABLE IF EXISTS `base`;\n" +
                     create_text("mdump_views", "`base`") +
                     "INSERT INTO `base` (`id`,`a`,`h`) VALUES\n(1,10,70),\n(2,20,80);\n\n" +
                     "DROP TABLE IF EXISTS `plain`;\n" + create_text("mdump_views", "`plain`") +
                     "INSERT INTO `plain` VALUES\n(5);\n\n" +
                     "DROP VIEW IF EXISTS `a_top`;\nCREATE VIEW `a_top` AS SELECT 1 AS `id`;\n\n" +
                     "DROP VIEW IF EXISTS `z_over`;\nCREATE VIEW `z_over` AS SELECT 1 AS `id`,1 AS `a`;\n\n" +
                     "DROP VIEW IF EXISTS `a_top`;\n" + create_text("mdump_views", "`a_top`") +
                     "DROP VIEW IF EXISTS `z_over`;\n" + create_text("mdump_views", "`z_over`") + FOOTER;
  EXPECT_EQ(out.file, want);
  EXPECT_NE(out.progress.find("\"tables_done\":4,\"tables_total\":4"), std::string::npos) << out.progress;

  std::string path = dir + "/views-restore.sql";
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(out.file.data(), 1, out.file.size(), f);
  fclose(f);
  ASSERT_EQ(restore_with_client(srv, "mdump_views_restored", path), "");
  EXPECT_EQ(table_fingerprint(&c, "mdump_views_restored"), table_fingerprint(&c, "mdump_views"));
  EXPECT_EQ(query_rows(&c, "SELECT id, a, g, s, h FROM mdump_views_restored.base ORDER BY id"),
            query_rows(&c, "SELECT id, a, g, s, h FROM mdump_views.base ORDER BY id"));
  EXPECT_EQ(query_rows(&c, "SELECT * FROM mdump_views_restored.a_top ORDER BY id"),
            (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
  exec_sql(&c, "DROP DATABASE IF EXISTS mdump_views_restored");
}

// Many big rows do not make one statement bigger than a server accepts: an INSERT closes once it
// has passed 1 MiB, after the row that crossed it.
TEST_F(Dump, LongStatementsCloseAfterOneMebibyte) {
  make_db("mdump_bigrows", {"CREATE TABLE big (id INT, t LONGTEXT)",
                            "INSERT INTO big VALUES (1, REPEAT('a', 600000)), (2, REPEAT('b', 600000)),"
                            " (3, REPEAT('c', 600000))"});
  dump_outcome out = dump("mdump_bigrows");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  std::string want = header("mdump_bigrows") + create_text("mdump_bigrows", "`big`") +
                     "INSERT INTO `big` VALUES\n(1,'" + std::string(600000, 'a') + "'),\n(2,'" +
                     std::string(600000, 'b') + "');\nINSERT INTO `big` VALUES\n(3,'" +
                     std::string(600000, 'c') + "');\n\n" + FOOTER;
  EXPECT_TRUE(out.file == want) << "the statements are not cut after the row that passed 1 MiB";
  expect_restores("mdump_bigrows", out.file);
}

// The server prints a FLOAT with 6 significant digits, which reads back as another value: such
// columns are selected as DOUBLE, whose text reads back into the FLOAT exactly.
TEST_F(Dump, FloatColumnsKeepEveryDigitTheyNeed) {
  make_db("mdump_float", {"CREATE TABLE f (id INT, x FLOAT, d DOUBLE)",
                          "INSERT INTO f VALUES (1, 16777216, 0.1), (2, 1.0000001192092896, NULL),"
                          " (3, NULL, 1e300)"});
  dump_outcome out = dump("mdump_float");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_EQ(out.file, header("mdump_float") + create_text("mdump_float", "`f`") +
                          "INSERT INTO `f` VALUES\n(1,16777216,0.1),\n(2,1.0000001192092896,NULL),\n"
                          "(3,NULL,1e300);\n\n" + FOOTER);
  expect_restores("mdump_float", out.file);
}

TEST_F(Dump, HeaderLinesStayCommentsWhateverTheDatabaseName) {
  make_db("mdump_nl\nDROP TABLE x; --", {"CREATE TABLE t (id INT)"});
  std::string path = dir + "/nl.sql";
  dump_outcome out = run_dump(dump_config(srv, "mdump_nl\\nDROP TABLE x; --", path), path);
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_EQ(out.file.rfind("-- quillfen-mysqldump 1.0.0\n-- Server: " + std::string(c.server_version) +
                               "\n-- Database: mdump_nl DROP TABLE x; --\n\n",
                           0),
            0u)
      << out.file.substr(0, 200);
  exec_sql(&c, "DROP DATABASE `mdump_nl\nDROP TABLE x; --`");
}

}  // namespace
