// The command-line host as people and scripts use it: run as a program against the real test
// server, with its output, its exit status, its terminal behaviour and its dump files checked.
// Where the host passes a library answer through, it is compared with the answer the library
// itself gives for the same configuration.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quillfen_mysqldump.h"
#include "tests/support/dump_run.h"
#include "tests/support/host_run.h"

namespace {

const char FOOTER[] = "SET FOREIGN_KEY_CHECKS=1;\n";
const char BIG_DB[] = "mdump_host_big";
const int BIG_ROWS = 500000;

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

bool ends_with(const std::string &text, const std::string &tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class HostCli : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_SERVER(srv);
    ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0) << c.err_msg;
    dir = temp_dir();
  }
  void TearDown() override {
    if (c.sock != NET_INVALID_SOCKET) my_close(&c);
  }

  // -h, -P and -u for the test server; the password goes through MYSQL_PWD unless a test says
  // otherwise, which keeps it out of the command line.
  std::vector<std::string> server_args(std::vector<std::string> more) {
    std::vector<std::string> args = {"-h", srv.host, "-P", std::to_string(srv.port), "-u", srv.user};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  host_run_options with_password(host_run_options o = {}) {
    o.env_set.push_back(std::string("MYSQL_PWD=") + srv.password);
    o.env_unset.push_back("QUILLFEN_MYSQLDUMP_LIBRARY");
    return o;
  }
  host_run_result host(std::vector<std::string> args, host_run_options o = {}) {
    return run_host(server_args(std::move(args)), with_password(std::move(o)));
  }

  // The library's own configuration document for the test server.
  std::string config(const std::string &extra = "") {
    return "{\"host\":\"" + std::string(srv.host) + "\",\"port\":" + std::to_string(srv.port) +
           ",\"user\":\"" + srv.user + "\",\"password\":\"" + srv.password + "\"" + extra + "}";
  }

  void make_db(const std::string &db, const std::vector<std::string> &statements) {
    ASSERT_EQ(exec_sql(&c, "DROP DATABASE IF EXISTS `" + db + "`"), 0) << c.err_msg;
    ASSERT_EQ(exec_sql(&c, "CREATE DATABASE `" + db + "` CHARACTER SET utf8mb4"), 0) << c.err_msg;
    ASSERT_EQ(exec_sql(&c, "USE `" + db + "`"), 0) << c.err_msg;
    for (const std::string &s : statements) ASSERT_GE(exec_sql(&c, s), 0) << s << ": " << c.err_msg;
  }

  // A small shop: foreign keys, text that needs escaping, binary data, NULLs and UTF-8.
  void make_shop(const std::string &db) {
    make_db(db, {
        "CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(50) NOT NULL, note TEXT)",
        "CREATE TABLE orders (id INT PRIMARY KEY, customer_id INT NOT NULL, total DECIMAL(10,2),"
        " photo VARBINARY(16), FOREIGN KEY (customer_id) REFERENCES customers(id))",
        "CREATE TABLE `odd ``name``` (k INT)",
        "INSERT INTO customers VALUES (1,'Zo\xc3\xab','it''s \"quoted\"\\nand \\\\ back'),(2,'\xe5\xb1\xb1\xe7\x94\xb0',NULL),"
        "(3,'Ann',''),(4,'Bob','x'),(5,'Cy','y')",
        "INSERT INTO orders VALUES (10,1,9.99,x'00FF0A27'),(11,1,0,NULL),(12,2,-1.5,''),(13,5,100,x'5C')",
        "INSERT INTO `odd ``name``` VALUES (1),(NULL)",
    });
  }

  // One table large enough that a dump takes a while, made once per server and shared by the
  // tests that need time (they may run at once: a server lock keeps them from making it twice).
  void make_big() {
    ASSERT_EQ(exec_sql(&c, "SELECT GET_LOCK('mdump_host_big', 300)"), 1) << c.err_msg;
    auto count = query_rows(&c, std::string("SELECT COUNT(*) FROM `") + BIG_DB + "`.big");
    if (count.empty() || count[0][0] != std::to_string(BIG_ROWS)) {
      make_db(BIG_DB, {"CREATE TABLE big (id INT PRIMARY KEY, pad VARCHAR(255))",
                       "INSERT INTO big SELECT seq, REPEAT(CHAR(65 + seq % 26), 200) FROM seq_1_to_" +
                           std::to_string(BIG_ROWS)});
    }
    exec_sql(&c, "SELECT RELEASE_LOCK('mdump_host_big')");
  }

  test_server srv{};
  my_conn c{};
  std::string dir;
};

TEST_F(HostCli, PingShowsTheServerVersionAndJsonIsTheLibraryAnswer) {
  host_run_result r = host({"ping"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string version = c.server_version;
  if (version.compare(0, 6, "5.5.5-") == 0) version.erase(0, 6);
  EXPECT_EQ(r.out, "Connected: server version " + version + "\n");
  EXPECT_EQ(r.err, "");

  r = host({"ping", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, std::string(mdump_test_connection(config().c_str())) + "\n");

  r = host({"ping", "-q"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

TEST_F(HostCli, WrongPasswordExitsOneWithTheServersText) {
  std::string wrong = config();
  wrong.replace(wrong.find(srv.password), strlen(srv.password), "not-the-password");
  std::string answer = mdump_test_connection(wrong.c_str());
  std::string text = mdump_last_error();
  ASSERT_TRUE(contains(text, "Access denied")) << text;

  host_run_result r = run_host(server_args({"-pnot-the-password", "ping"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "quillfen-mysqldump: " + text + "\n");

  r = run_host(server_args({"-pnot-the-password", "ping", "--json"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, answer + "\n");
  EXPECT_EQ(r.err, "quillfen-mysqldump: " + text + "\n");

  r = run_host(server_args({"-pnot-the-password", "dump", "mdump_any", "-o", dir + "/x.sql", "-q"}));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quillfen-mysqldump: dump failed: " + text + "\n");
}

TEST_F(HostCli, PasswordSources) {
  std::string right = srv.password;
  struct {
    const char *what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int exit_code;
  } cases[] = {
      {"MYSQL_PWD", {}, {"MYSQL_PWD=" + right}, 0},
      {"wrong MYSQL_PWD", {}, {"MYSQL_PWD=wrong"}, 1},
      {"-p beats MYSQL_PWD", {"-p" + right}, {"MYSQL_PWD=wrong"}, 0},
      {"--password= beats MYSQL_PWD", {"--password=" + right}, {"MYSQL_PWD=wrong"}, 0},
      {"no password at all", {}, {}, 1},
  };
  for (const auto &cs : cases) {
    std::vector<std::string> args = cs.args;
    args.push_back("ping");
    host_run_options o;
    o.env_set = cs.env;
    o.env_unset = {"MYSQL_PWD"};
    host_run_result r = run_host(server_args(args), o);
    EXPECT_EQ(r.exit_code, cs.exit_code) << cs.what << ": " << r.err;
  }
}

TEST_F(HostCli, PasswordPromptReadsTheTerminalWithoutEcho) {
  host_run_options o;
  o.terminal = true;
  o.answer_after = "Enter password: ";
  o.answer = srv.password;
  o.env_unset = {"MYSQL_PWD"};
  host_run_result r = run_host(server_args({"-p", "ping"}), o);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "Enter password: ")) << r.err;
  EXPECT_FALSE(contains(r.err, srv.password)) << "echoed: " << r.err;
  EXPECT_TRUE(contains(r.out, "Connected: server version")) << r.out;

  // Without a terminal the password is read from standard input's first line: none here.
  host_run_options none;
  none.env_unset = {"MYSQL_PWD"};
  r = run_host(server_args({"-p", "ping"}), none);
  EXPECT_EQ(r.exit_code, 1);
}

TEST_F(HostCli, DatabasesAndTablesListings) {
  make_shop("mdump_host_list");
  ASSERT_EQ(exec_sql(&c, "ANALYZE TABLE mdump_host_list.customers, mdump_host_list.orders"), 1);
  host_run_result r = host({"databases"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.compare(0, 9, "DATABASE "), 0) << r.out;
  // The shop's own line: its three tables, then its row estimate and size.
  size_t at = r.out.find("\nmdump_host_list ");
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  EXPECT_TRUE(contains(line, "      3  ")) << line;

  // Tests running beside this one create and drop databases, so the list may change between the
  // host's call and the library's: the host's answer must equal the library's just before or
  // just after it, in one of a few tries.
  std::string before, after;
  for (int attempt = 0; attempt < 5; ++attempt) {
    before = std::string(mdump_list_databases(config().c_str())) + "\n";
    r = host({"databases", "--json"});
    after = std::string(mdump_list_databases(config().c_str())) + "\n";
    if (r.out == before || r.out == after) break;
  }
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == before || r.out == after) << r.out << "\nlibrary: " << after;

  r = host({"tables", "mdump_host_list"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines;
  for (size_t from = 0; from < r.out.size();) {
    size_t nl = r.out.find('\n', from);
    lines.push_back(r.out.substr(from, nl - from));
    from = nl + 1;
  }
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0].compare(0, 6, "TABLE "), 0) << lines[0];
  EXPECT_EQ(lines[1].compare(0, 10, "customers "), 0) << lines[1];
  EXPECT_TRUE(contains(lines[1], " 5  ")) << lines[1];  // ANALYZE made the estimate exact
  EXPECT_TRUE(contains(lines[1], " kB")) << lines[1];
  EXPECT_EQ(lines[2].compare(0, 11, "odd `name` "), 0) << lines[2];
  EXPECT_EQ(lines[3].compare(0, 7, "orders "), 0) << lines[3];
  EXPECT_EQ(lines[4].compare(0, 9, "3 tables,"), 0) << lines[4];

  r = host({"tables", "-D", "mdump_host_list", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            std::string(mdump_list_tables(config(",\"database\":\"mdump_host_list\"").c_str())) + "\n");

  r = host({"tables", "mdump_host_no_such_db"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "0 tables, about 0 rows, 0 B")) << r.out;
}

TEST_F(HostCli, DumpRestoresToTheSameTables) {
  make_shop("mdump_host_shop");
  std::string path = dir + "/shop.sql";
  host_run_result r = host({"dump", "mdump_host_shop", "-o", path});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.compare(0, 26, "Dumped 3 tables, 11 rows, "), 0) << r.out;
  EXPECT_TRUE(ends_with(r.out, ") to " + path + "\n")) << r.out;
  EXPECT_TRUE(ends_with(read_file(path), FOOTER));
  EXPECT_EQ(restore_with_client(srv, "mdump_host_shop_copy", path), "");
  EXPECT_EQ(table_fingerprint(&c, "mdump_host_shop_copy"), table_fingerprint(&c, "mdump_host_shop"));
  exec_sql(&c, "DROP DATABASE IF EXISTS mdump_host_shop_copy");

  // Without -o the file is DATABASE.sql in the current directory.
  std::string cwd = dir + "/cwd";
  ASSERT_EQ(mkdir(cwd.c_str(), 0700), 0);
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  r = host({"dump", "mdump_host_shop", "-q"});
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(read_file(cwd + "/mdump_host_shop.sql"), read_file(path));
}

// Each dump option must mean exactly the configuration member it stands for: the host's file is
// compared byte for byte with the library's own dump under that configuration.
TEST_F(HostCli, DumpOptionsMatchTheLibrarysConfiguration) {
  make_shop("mdump_host_opts");
  struct {
    std::vector<std::string> options;
    std::string members;
  } cases[] = {
      {{}, ""},
      {{"--tables", "orders,customers"}, ",\"tables\":[\"orders\",\"customers\"]"},
      {{"--tables=odd `name`"}, ",\"tables\":[\"odd `name`\"]"},
      {{"--no-data"}, ",\"include_data\":false"},
      {{"--no-create-info"}, ",\"include_schema\":false"},
      {{"--add-drop-table"}, ",\"include_drop\":true"},
      {{"--rows-per-insert", "2"}, ",\"rows_per_insert\":2"},
      {{"--add-drop-table", "--rows-per-insert=1", "--tables", "customers"},
       ",\"include_drop\":true,\"rows_per_insert\":1,\"tables\":[\"customers\"]"},
  };
  int n = 0;
  for (const auto &cs : cases) {
    std::string host_path = dir + "/host" + std::to_string(n) + ".sql";
    std::string lib_path = dir + "/lib" + std::to_string(n++) + ".sql";
    std::vector<std::string> args = {"dump", "mdump_host_opts", "-o", host_path, "-q"};
    args.insert(args.end(), cs.options.begin(), cs.options.end());
    host_run_result r = host(args);
    ASSERT_EQ(r.exit_code, 0) << cs.members << ": " << r.err;
    dump_outcome want = run_dump(dump_config(srv, "mdump_host_opts", lib_path, cs.members), lib_path);
    ASSERT_EQ(want.state, MDUMP_ST_DONE) << want.result;
    EXPECT_EQ(read_file(host_path), want.file) << cs.members;
  }
}

TEST_F(HostCli, ConfigFileIsPassedAsItIs) {
  make_shop("mdump_host_cfg");
  std::string out = dir + "/cfg.sql";
  // Spacing and member order of the host's own choosing, and a member the library ignores.
  std::string doc = "{ \"database\" : \"mdump_host_cfg\",\n  \"out_path\": \"" + out +
                    "\", \"comment\": {\"host\": \"nowhere\"},\n" + config().substr(1) + "\n";
  std::string cfg_path = dir + "/c.json";
  FILE *f = fopen(cfg_path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs(doc.c_str(), f);
  fclose(f);

  host_run_result r = run_host({"--config", cfg_path, "dump", "--json"}, with_password());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "{\"ok\":true,\"out_path\":\"" + out + "\",\"tables\":3,\"rows\":11,")) << r.out;
  EXPECT_TRUE(ends_with(read_file(out), FOOTER));

  r = run_host({"--config=" + cfg_path, "tables", "--json"}, with_password());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, std::string(mdump_list_tables(doc.c_str())) + "\n");

  r = run_host({"--config", cfg_path, "databases"}, with_password());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\nmdump_host_cfg ")) << r.out;

  // What the library refuses is reported as its failure, not as a usage error.
  FILE *g = fopen(cfg_path.c_str(), "wb");
  ASSERT_NE(g, nullptr);
  fputs("[not an object]", g);
  fclose(g);
  r = run_host({"--config", cfg_path, "ping"}, with_password());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quillfen-mysqldump: invalid config json\n");
  r = run_host({"--config", cfg_path, "dump"}, with_password());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quillfen-mysqldump: invalid config json\n");
}

TEST_F(HostCli, UsageErrorsExitTwoBeforeAnythingHappens) {
  struct {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
      {{}, "no command given"},
      {{"restore"}, "unknown command 'restore'"},
      {{"--bogus", "ping"}, "unknown option '--bogus'"},
      {{"ping", "-P", "http"}, "--port 'http' is not a port number"},
      {{"dump"}, "dump needs a database"},
      {{"dump", "d", "--rows-per-insert", "x"}, "--rows-per-insert 'x'"},
      {{"tables", "d", "--add-drop-table"}, "--add-drop-table applies to dump only"},
      {{"ping", "--config", "/nonexistent/c.json"}, "cannot read --config file '/nonexistent/c.json'"},
      {{"ping", "--config", "c.json", "-h", "x"}, "--host cannot be combined with --config"},
  };
  for (const auto &cs : cases) {
    // No server options at all: a usage error must not need one.
    host_run_result r = run_host(cs.args);
    EXPECT_EQ(r.exit_code, 2) << cs.says;
    EXPECT_EQ(r.out, "") << cs.says;
    EXPECT_EQ(r.err.compare(0, 20, "quillfen-mysqldump: "), 0) << r.err;
    EXPECT_TRUE(contains(r.err, cs.says)) << r.err;
    EXPECT_TRUE(contains(r.err, "Try 'quillfen-mysqldump --help'.")) << r.err;
  }
  host_run_result help = run_host({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.compare(0, 26, "Usage: quillfen-mysqldump "), 0) << help.out;
  EXPECT_EQ(help.err, "");
}

TEST_F(HostCli, LibraryFailuresExitOne) {
  make_shop("mdump_host_fail");
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"dump", "mdump_host_fail", "-o", "/nonexistent-dir/x.sql"},
       "quillfen-mysqldump: dump failed: cannot open output file\n"},
      {{"dump", "mdump_host_fail", "--tables", "customers,no_such_table", "-o", dir + "/partial.sql"},
       "quillfen-mysqldump: dump failed: Table 'mdump_host_fail.no_such_table' doesn't exist\n"},
      {{"dump", "mdump_host_no_such_db", "-o", dir + "/none.sql"},
       "quillfen-mysqldump: dump failed: Unknown database 'mdump_host_no_such_db'\n"},
  };
  for (const auto &cs : cases) {
    host_run_result r = host(cs.args);
    EXPECT_EQ(r.exit_code, 1) << cs.err;
    EXPECT_EQ(r.err, cs.err);
    EXPECT_EQ(r.out, "");
  }
  // Nothing listens on port 1 of loopback.
  host_run_result r = run_host({"-h", "127.0.0.1", "-P", "1", "-u", "u", "ping"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quillfen-mysqldump: connect failed to 127.0.0.1\n");
}

TEST_F(HostCli, LibraryIsFoundOrTheFailureSaysWhere) {
  host_run_options clean;
  clean.env_unset = {"QUILLFEN_MYSQLDUMP_LIBRARY"};
  host_run_result r = run_host({"--version"}, clean);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.compare(0, 25, "quillfen-mysqldump 1.0.0\n"), 0) << r.out;
  EXPECT_TRUE(contains(r.out, "library: quillfen-mysqldump 1.0.0 (")) << r.out;

  r = run_host({"--library", "/nonexistent/libx.so", "--version"}, clean);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, "cannot load the quillfen-mysqldump library")) << r.err;
  EXPECT_TRUE(contains(r.err, "/nonexistent/libx.so: ")) << r.err;

  host_run_options env = clean;
  env.env_set = {"QUILLFEN_MYSQLDUMP_LIBRARY=/nonexistent/liby.so"};
  r = run_host({"-u", "u", "ping"}, env);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, "/nonexistent/liby.so: ")) << r.err;

  // A real library that is not this one.
  r = run_host({"--library", "libm.so.6", "--version"}, clean);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, "libm.so.6: not the quillfen-mysqldump library (no mdump_version)")) << r.err;
}

// A real SIGINT in the middle of a dump: the host cancels and frees the session and exits with
// 130, leaving a partial file. Its password, given on the command line, is not readable in the
// process list meanwhile.
TEST_F(HostCli, CtrlCCancelsTheDump) {
  make_big();
  std::string path = dir + "/big.sql";
  host_run_options o;
  o.env_unset = {"MYSQL_PWD", "QUILLFEN_MYSQLDUMP_LIBRARY"};
  host_child child =
      host_spawn(server_args({std::string("-p") + srv.password, "dump", BIG_DB, "-o", path}), o);
  ASSERT_GT(child.pid, 0);
  struct stat st;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((stat(path.c_str(), &st) != 0 || st.st_size < (1 << 20)) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::string cmdline = read_file("/proc/" + std::to_string(child.pid) + "/cmdline");
  ASSERT_EQ(kill(child.pid, SIGINT), 0);
  auto sent = std::chrono::steady_clock::now();
  host_run_result r = host_finish(&child);
  long long after_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();

  EXPECT_TRUE(contains(cmdline, "dump")) << cmdline;
  EXPECT_FALSE(contains(cmdline, srv.password)) << "password visible in the process list";
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_TRUE(contains(r.err, "quillfen-mysqldump: interrupted: the dump was cancelled; " + path +
                                  " is incomplete\n")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_LT(after_ms, 15000) << "does not hang after Ctrl-C";
  std::string file = read_file(path);
  EXPECT_GE(file.size(), static_cast<size_t>(1 << 20));
  EXPECT_FALSE(ends_with(file, FOOTER)) << "the dump went on to its end";
}

// On a terminal: one line redrawn in place, a full bar at the end, then the summary on stdout.
// Elsewhere: plain lines. With -q: nothing. With --json: the library's answers.
TEST_F(HostCli, ProgressOutputFollowsWhereItGoes) {
  make_big();
  std::string path = dir + "/p.sql";
  host_run_options tty;
  tty.terminal = true;
  tty.terminal_columns = 120;
  host_run_result r = host({"dump", BIG_DB, "-o", path}, tty);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "\r[")) << r.err;
  EXPECT_TRUE(contains(r.err, "[####################] 1/1 tables  big  500,000 rows  ")) << r.err;
  EXPECT_TRUE(ends_with(r.err, "\r\n")) << "the bar's line is ended";
  EXPECT_EQ(r.out.compare(0, 30, "Dumped 1 table, 500,000 rows, "), 0) << r.out;
  for (size_t at = r.err.find('\r'); at != std::string::npos; at = r.err.find('\r', at + 1)) {
    size_t next = r.err.find_first_of("\r\n", at + 1);
    size_t len = (next == std::string::npos ? r.err.size() : next) - at - 1;
    EXPECT_LE(len, 119u) << "a redraw wider than the terminal";
  }

  r = host({"dump", BIG_DB, "-o", path});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "\r")) << r.err;
  if (r.wall_ms > 1500) {
    EXPECT_TRUE(contains(r.err, "dump: 0/1 tables, table big, ")) << r.err;
  }
  for (size_t from = 0; from < r.err.size();) {
    size_t nl = r.err.find('\n', from);
    ASSERT_NE(nl, std::string::npos) << "unfinished line: " << r.err;
    EXPECT_EQ(r.err.compare(from, 6, "dump: "), 0) << r.err.substr(from, nl - from);
    from = nl + 1;
  }
  EXPECT_EQ(r.out.compare(0, 16, "Dumped 1 table, "), 0) << r.out;

  r = host({"dump", BIG_DB, "-o", path, "-q"}, tty);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");

  r = host({"dump", BIG_DB, "-o", path, "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.compare(0, 24 + path.size(), "{\"ok\":true,\"out_path\":\"" + path + "\""), 0) << r.out;
  EXPECT_TRUE(contains(r.out, ",\"tables\":1,\"rows\":500000,\"bytes\":")) << r.out;
  for (size_t from = 0; from < r.err.size();) {
    size_t nl = r.err.find('\n', from);
    ASSERT_NE(nl, std::string::npos);
    EXPECT_EQ(r.err.compare(from, 9, "{\"state\":"), 0) << r.err.substr(from, nl - from);
    from = nl + 1;
  }
}

}  // namespace
