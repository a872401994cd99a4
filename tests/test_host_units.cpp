// The command-line host's parts on their own: its JSON reader, its option parser, the
// configuration documents it builds (read back by the library's own parser), and its figures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mysqldump/config.h"
#include "tools/host_format.h"
#include "tools/host_json.h"
#include "tools/host_options.h"

namespace {

// The document points into its text, so only texts that outlive it are handed in.
bool parses(const char *text, hj_doc *doc) { return hj_parse(text, strlen(text), doc); }

TEST(HostJson, ReadsEachAnswerShapeOfTheLibrary) {
  hj_doc d;
  std::string s;
  long long n = 0;
  bool b = true;

  ASSERT_TRUE(parses("{\"state\":2,\"table\":\"t\\\"1\",\"tables_done\":1,\"tables_total\":3,"
                     "\"rows_written\":9223372036854775807,\"bytes_written\":0,\"elapsed_ms\":12}", &d))
      << d.error;
  EXPECT_TRUE(hj_get_int(&d, 0, "state", &n));
  EXPECT_EQ(n, 2);
  EXPECT_TRUE(hj_get_string(&d, 0, "table", &s));
  EXPECT_EQ(s, "t\"1");
  EXPECT_TRUE(hj_get_int(&d, 0, "rows_written", &n));
  EXPECT_EQ(n, 9223372036854775807LL);
  EXPECT_EQ(hj_get(&d, 0, "ok"), -1);

  ASSERT_TRUE(parses("{\"ok\":false,\"error\":\"Access denied for user 'u'@'h' (using password: YES)\"}", &d));
  EXPECT_TRUE(hj_get_bool(&d, 0, "ok", &b));
  EXPECT_FALSE(b);
  EXPECT_TRUE(hj_get_string(&d, 0, "error", &s));
  EXPECT_EQ(s, "Access denied for user 'u'@'h' (using password: YES)");

  ASSERT_TRUE(parses("{\"ok\":true,\"tables\":[{\"name\":\"a\",\"rows\":5,\"data_bytes\":16384},"
                     "{\"name\":\"b\\\\c\",\"rows\":0,\"data_bytes\":0}]}", &d));
  int list = hj_get(&d, 0, "tables");
  ASSERT_GE(list, 0);
  std::vector<std::string> names;
  for (int t = d.nodes[list].first; t >= 0; t = d.nodes[t].next) {
    ASSERT_TRUE(hj_get_string(&d, t, "name", &s));
    names.push_back(s);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b\\c"}));

  ASSERT_TRUE(parses("{\"ok\":true,\"databases\":[]}", &d));
  EXPECT_EQ(d.nodes[hj_get(&d, 0, "databases")].first, -1);
}

TEST(HostJson, DecodesEscapesToUtf8) {
  struct {
    const char *json;
    std::string want;
  } cases[] = {
      {"\"a\\u0001b\"", std::string("a\x01" "b")},
      {"\"\\u001b\"", "\x1b"},
      {"\"\\u00e9\"", "\xc3\xa9"},
      {"\"\\u20AC\"", "\xe2\x82\xac"},
      {"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"},
      {"\"\\/\\b\\f\\n\\r\\t\"", "/\b\f\n\r\t"},
      {"\"\xc3\xa9\"", "\xc3\xa9"},  // raw UTF-8 passes as it is
      {"\"\"", ""},
  };
  for (const auto &c : cases) {
    hj_doc d;
    std::string s;
    ASSERT_TRUE(parses(c.json, &d)) << c.json << ": " << d.error;
    ASSERT_TRUE(hj_string(&d, 0, &s)) << c.json;
    EXPECT_EQ(s, c.want) << c.json;
  }
}

TEST(HostJson, RefusesWhatIsNotOneValue) {
  // A result cut at its buffer's end is the case that matters in practice.
  const char *bad[] = {
      "",
      "   ",
      "{\"ok\":true,\"out_path\":\"/tmp/x",
      "{\"ok\":true,}",
      "{\"ok\" true}",
      "[1 2]",
      "{\"a\":1}{",
      "{\"a\":01}",
      "{\"a\":-}",
      "{\"a\":1.}",
      "{\"a\":tru}",
      "\"\\x\"",
      "\"\\u12g4\"",
      "\"\\ud83d\"",
      "\"\\ude00\"",
      "\"a\nb\"",
      "{1:2}",
  };
  for (const char *text : bad) {
    hj_doc d;
    EXPECT_FALSE(parses(text, &d)) << "accepted: " << text;
    if (text[0] != 0 && text[0] != ' ') {
      EXPECT_NE(d.error[0], 0) << text;
    }
  }
  std::string deep(HJ_MAX_DEPTH + 1, '[');
  deep += std::string(HJ_MAX_DEPTH + 1, ']');
  hj_doc d;
  EXPECT_FALSE(hj_parse(deep.c_str(), deep.size(), &d));
  std::string ok_depth(HJ_MAX_DEPTH, '[');
  ok_depth += std::string(HJ_MAX_DEPTH, ']');
  EXPECT_TRUE(hj_parse(ok_depth.c_str(), ok_depth.size(), &d)) << d.error;
}

TEST(HostJson, IntegersAndTypesAreChecked) {
  struct {
    const char *json;
    bool ok;
    long long want;
  } cases[] = {
      {"0", true, 0},
      {"-0", true, 0},
      {"9223372036854775807", true, 9223372036854775807LL},
      {"-9223372036854775808", true, -9223372036854775807LL - 1},
      {"9223372036854775808", false, 0},
      {"-9223372036854775809", false, 0},
      {"1.5", false, 0},
      {"1e3", false, 0},
      {"\"5\"", false, 0},
      {"true", false, 0},
  };
  for (const auto &c : cases) {
    hj_doc d;
    ASSERT_TRUE(parses(c.json, &d)) << c.json;
    long long v = 12345;
    EXPECT_EQ(hj_int(&d, 0, &v), c.ok) << c.json;
    if (c.ok) {
      EXPECT_EQ(v, c.want) << c.json;
    }
  }
  hj_doc d;
  ASSERT_TRUE(parses("{\"k\\u0065y\":7,\"s\":\"x\"}", &d));
  long long v = 0;
  EXPECT_TRUE(hj_get_int(&d, 0, "key", &v));  // a key written with an escape
  EXPECT_EQ(v, 7);
  bool b;
  std::string s;
  EXPECT_FALSE(hj_get_bool(&d, 0, "s", &b));
  EXPECT_FALSE(hj_get_string(&d, 0, "key", &s));
  EXPECT_FALSE(hj_get_string(&d, 0, "missing", &s));
  EXPECT_EQ(hj_get(&d, hj_get(&d, 0, "s"), "x"), -1);  // not an object
}

// argv as main() receives it: writable strings.
struct argv_holder {
  std::vector<std::string> text;
  std::vector<char *> ptrs;
  explicit argv_holder(std::vector<std::string> args) : text(std::move(args)) {
    text.insert(text.begin(), "quillfen-mysqldump");
    for (std::string &a : text) ptrs.push_back(&a[0]);
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(text.size()); }
};

bool parse(std::vector<std::string> args, host_options *o, std::string *error) {
  argv_holder a(std::move(args));
  return parse_options(a.argc(), a.ptrs.data(), o, error) && check_options(o, error);
}

TEST(HostOptions, MySqlClientStyleForms) {
  host_options o;
  std::string e;
  ASSERT_TRUE(parse({"-hdb.example", "-P3307", "-uroot", "-psecret", "dump", "shop", "-o", "x.sql"}, &o, &e)) << e;
  EXPECT_EQ(o.command, CMD_DUMP);
  EXPECT_EQ(o.host, "db.example");
  EXPECT_EQ(o.port, 3307);
  EXPECT_EQ(o.user, "root");
  EXPECT_EQ(o.password, "secret");
  EXPECT_TRUE(o.password_given);
  EXPECT_EQ(o.database, "shop");
  EXPECT_EQ(o.output, "x.sql");

  o = host_options();
  ASSERT_TRUE(parse({"--host", "h", "--port=1", "--user=u", "--password=", "tables", "--database=d"}, &o, &e)) << e;
  EXPECT_EQ(o.host, "h");
  EXPECT_EQ(o.port, 1);
  EXPECT_TRUE(o.password_given);  // an empty password, given
  EXPECT_EQ(o.password, "");
  EXPECT_EQ(o.database, "d");

  // -p alone asks; the word after it is an argument, not the password.
  o = host_options();
  ASSERT_TRUE(parse({"-p", "tables", "shop"}, &o, &e)) << e;
  EXPECT_TRUE(o.password_prompt);
  EXPECT_FALSE(o.password_given);
  EXPECT_EQ(o.command, CMD_TABLES);
  EXPECT_EQ(o.database, "shop");

  o = host_options();
  ASSERT_TRUE(parse({"dump", "-D", "shop", "--tables", "a,b", "--tables=c", "--no-data", "--no-create-info",
                     "--add-drop-table", "--rows-per-insert", "1000", "-q", "--json", "--", "shop"},
                    &o, &e)) << e;
  EXPECT_EQ(o.tables, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(o.no_data && o.no_create_info && o.add_drop_table && o.quiet && o.json);
  EXPECT_EQ(o.rows_per_insert, 1000);

  o = host_options();
  ASSERT_TRUE(parse({"-?"}, &o, &e));
  EXPECT_TRUE(o.help);
}

TEST(HostOptions, PasswordOnTheCommandLineIsMaskedInArgv) {
  argv_holder a({"-pTopSecret", "--password=Other1", "ping"});
  host_options o;
  std::string e;
  ASSERT_TRUE(parse_options(a.argc(), a.ptrs.data(), &o, &e)) << e;
  EXPECT_EQ(o.password, "Other1");
  EXPECT_STREQ(a.ptrs[1], "-pxxxxxxxxx");
  EXPECT_STREQ(a.ptrs[2], "--password=xxxxxx");
}

TEST(HostOptions, UsageErrorsSayWhat) {
  struct {
    std::vector<std::string> args;
    const char *says;
  } cases[] = {
      {{}, "no command given"},
      {{"backup"}, "unknown command 'backup'"},
      {{"--bogus", "ping"}, "unknown option '--bogus'"},
      {{"-x", "ping"}, "unknown option '-x'"},
      {{"ping", "-h"}, "option '-h' needs a value"},
      {{"ping", "--json=yes"}, "option '--json' takes no value"},
      {{"ping", "-P", "0"}, "--port '0' is not a port number"},
      {{"ping", "-P", "65536"}, "--port '65536' is not a port number"},
      {{"ping", "-P", "33o6"}, "--port '33o6' is not a port number"},
      {{"dump", "d", "--rows-per-insert", "0"}, "--rows-per-insert '0' is not a number from 1 to 1000"},
      {{"dump", "d", "--rows-per-insert", "1001"}, "--rows-per-insert '1001'"},
      {{"dump", "d", "--tables", "a,,b"}, "--tables 'a,,b' has an empty table name"},
      {{"dump", "d", "--tables", ","}, "has an empty table name"},
      {{"dump"}, "dump needs a database"},
      {{"tables"}, "tables needs a database"},
      {{"tables", "d", "--no-data"}, "--no-data applies to dump only"},
      {{"ping", "-o", "x"}, "--output applies to dump only"},
      {{"ping", "extra"}, "unexpected argument 'extra'"},
      {{"dump", "a", "b"}, "unexpected argument 'b'"},
      {{"dump", "-D", "a", "b"}, "two different databases given: 'a' and 'b'"},
      {{"dump", "--config", "c.json", "-u", "x"}, "--user cannot be combined with --config"},
      {{"dump", "--config", "c.json", "shop"}, "a database cannot be combined with --config"},
      {{"ping", "--config", "c.json", "-p"}, "--password cannot be combined with --config"},
      {{"dump", "d", "--tables", std::string(385, 't')}, "is too long (at most 384 bytes"},
      {{"dump", std::string(193, '"')}, "the database name is too long"},
      {{"ping", "-u", std::string(128, 'u')}, "--user is too long"},
  };
  for (const auto &c : cases) {
    host_options o;
    std::string e;
    EXPECT_FALSE(parse(c.args, &o, &e)) << c.says;
    EXPECT_NE(e.find(c.says), std::string::npos) << "got: " << e;
  }
  std::vector<std::string> many = {"dump", "d", "--tables", "t0"};
  for (int i = 1; i <= HOST_MAX_TABLES; ++i) many[3] += ",t" + std::to_string(i);
  host_options o;
  std::string e;
  EXPECT_FALSE(parse(many, &o, &e));
  EXPECT_NE(e.find("more than 512 tables"), std::string::npos) << e;
}

// The library's parser reads back exactly what the host meant, whatever bytes the texts hold.
TEST(HostOptions, ConfigReadsBackThroughTheLibraryParser) {
  host_options o;
  o.command = CMD_DUMP;
  o.host = "::1";
  o.port = 3307;
  o.user = "us\"er";
  o.user_given = true;
  o.password = std::string("p\\w\"d\n\r\t\x01\x1f\x7f/\xc3\xa9 \\u0041", 20);
  o.database = "it's";
  o.output = "C:\\dumps\\it's.sql";
  o.tables = {"a\"b", "c\\d", "\xe6\x97\xa5"};
  o.no_create_info = true;
  o.add_drop_table = true;
  o.rows_per_insert = 7;
  std::string text = build_config(&o, "ignored");
  // Strict JSON too, for any other reader of the document.
  hj_doc doc;
  ASSERT_TRUE(hj_parse(text.c_str(), text.size(), &doc)) << doc.error << ": " << text;
  std::string password;
  EXPECT_TRUE(hj_get_string(&doc, 0, "password", &password));
  EXPECT_EQ(password, o.password);
  mdump_config cfg;
  ASSERT_EQ(parse_config(text.c_str(), &cfg), 0) << text;
  EXPECT_STREQ(cfg.host, "::1");
  EXPECT_EQ(cfg.port, 3307);
  EXPECT_STREQ(cfg.user, "us\"er");
  EXPECT_EQ(std::string(cfg.password), o.password);
  EXPECT_STREQ(cfg.database, "it's");
  EXPECT_STREQ(cfg.out_path, "C:\\dumps\\it's.sql");
  ASSERT_EQ(cfg.table_count, 3);
  EXPECT_STREQ(cfg.tables[0], "a\"b");
  EXPECT_STREQ(cfg.tables[1], "c\\d");
  EXPECT_STREQ(cfg.tables[2], "\xe6\x97\xa5");
  EXPECT_EQ(cfg.include_schema, 0);
  EXPECT_EQ(cfg.include_data, 1);
  EXPECT_EQ(cfg.include_drop, 1);
  EXPECT_EQ(cfg.rows_per_insert, 7);

  // Defaults: the login name stands in for -u, the dump file is named after the database.
  host_options d;
  d.command = CMD_DUMP;
  d.database = "shop";
  ASSERT_EQ(parse_config(build_config(&d, "alice").c_str(), &cfg), 0);
  EXPECT_STREQ(cfg.host, "127.0.0.1");
  EXPECT_EQ(cfg.port, 3306);
  EXPECT_STREQ(cfg.user, "alice");
  EXPECT_STREQ(cfg.out_path, "shop.sql");
  EXPECT_EQ(cfg.table_count, 0);
  EXPECT_EQ(cfg.include_schema, 1);
  EXPECT_EQ(cfg.include_drop, 0);
  EXPECT_EQ(cfg.rows_per_insert, 100);
}

// A text at the length limit counted with its escapes arrives whole; one byte more is refused
// by the host rather than cut by the library.
TEST(HostOptions, LengthLimitsCountEscapes) {
  std::string quotes(HOST_PASSWORD_MAX / 2, '"');  // 127 quotes: 254 bytes escaped
  host_options o;
  o.command = CMD_PING;
  o.password = quotes;
  std::string e;
  ASSERT_TRUE(check_options(&o, &e)) << e;
  mdump_config cfg;
  ASSERT_EQ(parse_config(build_config(&o, "u").c_str(), &cfg), 0);
  EXPECT_EQ(std::string(cfg.password), quotes);
  o.password += "\"";
  EXPECT_FALSE(check_options(&o, &e));
  EXPECT_NE(e.find("the password is too long"), std::string::npos) << e;

  host_options t;
  t.command = CMD_DUMP;
  t.database = std::string(HOST_DATABASE_MAX, 'd');
  t.output = std::string(HOST_PATH_MAX, 'o');
  t.tables = {std::string(HOST_TABLE_MAX, 't')};
  ASSERT_TRUE(check_options(&t, &e)) << e;
  ASSERT_EQ(parse_config(build_config(&t, "u").c_str(), &cfg), 0);
  EXPECT_EQ(std::string(cfg.database), t.database);
  EXPECT_EQ(std::string(cfg.out_path), t.output);
  EXPECT_EQ(std::string(cfg.tables[0]), t.tables[0]);
  t.output += "o";
  EXPECT_FALSE(check_options(&t, &e));
  EXPECT_NE(e.find("--output is too long"), std::string::npos) << e;
}

TEST(HostFormat, Figures) {
  struct {
    long long bytes;
    const char *want;
  } sizes[] = {{0, "0 B"},          {999, "999 B"},        {1000, "1.0 kB"},
               {16384, "16.4 kB"},  {999949, "999.9 kB"},  {999950, "1.0 MB"},
               {162693733, "162.7 MB"}, {1500000000000LL, "1.5 TB"}};
  for (const auto &s : sizes) EXPECT_EQ(human_bytes(s.bytes), s.want) << s.bytes;
  EXPECT_EQ(grouped(0), "0");
  EXPECT_EQ(grouped(999), "999");
  EXPECT_EQ(grouped(1000), "1,000");
  EXPECT_EQ(grouped(1234567), "1,234,567");
  EXPECT_EQ(grouped(-1234), "-1,234");
  EXPECT_EQ(human_rate(5000000, 0), "-");
  EXPECT_EQ(human_rate(5000000, 2000), "2.5 MB/s");
  EXPECT_EQ(human_duration(400), "0.4 s");
  EXPECT_EQ(human_duration(59949), "59.9 s");
  EXPECT_EQ(human_duration(125000), "2:05");
  EXPECT_EQ(human_duration(3725000), "1:02:05");
  EXPECT_EQ(dump_summary("shop.sql", 4, 372000, 41200000, 3100),
            "Dumped 4 tables, 372,000 rows, 41.2 MB in 3.1 s (13.3 MB/s) to shop.sql");
  EXPECT_EQ(dump_summary("a.sql", 1, 1, 10, 0), "Dumped 1 table, 1 row, 10 B in 0.0 s (-) to a.sql");
}

TEST(HostFormat, ProgressFractionNeverClaimsTheEndEarly) {
  host_progress p;
  p.state = 2;
  p.tables_total = 4;
  p.tables_done = 1;
  p.rows = 500;
  EXPECT_DOUBLE_EQ(progress_fraction(p, 0), 0.25);     // no estimate: by tables
  EXPECT_DOUBLE_EQ(progress_fraction(p, 1000), 0.5);   // rows ahead of tables
  EXPECT_DOUBLE_EQ(progress_fraction(p, 100), 0.99);   // the estimate was low
  p.tables_done = 4;
  EXPECT_DOUBLE_EQ(progress_fraction(p, 0), 0.99);     // all tables, but not yet done
  p.state = 3;
  EXPECT_DOUBLE_EQ(progress_fraction(p, 100), 1.0);
  host_progress start;
  start.state = 1;
  EXPECT_LT(progress_fraction(start, 0), 0);  // nothing known: no bar
}

TEST(HostFormat, BarLineFitsTheTerminal) {
  host_progress p;
  p.state = 2;
  p.table = "order_items";
  p.tables_done = 2;
  p.tables_total = 4;
  p.rows = 182311;
  p.bytes = 21400000;
  p.elapsed_ms = 2000;
  std::string wide = progress_bar_line(p, 0.5, 120);
  EXPECT_EQ(wide, "[##########..........] 2/4 tables  order_items  182,311 rows  21.4 MB  10.7 MB/s  2.0 s");
  // At 80 columns the bar is shorter, and the name still fits whole.
  EXPECT_EQ(progress_bar_line(p, 0.5, 80),
            "[#####.....] 2/4 tables  order_items  182,311 rows  21.4 MB  10.7 MB/s  2.0 s");
  // Its length follows the width only, not the name.
  host_progress q = p;
  q.table = "t";
  EXPECT_EQ(progress_bar_line(q, 0.5, 80).compare(0, 13, "[#####.....] "), 0);
  EXPECT_EQ(progress_bar_line(p, 0.999, 120).compare(0, 22, "[###################.]"), 0);
  EXPECT_EQ(progress_bar_line(p, 1.0, 120).compare(0, 22, "[####################]"), 0);
  for (int width : {80, 60, 40, 10, 1, 0}) {
    std::string line = progress_bar_line(p, 0.5, width);
    EXPECT_LE(static_cast<int>(line.size()), width > 1 ? width - 1 : 0) << width << ": " << line;
  }
  // A long name is shortened before the figures are; a UTF-8 name is never cut inside a character
  // and a control byte in it cannot move the cursor.
  p.table = std::string(40, 'x') + "\xc3\xa9\xc3\xa9\xc3\xa9\n" + std::string(40, 'y');
  std::string line = progress_bar_line(p, 0.5, 80);
  EXPECT_NE(line.find("..."), std::string::npos) << line;
  EXPECT_NE(line.find("182,311 rows"), std::string::npos) << line;
  for (int width = 70; width <= 130; ++width) {
    std::string l = progress_bar_line(p, -1, width);
    EXPECT_LE(text_columns(l), static_cast<size_t>(width - 1)) << l;
    EXPECT_EQ(l.find('\n'), std::string::npos);
    size_t cut = l.find("...");
    if (cut != std::string::npos) {
      EXPECT_NE(static_cast<unsigned char>(l[cut - 1]), 0xC3) << l;
    }
  }
  // Wide characters take two columns each, on the line and in the cut.
  EXPECT_EQ(text_columns("abc"), 3u);
  EXPECT_EQ(text_columns("\xc3\xa9t\xc3\xa9"), 3u);
  EXPECT_EQ(text_columns("\xe6\x97\xa5\xe6\x9c\xac"), 4u);
  EXPECT_EQ(text_columns("\xf0\x9f\x8e\x81"), 2u);
  EXPECT_EQ(text_columns("a\xff\xe6\x97"), 3u);  // stray and cut-off bytes count one each
  p.table = "";
  for (int i = 0; i < 30; ++i) p.table += "\xe6\x97\xa5";
  for (int width = 60; width <= 130; ++width) {
    std::string l = progress_bar_line(p, 0.3, width);
    EXPECT_LE(text_columns(l), static_cast<size_t>(width - 1)) << width << ": " << l;
    EXPECT_NE(l.find("182,311 rows"), std::string::npos) << l;
  }
  host_progress connecting;
  connecting.state = 1;
  EXPECT_EQ(progress_bar_line(connecting, -1, 80), "connecting  0 rows  0 B  -  0.0 s");
  EXPECT_EQ(progress_plain_line(p).find('\n'), std::string::npos);
  p.table = "orders";
  EXPECT_EQ(progress_plain_line(p), "dump: 2/4 tables, table orders, 182311 rows, 21.4 MB, 10.7 MB/s, 2.0 s");
}

TEST(HostFormat, Listings) {
  std::vector<host_listing_row> tables = {{"customers", -1, 20000, 2500000}, {"t", -1, -1, -1}};
  EXPECT_EQ(listing_text(tables, false),
            "TABLE         ROWS (EST.)       SIZE\n"
            "customers          20,000     2.5 MB\n"
            "t                       -          -\n"
            "2 tables, about 20,000 rows, 2.5 MB\n");
  std::vector<host_listing_row> dbs = {{"shop", 4, 372000, 41200000}};
  EXPECT_EQ(listing_text(dbs, true),
            "DATABASE  TABLES     ROWS (EST.)       SIZE\n"
            "shop           4         372,000    41.2 MB\n"
            "1 database, 4 tables, about 372,000 rows, 41.2 MB\n");
}

}  // namespace
