// Hostile servers, through whole dumps and catalogue calls as a host makes them: each malformed
// answer is played by the scripted fake at every statement a dump sends, and the library must end
// the dump with the client's text, write nothing after it, keep what it wrote a prefix of the
// complete dump, answer well-formed JSON and hold its memory to what the protocol allows. The
// protocol tests cover each parser on its own; these walk the same inputs through the worker and
// add what only a whole run shows: the largest payloads, 4096 columns, every cut of a column
// definition, endless method switches, huge error texts and a request for a local file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mysql_client/mysql_client.h"
#include "mysqldump/session.h"
#include "quillfen_mysqldump.h"
#include "tests/reliability/reliability.h"
#include "tests/support/dump_run.h"
#include "tests/support/fake_server.h"
#include "tests/support/json_check.h"

namespace {

typedef std::chrono::steady_clock steady;
typedef std::vector<std::optional<std::string>> row_t;

long long ms_since(steady::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count();
}
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool is_final(int st) { return st >= MDUMP_ST_DONE && st <= MDUMP_ST_ERROR; }

std::string error_result(const std::string &text) { return "{\"ok\":false,\"error\":\"" + text + "\"}"; }

bool is_prefix(const std::string &part, const std::string &whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

// The text inside {"ok":false,"error":"..."}, unescaped. Only the escapes the library writes.
bool error_of(const std::string &answer, std::string *text) {
  const std::string head = "{\"ok\":false,\"error\":\"";
  if (answer.compare(0, head.size(), head) != 0 || answer.size() < head.size() + 2 ||
      answer.compare(answer.size() - 2, 2, "\"}") != 0)
    return false;
  text->clear();
  for (size_t i = head.size(); i < answer.size() - 2; ++i) {
    if (answer[i] != '\\') {
      text->push_back(answer[i]);
      continue;
    }
    char e = answer[++i];
    if (e == 'u') {
      text->push_back(static_cast<char>(std::stoul(answer.substr(i + 1, 4), nullptr, 16)));
      i += 4;
    } else {
      const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
      const char *at = strchr(from, e);
      if (at == nullptr) return false;
      text->push_back(to[at - from]);
    }
  }
  return true;
}

long g_inputs = 0;  // hostile inputs played, for the report
std::map<std::string, long> g_inputs_by_kind;

void tried(const std::string &kind, long n = 1) {
  g_inputs += n;
  g_inputs_by_kind[kind] += n;
}

// --- The fake as a whole database server ------------------------------------------------------------

struct fake_table {
  std::string name;
  std::string create;
  std::vector<bytes> columns;      // definitions of SELECT *'s columns
  std::vector<std::string> names;  // their names and types, for the column catalogue
  std::vector<std::string> types;
  std::vector<row_t> rows;
};

// Statements are named by how they begin, so that the exact column list the worker asks the
// catalogue for can change without touching these tests.
struct fake_db {
  std::vector<fake_table> tables;
  std::map<std::string, std::vector<fake_step>> answers;  // the answer to a statement that begins so
};

const char COLUMNS_QUERY[] = "SELECT TABLE_NAME, COLUMN_NAME, EXTRA";

bool begins(const std::string &s, const std::string &head) { return s.compare(0, head.size(), head) == 0; }

// Column count, definitions, EOF, the rows, EOF: sequence ids from 1 as a server numbers them.
std::vector<fake_step> rows_answer(const std::vector<bytes> &columns, const std::vector<row_t> &rows) {
  std::vector<fake_step> s;
  uint8_t seq = 1;
  s.push_back(send_packet(seq++, column_count(columns.size())));
  for (const bytes &c : columns) s.push_back(send_packet(seq++, c));
  s.push_back(send_packet(seq++, eof_packet()));
  for (const row_t &r : rows) s.push_back(send_packet(seq++, text_row(r)));
  s.push_back(send_packet(seq++, eof_packet()));
  return s;
}

std::vector<bytes> text_columns(std::initializer_list<const char *> names) {
  std::vector<bytes> c;
  for (const char *n : names) c.push_back(column_def(n, 253));
  return c;
}

std::vector<fake_step> normal_answer(const fake_db &db, const std::string &sql) {
  if (sql.compare(0, 4, "SET ") == 0 || sql == "START TRANSACTION WITH CONSISTENT SNAPSHOT")
    return {send_packet(1, ok_packet())};
  if (sql == "SHOW DATABASES") return rows_answer(text_columns({"Database"}), {{std::string("fakedb")}});
  if (sql == "SHOW FULL TABLES") {
    std::vector<row_t> rows;
    for (const fake_table &t : db.tables) rows.push_back({t.name, std::string("BASE TABLE")});
    return rows_answer(text_columns({"Tables_in_fakedb", "Table_type"}), rows);
  }
  if (begins(sql, COLUMNS_QUERY)) {
    std::vector<row_t> rows;
    for (const fake_table &t : db.tables)
      for (size_t i = 0; i < t.names.size(); ++i) rows.push_back({t.name, t.names[i], std::string(""), t.types[i]});
    return rows_answer(text_columns({"TABLE_NAME", "COLUMN_NAME", "EXTRA", "DATA_TYPE"}), rows);
  }
  for (const fake_table &t : db.tables) {
    if (sql == "SHOW CREATE TABLE `" + t.name + "`")
      return rows_answer(text_columns({"Table", "Create Table"}), {{t.name, t.create}});
    if (sql == "SELECT * FROM `" + t.name + "`") return rows_answer(t.columns, t.rows);
  }
  return {send_packet(1, err_packet(1064, "42000", "the fake has no answer for: " + sql))};
}

// Answers each COM_QUERY as the database says and stops at anything else (COM_QUIT).
struct responder {
  std::shared_ptr<const fake_db> db;
  std::shared_ptr<std::vector<std::string>> seen;

  std::vector<fake_step> operator()(const std::vector<fake_packet> &packets) const {
    const bytes &p = packets.back().payload;
    if (p.empty() || p[0] != 0x03) return {};
    std::string sql(p.begin() + 1, p.end());
    seen->push_back(sql);
    auto special = db->answers.begin();
    while (special != db->answers.end() && !begins(sql, special->first)) ++special;
    std::vector<fake_step> steps = special != db->answers.end() ? special->second : normal_answer(*db, sql);
    steps.push_back(read_packet());
    steps.push_back(call_step(*this));
    return steps;
  }
};

std::vector<fake_step> login_then(const fake_db &db, std::shared_ptr<std::vector<std::string>> seen) {
  handshake_opts hs;
  hs.plugin = "mysql_native_password";
  responder r{std::make_shared<const fake_db>(db), seen};
  return {send_packet(0, handshake_v10(hs)), read_packet(), send_packet(2, ok_packet()), read_packet(), call_step(r)};
}

// Two small tables whose CREATE texts are long: the packet buffer then holds old bytes well past
// any short packet that follows, so a parser that read past a payload would find plausible data
// there and answer differently from what the bytes in the payload allow.
fake_db two_tables() {
  fake_db db;
  for (const char *name : {"t1", "t2"}) {
    fake_table t;
    t.name = name;
    t.create = std::string("CREATE TABLE `") + name + "` (\n  `id` int(11) NOT NULL,\n  `v` varchar(20) DEFAULT NULL\n) COMMENT='" +
               std::string(3000, 'c') + "'";
    column_opts id, v;
    id.schema = v.schema = "fakedb";
    id.table = id.org_table = v.table = v.org_table = name;
    id.name = id.org_name = "id";
    id.type = 3;
    id.charset = 63;
    v.name = v.org_name = "v";
    t.columns = {column_def(id), column_def(v)};
    t.names = {"id", "v"};
    t.types = {"int", "varchar"};
    t.rows = {{std::string("1"), std::string("one")}, {std::string("2"), std::nullopt}, {std::string("3"), std::string("it's")}};
    db.tables.push_back(t);
  }
  return db;
}

struct fake_dump {
  int state = -1;
  std::string result;
  std::string progress;
  std::string file;
  bool file_exists = false;
  std::vector<std::string> statements;
  bytes received;
  std::string fake_failure;
};

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/mdump-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
    out = dir + "/dump.sql";
  }
  void TearDown() override {
    for (int i = 0; i < MDUMP_MAX_SESSIONS; ++i) mdump_free(i);
    std::remove(out.c_str());
    rmdir(dir.c_str());
  }

  std::string config(int port) const {
    return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
           ",\"user\":\"u\",\"password\":\"secret\",\"database\":\"fakedb\",\"out_path\":\"" + out + "\"}";
  }

  // One dump against a fresh fake playing `script`, from start to free.
  fake_dump dump(std::vector<fake_step> script, std::shared_ptr<std::vector<std::string>> seen = nullptr,
                 const std::function<void(int)> &while_running = nullptr) {
    fake_dump d;
    std::remove(out.c_str());
    fake_server fs;
    if (!fake_start(&fs, std::move(script))) {
      ADD_FAILURE() << fs.failure;
      return d;
    }
    int n = mdump_start(config(fs.port).c_str());
    if (n < 0) {
      ADD_FAILURE() << "start: " << mdump_last_error();
      return d;
    }
    if (while_running) while_running(n);
    steady::time_point t0 = steady::now();
    while (!is_final(mdump_status(n)) && ms_since(t0) < 60000) sleep_ms(1);
    d.state = mdump_status(n);
    d.result = mdump_result(n);
    while (g_sessions[n].thread.ended.load() == 0 && ms_since(t0) < 60000) sleep_ms(1);
    d.progress = mdump_progress(n);
    mdump_free(n);
    EXPECT_EQ(mdump_status(n), MDUMP_ST_IDLE);
    // The worker has closed its connection: the fake ends by itself once it has read the last
    // bytes (stopping it now could leave the goodbye unrecorded), or after its own bounded wait.
    fake_join(&fs);
    if (seen) d.statements = *seen;
    d.received = fs.received;
    d.fake_failure = fs.failure;
    d.file = read_file(out, &d.file_exists);
    EXPECT_EQ(json_problem(d.result), "") << d.result;
    EXPECT_EQ(json_problem(d.progress), "") << d.progress;
    return d;
  }

  fake_dump dump_db(const fake_db &db) {
    auto seen = std::make_shared<std::vector<std::string>>();
    return dump(login_then(db, seen), seen);
  }

  std::string reference(const fake_db &db) {
    fake_dump d = dump_db(db);
    EXPECT_EQ(d.state, MDUMP_ST_DONE) << d.result;
    return d.file;
  }

  // mdump_list_databases against a fake that answers SHOW DATABASES with `answer`.
  std::string list_databases(const std::vector<fake_step> &answer) {
    fake_db db = two_tables();
    db.answers["SHOW DATABASES"] = answer;
    fake_server fs;
    if (!fake_start(&fs, login_then(db, std::make_shared<std::vector<std::string>>()))) return fs.failure;
    std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(fs.port) + ",\"user\":\"u\",\"password\":\"secret\"}";
    std::string answer_text = mdump_list_databases(cfg.c_str());
    fake_stop(&fs);
    return answer_text;
  }

  std::string dir, out;
};

// What every failed hostile dump must show: state 5 with the expected text, no statement after the
// one that was answered badly, and a file (if the dump got that far) that is a proper beginning of
// the complete one.
void expect_clean_failure(const fake_dump &d, const std::string &text, const std::string &statement,
                          const std::string &reference) {
  EXPECT_EQ(d.state, MDUMP_ST_ERROR);
  EXPECT_EQ(d.result, error_result(text));
  if (!statement.empty()) {
    ASSERT_FALSE(d.statements.empty());
    EXPECT_TRUE(begins(d.statements.back(), statement)) << "the worker went on after the failure: " << d.statements.back();
  }
  if (d.file_exists) {
    EXPECT_TRUE(is_prefix(d.file, reference)) << "not the beginning of the complete dump";
    EXPECT_LT(d.file.size(), reference.size());
  }
}

// --- Malformed answers at every statement -----------------------------------------------------------

TEST_F(Hostile, MalformedAnswersAtEveryStatementEndTheDumpWithTheClientsText) {
  const fake_db healthy = two_tables();
  const std::string ref = reference(healthy);
  ASSERT_FALSE(ref.empty());
  const std::vector<bytes> two = text_columns({"a", "b"});
  auto head = [&](std::vector<fake_step> tail) {
    std::vector<fake_step> s = {send_packet(1, column_count(2)), send_packet(2, two[0]), send_packet(3, two[1]),
                                send_packet(4, eof_packet())};
    s.insert(s.end(), tail.begin(), tail.end());
    return s;
  };
  bytes near_2_64 = {0xFE, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'x'};
  bytes big_header = {0xE8, 0x03, 0x00, 1};  // announces 1000 bytes
  bytes piece_header = {0xFF, 0xFF, 0xFF, 1};  // announces a full piece and a continuation
  struct answer_case {
    const char *name;
    std::vector<fake_step> answer;
    std::string text;
  } cases[] = {
      // Length prefixes beyond the data.
      {"column count whose length prefix is cut", {send_packet(1, {0xFD, 0x01})}, "bad column count"},
      {"column count 2^32 + 1", {send_packet(1, {0xFE, 1, 0, 0, 0, 1, 0, 0, 0})}, "bad column count"},
      {"column count 4097", {send_packet(1, column_count(4097))}, "bad column count"},
      {"definition whose first string runs 64 bytes past its end",
       {send_packet(1, column_count(1)), send_packet(2, concat({{0x40}, text_bytes("def")}))}, "bad column def"},
      {"definition string length near 2^64",
       {send_packet(1, column_count(1)), send_packet(2, near_2_64)}, "bad column def"},
      {"value of 300 bytes with 5 present", head({send_packet(5, concat({{0x01, 'x', 0xFC, 0x2C, 0x01}, text_bytes("short")}))}),
       "row overrun"},
      {"value length near 2^64", head({send_packet(5, near_2_64)}), "row overrun"},
      {"value length prefix cut", head({send_packet(5, {0x01, 'x', 0xFD, 0x01})}), "row overrun"},
      {"packet header announcing 1000 bytes, 10 sent, then closed",
       {send_raw(concat({big_header, bytes(10, 'z')})), close_conn()}, "socket read failed"},
      {"continuation announced, 100 bytes sent, then closed",
       {send_raw(concat({piece_header, bytes(100, 'z')})), close_conn()}, "socket read failed"},
      {"rows announced, connection closed after the definitions", head({close_conn()}), "socket read failed"},
      {"error packet of two bytes", {send_packet(1, {0xFF, 0x15})}, "malformed error packet"},
      {"empty answer", {send_packet(1, {})}, "empty query response"},
      // 0xFB first is a LOCAL INFILE request: the client sends no file, it refuses the answer.
      {"LOCAL INFILE request", {send_packet(1, concat({{0xFB}, text_bytes("/etc/passwd")}))}, "bad column count"},
  };
  const char *statements[] = {"SHOW FULL TABLES", COLUMNS_QUERY, "SHOW CREATE TABLE `t2`", "SELECT * FROM `t1`",
                              "SELECT * FROM `t2`"};
  for (const answer_case &tc : cases) {
    for (const char *statement : statements) {
      SCOPED_TRACE(std::string(tc.name) + " answering " + statement);
      fake_db db = healthy;
      db.answers[statement] = tc.answer;
      fake_dump d = dump_db(db);
      tried("malformed answers");
      expect_clean_failure(d, tc.text, statement, ref);
    }
    SCOPED_TRACE(std::string(tc.name) + " answering a catalogue call");
    EXPECT_EQ(list_databases(tc.answer), error_result(tc.text));
    tried("malformed answers");
  }
}

TEST_F(Hostile, ALocalInfileRequestNeverGetsAFile) {
  // The file exists and is readable: a client that honoured the request would send its bytes.
  const std::string secret_path = dir + "/secret.txt";
  const std::string secret = "do-not-send-3f9c2a";
  FILE *f = fopen(secret_path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs(secret.c_str(), f);
  fclose(f);
  const bytes request = concat({{0xFB}, text_bytes(secret_path)});
  for (const char *statement : {"SHOW FULL TABLES", "SELECT * FROM `t1`"}) {
    SCOPED_TRACE(statement);
    fake_db db = two_tables();
    db.answers[statement] = {send_packet(1, request)};
    fake_dump d = dump_db(db);
    tried("LOCAL INFILE requests");
    EXPECT_EQ(d.state, MDUMP_ST_ERROR);
    EXPECT_EQ(d.result, error_result("bad column count"));
    // After the statement the client says only goodbye: COM_QUIT, no file, no empty packet.
    const std::string sent(d.received.begin(), d.received.end());
    size_t at = sent.rfind(statement);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(sent.substr(at + strlen(statement)), std::string("\x01\x00\x00\x00\x01", 5));
    EXPECT_EQ(sent.find(secret), std::string::npos);
  }
  std::remove(secret_path.c_str());
}

// --- 4096 columns -----------------------------------------------------------------------------------

TEST_F(Hostile, FourThousandNinetySixColumnsAreDumpedAndOneMoreIsRefused) {
  for (int columns : {static_cast<int>(MY_MAX_COLUMNS), MY_MAX_COLUMNS + 1}) {
    SCOPED_TRACE(columns);
    fake_db db;
    fake_table t;
    t.name = "wide";
    t.create = "CREATE TABLE `wide` (...)";
    row_t row;
    std::string values;
    for (int i = 0; i < columns; ++i) {
      column_opts o;
      o.name = o.org_name = "c" + std::to_string(i);
      o.type = (i % 2) ? 3 : 253;  // numbers and texts in turn
      o.charset = (i % 2) ? 63 : 45;
      t.columns.push_back(column_def(o));
      t.names.push_back(o.name);
      t.types.push_back((i % 2) ? "int" : "varchar");
      row.push_back(std::to_string(i));
      values += (i ? "," : "") + ((i % 2) ? std::to_string(i) : "'" + std::to_string(i) + "'");
    }
    t.rows = {row, row};
    db.tables.push_back(t);
    fake_dump d = dump_db(db);
    tried("4096 columns");
    if (columns == MY_MAX_COLUMNS) {
      EXPECT_EQ(d.state, MDUMP_ST_DONE) << d.result;
      EXPECT_NE(d.file.find("INSERT INTO `wide` VALUES\n(" + values + "),\n(" + values + ");\n"), std::string::npos);
    } else {
      EXPECT_EQ(d.state, MDUMP_ST_ERROR);
      EXPECT_EQ(d.result, error_result("bad column count"));
      EXPECT_EQ(d.statements.back(), "SELECT * FROM `wide`");
    }
  }
}

// --- Column definitions cut at every byte -----------------------------------------------------------

TEST_F(Hostile, ColumnDefinitionsCutAtEveryByte) {
  // The client needs the six strings whole, then the length byte and the ten fixed bytes; the
  // two filler bytes may be missing. A cut inside a string leaves a length that runs past the
  // end ("bad column def"); a cut between strings or in the fixed part leaves too few fixed bytes
  // ("bad column def tail"). Where the cut leaves enough, the dump is the complete one.
  const fake_db healthy = two_tables();
  const std::string ref = reference(healthy);
  ASSERT_FALSE(ref.empty());
  column_opts v;
  v.catalog = "def";
  v.schema = "fakedb";
  v.table = v.org_table = "t1";
  v.name = v.org_name = "v";
  const bytes def = column_def(v);
  std::vector<size_t> starts;  // where each of the six strings begins, then where they end
  size_t at = 0;
  for (const std::string *s : {&v.catalog, &v.schema, &v.table, &v.org_table, &v.name, &v.org_name}) {
    starts.push_back(at);
    at += 1 + s->size();
  }
  const size_t strings_end = at;
  ASSERT_EQ(def.size(), strings_end + 13);

  int accepted = 0;
  for (const std::string statement : {"SELECT * FROM `t1`", "SHOW FULL TABLES"}) {
    for (size_t cut = 0; cut < def.size(); ++cut) {
      SCOPED_TRACE(statement + " cut at " + std::to_string(cut));
      bytes piece(def.begin(), def.begin() + static_cast<long>(cut));
      fake_db db = healthy;
      std::vector<bytes> columns = statement == "SHOW FULL TABLES"
                                       ? std::vector<bytes>{piece, column_def("Table_type", 253)}
                                       : std::vector<bytes>{healthy.tables[0].columns[0], piece};
      std::vector<row_t> rows = statement == "SHOW FULL TABLES"
                                    ? std::vector<row_t>{{std::string("t1"), std::string("BASE TABLE")},
                                                         {std::string("t2"), std::string("BASE TABLE")}}
                                    : healthy.tables[0].rows;
      db.answers[statement] = rows_answer(columns, rows);
      fake_dump d = dump_db(db);
      tried("column definitions cut");
      if (cut >= strings_end + 11) {
        ++accepted;
        EXPECT_EQ(d.state, MDUMP_ST_DONE) << d.result;
        EXPECT_TRUE(d.file == ref) << "a definition without its filler changed the dump";
        continue;
      }
      bool inside_string = cut < strings_end && std::find(starts.begin(), starts.end(), cut) == starts.end();
      expect_clean_failure(d, inside_string ? "bad column def" : "bad column def tail", statement, ref);
    }
  }
  EXPECT_EQ(accepted, 4);  // the cuts that keep all ten fixed bytes: before either filler byte, twice
}

// --- A continuation chain up to the payload cap -----------------------------------------------------

TEST_F(Hostile, ContinuationChainToThePayloadCapIsRefusedWithinBoundedMemory) {
  // Pieces of 0xFFFFFF bytes, each announcing another: 64 of them are just under the 1 GiB the
  // client accepts in one payload, the 65th would pass it and is refused from its header. The
  // buffer grows by doubling to at most the cap; a grower that copies holds the old half too.
  const bytes piece = frame(5, bytes(MY_MAX_PIECE, 'p'));
  fake_db db = two_tables();
  std::vector<bytes> columns = db.tables[0].columns;
  db.answers["SELECT * FROM `t1`"] = {send_packet(1, column_count(2)), send_packet(2, columns[0]), send_packet(3, columns[1]),
                                      send_packet(4, eof_packet()), send_raw(piece, 80)};
  const long long rss0 = rss_kib();
  const bool peak_reset = reset_peak_rss();
  steady::time_point t0 = steady::now();
  auto seen = std::make_shared<std::vector<std::string>>();
  fake_dump d = dump(login_then(db, seen), seen);
  const long long took = ms_since(t0);
  const long long peak = peak_rss_kib();
  tried("continuation chains to the cap");
  EXPECT_EQ(d.state, MDUMP_ST_ERROR);
  EXPECT_EQ(d.result, error_result("packet too large"));
  const long long grew_kib = peak - rss0;
  const long long cap_kib = static_cast<long long>(MY_MAX_PAYLOAD / 1024);
  if (peak_reset) {
    EXPECT_GT(grew_kib, cap_kib / 2) << "the chain never reached the cap";
    EXPECT_LT(grew_kib, 2 * cap_kib) << "more than the cap and one copy of half of it";
  }
  EXPECT_LE(rss_kib() - rss0, 64 * 1024) << "the buffer was not released with the connection";
  rel_figure("hostile.chain_peak_rss_growth_kib", peak_reset ? std::to_string(grew_kib) : "unmeasured");
  rel_figure("hostile.chain_ms", took);
}

// --- Endless method switches ------------------------------------------------------------------------

// A server of its own, not the fake: it answers every reply with another switch to
// mysql_native_password with a fresh nonce, checks each scramble, and only after `limit` switches
// refuses the login. No memory of its own grows per switch, so the process's heap shows the
// client's.
struct switching_server {
  int listen_fd = -1;
  int port = 0;
  long limit = 0;
  std::atomic<long> answered{0};
  std::atomic<long> wrong{0};
  std::atomic<bool> stop{false};
  long long heap_at_1000 = 0, heap_at_end = 0;
  std::string failure;
  std::thread thread;

  bool start(long n) {
    limit = n;
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listen_fd, 1) != 0 ||
        getsockname(listen_fd, reinterpret_cast<sockaddr *>(&a), &alen) != 0)
      return false;
    port = ntohs(a.sin_port);
    thread = std::thread([this] { run(); });
    return true;
  }

  bool io(int fd, bool reading, uint8_t *buf, size_t len) {
    size_t done = 0;
    while (done < len) {
      pollfd p{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
      int rc = poll(&p, 1, 100);
      if (stop.load()) return false;
      if (rc <= 0) continue;
      ssize_t n = reading ? recv(fd, buf + done, len - done, 0) : send(fd, buf + done, len - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void run() {
    pollfd p{listen_fd, POLLIN, 0};
    while (!stop.load() && poll(&p, 1, 100) == 0) {
    }
    int fd = stop.load() ? -1 : accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    handshake_opts hs;
    hs.plugin = "mysql_native_password";
    bytes first = frame(0, handshake_v10(hs));
    uint8_t buf[4096];
    uint8_t seq = 1;
    if (!io(fd, false, first.data(), first.size()) || read_packet_into(fd, buf, &seq) < 0) {
      failure = "no handshake response";
      ::close(fd);
      return;
    }
    // Fixed buffers from here on: the loop allocates nothing but the check's own hashing.
    uint8_t out[64];  // header, 0xFE, the method name and its 0, the nonce and its 0
    const char method[] = "mysql_native_password";
    for (long i = 0; i < limit && !stop.load(); ++i) {
      uint8_t nonce[20];
      for (int k = 0; k < 20; ++k) nonce[k] = static_cast<uint8_t>(1 + (i * 31 + k * 7) % 250);
      size_t n = 0;
      out[4 + n++] = 0xFE;
      memcpy(out + 4 + n, method, sizeof method);
      n += sizeof method;
      memcpy(out + 4 + n, nonce, 20);
      n += 20;
      out[4 + n++] = 0;
      out[0] = static_cast<uint8_t>(n);
      out[1] = out[2] = 0;
      out[3] = seq++;
      long got = -1;
      if (!io(fd, false, out, 4 + n) || (got = read_packet_into(fd, buf, &seq)) < 0) {
        failure = "the client stopped answering after " + std::to_string(i) + " switches";
        ::close(fd);
        return;
      }
      uint8_t want[20];
      scramble_native("secret", nonce, want);
      if (got != 20 || memcmp(buf, want, 20) != 0) wrong++;
      answered++;
      if (i == 1000) heap_at_1000 = heap_in_use();
    }
    heap_at_end = heap_in_use();
    bytes refuse = frame(seq, err_packet(1045, "28000", "Access denied after " + std::to_string(limit) + " switches"));
    io(fd, false, refuse.data(), refuse.size());
    while (!stop.load() && recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
  }

  // Reads one packet's payload (at most 4096 bytes) into buf; its length, or -1 on failure.
  long read_packet_into(int fd, uint8_t *buf, uint8_t *seq) {
    uint8_t h[4];
    if (!io(fd, true, h, 4)) return -1;
    size_t len = h[0] | h[1] << 8 | h[2] << 16;
    *seq = static_cast<uint8_t>(h[3] + 1);
    if (len > 4096 || !io(fd, true, buf, len)) return -1;
    return static_cast<long>(len);
  }

  ~switching_server() {
    stop.store(true);
    if (thread.joinable()) thread.join();
    if (listen_fd >= 0) ::close(listen_fd);
  }
};

TEST_F(Hostile, EndlessMethodSwitchesAreEachAnsweredInConstantMemory) {
  // The client follows switches for as long as the server asks; each asks for a server packet, so
  // this is no busier than any other server that keeps talking. What it costs is measured here: a
  // correct scramble for every nonce, no memory per switch, and what a cancel does meanwhile (the
  // login has no cancel flag yet, so the switching goes on; the figure is recorded, not judged).
  const long limit = std::max(2000L, rel_param("MDUMP_REL_SWITCHES", 20000));
  switching_server srv;
  ASSERT_TRUE(srv.start(limit));
  int n = mdump_start(config(srv.port).c_str());
  ASSERT_GE(n, 0) << mdump_last_error();
  steady::time_point t0 = steady::now();
  while (srv.answered.load() < limit / 2 && srv.failure.empty() && ms_since(t0) < 120000) sleep_ms(1);
  mdump_cancel(n);
  const long at_cancel = srv.answered.load();
  const long long cancel_ms = ms_since(t0);
  while (!is_final(mdump_status(n)) && ms_since(t0) < 240000) sleep_ms(1);
  const long long took = ms_since(t0);
  std::string result = mdump_result(n);
  mdump_free(n);
  srv.stop.store(true);
  if (srv.thread.joinable()) srv.thread.join();
  tried("method switches", srv.answered.load());
  EXPECT_EQ(srv.failure, "");
  EXPECT_EQ(srv.wrong.load(), 0) << "scrambles that do not answer their nonce";
  EXPECT_TRUE(result == error_result("Access denied after " + std::to_string(limit) + " switches") ||
              result == error_result("cancelled"))
      << result;
  // The client keeps nothing per switch: the heap is where it was after the first thousand.
  EXPECT_LT(srv.heap_at_end - srv.heap_at_1000, 64 * 1024)
      << "heap grew from " << srv.heap_at_1000 << " to " << srv.heap_at_end << " bytes";
  rel_figure("hostile.switches_answered", srv.answered.load());
  rel_figure("hostile.switches_per_s", took > 0 ? srv.answered.load() * 1000 / took : 0);
  rel_figure("hostile.switches_after_cancel", srv.answered.load() - at_cancel);
  rel_figure("hostile.switch_cancel_result", result);
  rel_figure("hostile.switch_cancel_waited_ms", took - cancel_ms);
  rel_figure("hostile.switch_heap_growth_bytes", srv.heap_at_end - srv.heap_at_1000);
}

// --- Huge error texts -------------------------------------------------------------------------------

// 20 MiB messages, so that the error packet itself spans continuation pieces; of them the client
// keeps 511 bytes, and every answer must still be one well-formed JSON text whose error is the
// beginning of the server's, wherever the error comes: in place of the handshake, refusing the
// login, answering a statement, among rows, or to a catalogue call.
class HugeErrors : public Hostile {
 protected:
  struct text_case {
    const char *name;
    std::string unit;
  };

  void check(const std::vector<text_case> &texts) {
    const size_t size = 20u << 20;
    const fake_db healthy = two_tables();
    const std::string ref = reference(healthy);
    for (const text_case &tc : texts) {
      std::string message;
      while (message.size() + tc.unit.size() <= size) message += tc.unit;
      const bytes err = err_packet(1105, "HY000", message);
      handshake_opts hs;
      hs.plugin = "mysql_native_password";
      struct where_case {
        const char *name;
        std::vector<fake_step> script;
      } wheres[] = {
          {"instead of the handshake", {send_raw(frame_chain(0, err))}},
          {"refusing the login", {send_packet(0, handshake_v10(hs)), read_packet(), send_raw(frame_chain(2, err))}},
      };
      std::vector<std::pair<std::string, std::vector<fake_step>>> answers = {
          {"SHOW FULL TABLES", {send_raw(frame_chain(1, err))}},
          {"SELECT * FROM `t1`",
           {send_packet(1, column_count(2)), send_packet(2, healthy.tables[0].columns[0]),
            send_packet(3, healthy.tables[0].columns[1]), send_packet(4, eof_packet()),
            send_packet(5, text_row({std::string("1"), std::string("one")})), send_raw(frame_chain(6, err))}},
      };
      std::vector<std::pair<std::string, fake_dump>> runs;
      for (where_case &w : wheres) runs.emplace_back(w.name, dump(w.script));
      for (auto &a : answers) {
        fake_db db = healthy;
        db.answers[a.first] = a.second;
        runs.emplace_back("answering " + a.first, dump_db(db));
      }
      std::vector<std::pair<std::string, std::string>> answers_seen;
      for (auto &r : runs) answers_seen.emplace_back(r.first, r.second.result);
      answers_seen.emplace_back("catalogue call", list_databases({send_raw(frame_chain(1, err))}));
      tried("huge error texts", static_cast<long>(answers_seen.size()));
      for (auto &r : runs) {
        SCOPED_TRACE(std::string(tc.name) + ", " + r.first);
        EXPECT_EQ(r.second.state, MDUMP_ST_ERROR);
        if (r.second.file_exists) {
          EXPECT_TRUE(is_prefix(r.second.file, ref));
        }
      }
      for (auto &a : answers_seen) {
        SCOPED_TRACE(std::string(tc.name) + ", " + a.first);
        EXPECT_EQ(json_problem(a.second), "") << a.second.substr(0, 200) << "...";
        std::string text;
        ASSERT_TRUE(error_of(a.second, &text)) << a.second.substr(0, 200);
        EXPECT_GE(text.size(), 100u);
        EXPECT_LE(text.size(), 511u);
        EXPECT_TRUE(is_prefix(text, message)) << "not the beginning of the server's text";
      }
    }
  }
};

TEST_F(HugeErrors, AreCutToWellFormedAnswers) {
  check({{"ASCII", "E"}, {"quotes and backslashes", "\"\\"}, {"control bytes", "\x01\n\t"}});
}

// A text of multi-byte characters cut at 511 bytes must not end in half a character, or the
// answer would no longer be valid UTF-8, so not JSON.
TEST_F(HugeErrors, OfMultiByteCharactersAreCutOnACharacterBoundary) {
  check({{"two-byte UTF-8", "\xC3\xA9"}, {"three-byte UTF-8", "\xE2\x82\xAC"}});
}

// Written once per process, after the tests above have counted their inputs.
class hostile_figures : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_inputs == 0) return;
    rel_figure("hostile.inputs", g_inputs);
    std::string kinds;
    for (const auto &kv : g_inputs_by_kind) kinds += (kinds.empty() ? "" : "; ") + std::to_string(kv.second) + " " + kv.first;
    rel_figure("hostile.kinds", kinds);
  }
};

::testing::Environment *const g_figures = ::testing::AddGlobalTestEnvironment(new hostile_figures);

}  // namespace
