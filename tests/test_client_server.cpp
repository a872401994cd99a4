// The protocol client against the real MariaDB server of the test command: logins, result sets
// of many types, big rows, errors that leave the connection usable, COM_QUIT and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mysql_client/mysql_client.h"
#include "tests/support/test_server.h"

namespace {

typedef std::vector<std::vector<std::string>> rows_t;
const char *const NULL_TEXT = "<NULL>";

// Runs one statement; a result set comes back as text rows (NULL as NULL_TEXT).
int run(my_conn *c, const std::string &sql, rows_t *rows = nullptr, my_meta *keep_meta = nullptr) {
  int rc = my_query(c, sql.c_str());
  if (rc != 1) return rc;
  my_meta meta{};
  if (my_read_meta(c, &meta) < 0) return -1;
  std::vector<my_cell> cells(meta.count);
  int r;
  while ((r = my_read_row(c, &meta, cells.data())) == 1) {
    if (rows == nullptr) continue;
    std::vector<std::string> row;
    for (const my_cell &cell : cells)
      row.push_back(cell.data ? std::string(reinterpret_cast<const char *>(cell.data), cell.len)
                              : NULL_TEXT);
    rows->push_back(row);
  }
  if (keep_meta != nullptr) {
    *keep_meta = meta;
  } else {
    my_meta_free(&meta);
  }
  return r < 0 ? -1 : 1;
}

std::string one_value(my_conn *c, const std::string &sql) {
  rows_t rows;
  if (run(c, sql, &rows) != 1 || rows.size() != 1 || rows[0].size() != 1) return "<failed: " + std::string(c->err_msg) + ">";
  return rows[0][0];
}

class ClientServer : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_SERVER(srv);
    ASSERT_EQ(my_connect(&admin, srv.host, srv.port, srv.user, srv.password, nullptr), 0)
        << admin.err_msg;
    ASSERT_EQ(run(&admin, "CREATE DATABASE IF NOT EXISTS mdump_client_test"), 0) << admin.err_msg;
  }
  void TearDown() override {
    if (admin.sock != NET_INVALID_SOCKET) my_close(&admin);
  }
  test_server srv{};
  my_conn admin{};
};

TEST_F(ClientServer, NativePasswordLogins) {
  ASSERT_EQ(run(&admin, "CREATE USER IF NOT EXISTS 'mdump_nopw'@'%'"), 0) << admin.err_msg;

  struct { const char *name, *host, *user, *password, *database; int32_t code; const char *text; } cases[] = {
      {"good password", srv.host, srv.user, srv.password, nullptr, 0, ""},
      {"localhost as host", "localhost", srv.user, srv.password, nullptr, 0, ""},
      {"database at login", srv.host, srv.user, srv.password, "mdump_client_test", 0, ""},
      {"account without a password, null", srv.host, "mdump_nopw", nullptr, nullptr, 0, ""},
      {"account without a password, empty", srv.host, "mdump_nopw", "", nullptr, 0, ""},
      {"wrong password", srv.host, srv.user, "wrong", nullptr, 1045, "Access denied for user 'mdump'@"},
      {"password for a password-less account", srv.host, "mdump_nopw", "x", nullptr, 1045, "Access denied"},
      {"missing database", srv.host, srv.user, srv.password, "mdump_no_such_db", 1049,
       "Unknown database 'mdump_no_such_db'"},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.name);
    my_conn c;
    int rc = my_connect(&c, tc.host, srv.port, tc.user, tc.password, tc.database);
    if (tc.code == 0) {
      ASSERT_EQ(rc, 0) << c.err_msg;
      EXPECT_NE(std::string(c.server_version).find("MariaDB"), std::string::npos) << c.server_version;
      EXPECT_EQ(c.cancel_ptr, nullptr);
      if (tc.database) {
        EXPECT_EQ(one_value(&c, "SELECT DATABASE()"), tc.database);
      }
      my_close(&c);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(c.err_code, tc.code);
      EXPECT_EQ(std::string(c.err_msg).rfind(tc.text, 0), 0u) << c.err_msg;
      EXPECT_EQ(c.sock, NET_INVALID_SOCKET);
      EXPECT_EQ(c.pkt, nullptr);
      my_close(&c);  // harmless on a failed record
    }
  }
  run(&admin, "DROP USER IF EXISTS 'mdump_nopw'@'%'");
}

TEST_F(ClientServer, ClosedPort) {
  // Nothing listens on loopback port 1.
  my_conn c;
  EXPECT_EQ(my_connect(&c, "127.0.0.1", 1, srv.user, srv.password, nullptr), -1);
  EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
  EXPECT_STREQ(c.err_msg, "connect failed to 127.0.0.1");
  EXPECT_EQ(c.sock, NET_INVALID_SOCKET);
}

TEST_F(ClientServer, ColumnTypesAgreeWithThePredicates) {
  ASSERT_EQ(run(&admin, "DROP TABLE IF EXISTS mdump_client_test.types"), 0);
  ASSERT_EQ(run(&admin,
                "CREATE TABLE mdump_client_test.types ("
                "c_tinyint TINYINT, c_smallint SMALLINT, c_mediumint MEDIUMINT, c_int INT,"
                "c_bigint BIGINT, c_decimal DECIMAL(10,2), c_float FLOAT, c_double DOUBLE,"
                "c_year YEAR, c_bit BIT(8), c_date DATE, c_time TIME, c_datetime DATETIME,"
                "c_timestamp TIMESTAMP NULL, c_char CHAR(3), c_varchar VARCHAR(10), c_text TEXT,"
                "c_json JSON, c_enum ENUM('a','b'), c_set SET('x','y'), c_binary BINARY(2),"
                "c_varbinary VARBINARY(4), c_blob BLOB, c_longblob LONGBLOB) CHARSET utf8mb4"),
            0)
      << admin.err_msg;
  struct { const char *name; int numeric, binary; } want[] = {
      {"c_tinyint", 1, 0},  {"c_smallint", 1, 0}, {"c_mediumint", 1, 0}, {"c_int", 1, 0},
      {"c_bigint", 1, 0},   {"c_decimal", 1, 0},  {"c_float", 1, 0},     {"c_double", 1, 0},
      {"c_year", 1, 0},     {"c_bit", 0, 1},      {"c_date", 0, 0},      {"c_time", 0, 0},
      {"c_datetime", 0, 0}, {"c_timestamp", 0, 0}, {"c_char", 0, 0},     {"c_varchar", 0, 0},
      {"c_text", 0, 0},     {"c_json", 0, 0},     {"c_enum", 0, 0},      {"c_set", 0, 0},
      {"c_binary", 0, 1},   {"c_varbinary", 0, 1}, {"c_blob", 0, 1},     {"c_longblob", 0, 1},
  };
  my_meta meta{};
  rows_t rows;
  ASSERT_EQ(run(&admin, "SELECT * FROM mdump_client_test.types", &rows, &meta), 1) << admin.err_msg;
  ASSERT_EQ(meta.count, static_cast<int32_t>(sizeof want / sizeof want[0]));
  for (int i = 0; i < meta.count; ++i) {
    const my_col &col = meta.cols[i];
    SCOPED_TRACE(std::string(col.name) + " type " + std::to_string(col.type) + " charset " +
                 std::to_string(col.charset));
    EXPECT_STREQ(col.name, want[i].name);
    EXPECT_EQ(my_type_is_numeric(col.type), want[i].numeric);
    EXPECT_EQ(my_type_is_binary(col.type, col.charset), want[i].binary);
  }
  my_meta_free(&meta);
  EXPECT_EQ(meta.cols, nullptr);
  EXPECT_EQ(meta.count, 0);
}

TEST_F(ClientServer, NullEmptyAndBinaryValues) {
  rows_t rows;
  my_meta meta{};
  ASSERT_EQ(run(&admin, "SELECT NULL AS n, '' AS e, x'00FF0A27' AS b, 'h\xC3\xA9' AS t, 42 AS i",
                &rows, &meta), 1) << admin.err_msg;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], NULL_TEXT);
  EXPECT_EQ(rows[0][1], "");
  EXPECT_EQ(rows[0][2], std::string("\x00\xFF\x0A\x27", 4));
  EXPECT_EQ(rows[0][3], "h\xC3\xA9");
  EXPECT_EQ(rows[0][4], "42");
  EXPECT_STREQ(meta.cols[2].name, "b");
  EXPECT_EQ(meta.cols[2].charset, 63);
  my_meta_free(&meta);
}

TEST_F(ClientServer, RowOverSixteenMebibytesArrivesInContinuationPackets) {
  const size_t size = 17u * 1024 * 1024 + 5;
  my_meta meta{};
  ASSERT_EQ(my_query(&admin, ("SELECT REPEAT('x', " + std::to_string(size) + "), 7").c_str()), 1)
      << admin.err_msg;
  ASSERT_EQ(my_read_meta(&admin, &meta), 0) << admin.err_msg;
  my_cell cells[2];
  ASSERT_EQ(my_read_row(&admin, &meta, cells), 1) << admin.err_msg;
  ASSERT_NE(cells[0].data, nullptr) << "NULL: the server's max_allowed_packet is too small";
  ASSERT_EQ(cells[0].len, size);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(cells[0].data), cells[0].len),
            std::string(size, 'x'));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(cells[1].data), cells[1].len), "7");
  EXPECT_GT(admin.pkt_len, MY_MAX_PIECE);
  EXPECT_EQ(my_read_row(&admin, &meta, cells), 0);
  my_meta_free(&meta);
}

TEST_F(ClientServer, StatementErrorsLeaveTheConnectionUsable) {
  EXPECT_EQ(my_query(&admin, "SELEC 1"), -1);
  EXPECT_EQ(admin.err_code, 1064);
  EXPECT_NE(std::string(admin.err_msg).find("SQL syntax"), std::string::npos) << admin.err_msg;
  EXPECT_EQ(my_query(&admin, ""), -1) << "the empty text is still sent";
  EXPECT_EQ(admin.err_code, 1065);  // query was empty
  EXPECT_EQ(run(&admin, "DO 1"), 0) << "an OK answer";
  EXPECT_EQ(one_value(&admin, "SELECT 1 + 1"), "2");
}

TEST_F(ClientServer, CloseSendsQuitSoTheServerDoesNotCountAnAbortedClient) {
  my_conn c;
  ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0) << c.err_msg;
  std::string id = one_value(&c, "SELECT CONNECTION_ID()");
  std::string aborted_before = one_value(&admin, "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'ABORTED_CLIENTS'");
  my_close(&c);
  EXPECT_EQ(c.sock, NET_INVALID_SOCKET);
  EXPECT_EQ(c.pkt, nullptr);
  my_close(&c);  // a second close does nothing more
  std::string left = "1";
  for (int i = 0; i < 100 && left != "0"; ++i) {
    left = one_value(&admin, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id);
    if (left != "0") std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(left, "0") << "the server still lists the closed connection";
  EXPECT_EQ(one_value(&admin, "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'ABORTED_CLIENTS'"),
            aborted_before);
}

TEST_F(ClientServer, CancelWhileTheServerIsSilent) {
  std::atomic<int32_t> cancel{0};
  admin.cancel_ptr = &cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.store(1);
  });
  auto start = std::chrono::steady_clock::now();
  int rc = my_query(&admin, "SELECT SLEEP(20)");
  auto waited = std::chrono::steady_clock::now() - start;
  canceller.join();
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(admin.err_code, MY_ERR_CANCELLED);
  EXPECT_STREQ(admin.err_msg, "cancelled");
  EXPECT_LT(waited, std::chrono::seconds(5)) << "the cancel was not seen while waiting";
}

}  // namespace
