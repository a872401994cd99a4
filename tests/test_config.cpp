// Configuration documents against the record they must give: leniency, rejections, cuts, escapes,
// tables and the kinds of values.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "mysqldump/config.h"

namespace {

mdump_config defaults() {
  mdump_config c;
  memset(&c, 0, sizeof c);
  strcpy(c.host, "127.0.0.1");
  c.port = 3306;
  c.include_schema = 1;
  c.include_data = 1;
  c.rows_per_insert = 100;
  return c;
}

// Names the first field where two records differ, so a failing row says what went wrong.
std::string first_difference(const mdump_config &want, const mdump_config &got) {
  auto text = [](const char *name, const char *a, const char *b) -> std::string {
    return strcmp(a, b) == 0 ? "" : std::string(name) + ": want \"" + a + "\" got \"" + b + "\"";
  };
  auto num = [](const char *name, int a, int b) -> std::string {
    return a == b ? "" : std::string(name) + ": want " + std::to_string(a) + " got " + std::to_string(b);
  };
  std::string d;
  if (!(d = text("host", want.host, got.host)).empty()) return d;
  if (!(d = num("port", want.port, got.port)).empty()) return d;
  if (!(d = text("user", want.user, got.user)).empty()) return d;
  if (!(d = text("password", want.password, got.password)).empty()) return d;
  if (!(d = text("database", want.database, got.database)).empty()) return d;
  if (!(d = text("out_path", want.out_path, got.out_path)).empty()) return d;
  if (!(d = num("table_count", want.table_count, got.table_count)).empty()) return d;
  for (int i = 0; i < MDUMP_MAX_TABLES; ++i)
    if (!(d = text(("tables[" + std::to_string(i) + "]").c_str(), want.tables[i], got.tables[i])).empty())
      return d;
  if (!(d = num("include_schema", want.include_schema, got.include_schema)).empty()) return d;
  if (!(d = num("include_data", want.include_data, got.include_data)).empty()) return d;
  if (!(d = num("include_drop", want.include_drop, got.include_drop)).empty()) return d;
  if (!(d = num("rows_per_insert", want.rows_per_insert, got.rows_per_insert)).empty()) return d;
  if (!(d = num("tables_dropped", want.tables_dropped, got.tables_dropped)).empty()) return d;
  // Bytes past the terminators must stay zero too: the record is copied whole into a session.
  if (memcmp(&want, &got, sizeof want) != 0) return "bytes beyond a terminator differ";
  return "";
}

struct config_case {
  const char *name;
  std::string doc;
  int result;
  std::function<void(mdump_config &)> expect;  // applied to the defaults
};

void no_change(mdump_config &) {}

std::string repeat(char c, size_t n) { return std::string(n, c); }

std::string table_list(int n) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? ",\"t" : "\"t") + std::to_string(i) + "\"";
  return s + "]";
}

void run_cases(const std::vector<config_case> &cases) {
  for (const config_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    mdump_config got;
    memset(&got, 0xAB, sizeof got);  // the parser must write the whole record
    mdump_config want = defaults();
    tc.expect(want);
    EXPECT_EQ(parse_config(tc.doc.c_str(), &got), tc.result);
    EXPECT_EQ(first_difference(want, got), "");
  }
}

TEST(ParseConfig, RejectedDocumentsLeaveTheDefaults) {
  std::string deep = repeat('[', 1600) + repeat(']', 1600);
  std::string many = "{\"a\":[" + repeat('1', 0);
  for (int i = 0; i < 1599; ++i) many += "1,";
  many += "]}";  // 1 object + 1 key + 1 array + 1599 numbers = 1602 tokens
  run_cases({
      {"empty text", "", -1, no_change},
      {"only spaces", "   \t\r\n", -1, no_change},
      {"only colons and commas", " :,: ", -1, no_change},
      {"empty array", "[]", -1, no_change},
      {"top-level string", "\"host\"", -1, no_change},
      {"top-level number", "42", -1, no_change},
      {"lone opening brace", "{", -1, no_change},
      {"lone closing brace", "}", -1, no_change},
      {"object closed by a square bracket", "{]", -1, no_change},
      {"array closed by a brace", "{\"tables\":[}", -1, no_change},
      {"unclosed string", "{\"host\":\"db", -1, no_change},
      {"unknown escape", "{\"host\":\"a\\qb\"}", -1, no_change},
      {"short unicode escape", "{\"host\":\"\\u12\"}", -1, no_change},
      {"non-hex unicode escape", "{\"host\":\"\\u12g4\"}", -1, no_change},
      {"backslash at the end of the text", "{\"host\":\"\\", -1, no_change},
      {"escape of byte zero", "{\"host\":\"a\\u0000b\"}", -1, no_change},
      {"control byte outside a string", "{\"port\":33\x01}", -1, no_change},
      {"byte above 0x7E outside a string", "{\"port\":\xC3\xA9}", -1, no_change},
      {"DEL outside a string", "{\"port\":\x7F}", -1, no_change},
      {"valid members before a late failure", "{\"host\":\"db\",\"port\":1,\"x\":}}", -1, no_change},
      {"more than 1600 tokens", many, -1, no_change},
      {"1600 nested arrays", "{" + deep + "}", -1, no_change},
  });
}

TEST(ParseConfig, LenientStructureIsAccepted) {
  run_cases({
      {"empty object", "{}", 0, no_change},
      {"all keys", R"({"host":"db.example","port":3307,"user":"u","password":"p","database":"d",
                       "out_path":"/tmp/x.sql","include_schema":false,"include_data":false,
                       "include_drop":true,"rows_per_insert":50,"tables":["a","b"]})",
       0,
       [](mdump_config &c) {
         strcpy(c.host, "db.example"); c.port = 3307; strcpy(c.user, "u"); strcpy(c.password, "p");
         strcpy(c.database, "d"); strcpy(c.out_path, "/tmp/x.sql"); c.include_schema = 0;
         c.include_data = 0; c.include_drop = 1; c.rows_per_insert = 50; c.table_count = 2;
         strcpy(c.tables[0], "a"); strcpy(c.tables[1], "b");
       }},
      {"missing commas", "{\"user\":\"u\" \"port\":1}", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); c.port = 1; }},
      {"repeated commas and stray colons", "{,,\"user\"::\"u\",,}", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); }},
      {"strings after the object are walked", "{} \"user\" \"u\"", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); }},
      {"later scalar wins", "{\"port\":1,\"port\":2}", 0, [](mdump_config &c) { c.port = 2; }},
      {"key without a value at the end", "{\"user\":\"u\",\"host\"}", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); }},
      {"object holding only a key", "{\"host\"}", 0, no_change},
      {"exactly 1600 tokens", [] {
         std::string d = "{\"a\":[";
         for (int i = 0; i < 1597; ++i) d += "1,";
         return d + "]}";
       }(), 0, no_change},
      {"keys are case-sensitive", "{\"Host\":\"x\",\"host \":\"y\"}", 0, no_change},
      {"escaped key matches nothing", "{\"ho\\u0073t\":\"x\"}", 0, no_change},
      {"unknown key's object is skipped whole", "{\"opts\":{\"host\":\"x\"},\"user\":\"u\"}", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); }},
      {"scalar key takes an object's raw text and its inside is walked",
       "{\"host\":{\"user\":\"u\"}}", 0,
       [](mdump_config &c) { strcpy(c.host, "{\"user\":\"u\"}"); strcpy(c.user, "u"); }},
      {"raw control bytes inside a string", "{\"password\":\"a\tb\x01\"}", 0,
       [](mdump_config &c) { strcpy(c.password, "a\tb\x01"); }},
      {"UTF-8 inside a string", "{\"database\":\"caf\xC3\xA9\"}", 0,
       [](mdump_config &c) { strcpy(c.database, "caf\xC3\xA9"); }},
  });
}

TEST(ParseConfig, NumbersAndSwitches) {
  run_cases({
      {"port as a string", "{\"port\":\"3307\"}", 0, [](mdump_config &c) { c.port = 3307; }},
      {"port abc", "{\"port\":\"abc\"}", 0, [](mdump_config &c) { c.port = 0; }},
      {"port true", "{\"port\":true}", 0, [](mdump_config &c) { c.port = 0; }},
      {"port of 32 digits", "{\"port\":" + repeat('9', 32) + "}", 0, no_change},
      {"port of 31 digits saturates", "{\"port\":" + repeat('9', 31) + "}", 0,
       [](mdump_config &c) { c.port = INT_MAX; }},
      {"negative port saturates", "{\"port\":-99999999999}", 0,
       [](mdump_config &c) { c.port = INT_MIN; }},
      {"port just past int range", "{\"port\":2147483648}", 0, [](mdump_config &c) { c.port = INT_MAX; }},
      {"port with sign and space", "{\"port\":\" +12x\"}", 0, [](mdump_config &c) { c.port = 12; }},
      {"rows 0", "{\"rows_per_insert\":0}", 0, [](mdump_config &c) { c.rows_per_insert = 1; }},
      {"rows 5000", "{\"rows_per_insert\":5000}", 0, [](mdump_config &c) { c.rows_per_insert = 1000; }},
      {"rows x", "{\"rows_per_insert\":\"x\"}", 0, [](mdump_config &c) { c.rows_per_insert = 1; }},
      {"rows of 40 bytes", "{\"rows_per_insert\":" + repeat('1', 40) + "}", 0, no_change},
      {"rows huge saturates then clamps", "{\"rows_per_insert\":99999999999}", 0,
       [](mdump_config &c) { c.rows_per_insert = 1000; }},
      {"rows very negative", "{\"rows_per_insert\":-99999999999}", 0,
       [](mdump_config &c) { c.rows_per_insert = 1; }},
      {"schema false", "{\"include_schema\":false}", 0, [](mdump_config &c) { c.include_schema = 0; }},
      {"schema string false", "{\"include_schema\":\"false\"}", 0,
       [](mdump_config &c) { c.include_schema = 0; }},
      {"schema FALSE, 0 or null keep 1",
       "{\"include_schema\":\"FALSE\",\"include_data\":0,\"include_schema\":null}", 0, no_change},
      {"data false", "{\"include_data\":false}", 0, [](mdump_config &c) { c.include_data = 0; }},
      {"drop true", "{\"include_drop\":true}", 0, [](mdump_config &c) { c.include_drop = 1; }},
      {"drop string true", "{\"include_drop\":\"true\"}", 0, [](mdump_config &c) { c.include_drop = 1; }},
      {"drop 1 is not true", "{\"include_drop\":1}", 0, no_change},
  });
}

TEST(ParseConfig, LongValuesAreCutByBytesRead) {
  std::string backslash_at_127 = repeat('u', 126) + "\\n" + "zz";
  run_cases({
      {"host of 300 bytes", "{\"host\":\"" + repeat('h', 300) + "\"}", 0,
       [](mdump_config &c) { strcpy(c.host, repeat('h', 255).c_str()); }},
      {"user of 200 bytes", "{\"user\":\"" + repeat('u', 200) + "\"}", 0,
       [](mdump_config &c) { strcpy(c.user, repeat('u', 127).c_str()); }},
      {"out_path of 2000 bytes", "{\"out_path\":\"" + repeat('p', 2000) + "\"}", 0,
       [](mdump_config &c) { strcpy(c.out_path, repeat('p', 1023).c_str()); }},
      {"127th raw byte a backslash", "{\"user\":\"" + backslash_at_127 + "\"}", 0,
       [](mdump_config &c) { strcpy(c.user, (repeat('u', 126) + "\\").c_str()); }},
      {"escapes count as raw bytes read", "{\"user\":\"" + repeat('u', 120) + "\\t\\t\\txy\"}", 0,
       [](mdump_config &c) { strcpy(c.user, (repeat('u', 120) + "\t\t\tx").c_str()); }},
      {"unicode escape cut by the limit is dropped",
       "{\"user\":\"" + repeat('u', 124) + "\\u00e9\"}", 0,
       [](mdump_config &c) { strcpy(c.user, repeat('u', 124).c_str()); }},
      {"surrogate pair cut in its second half is dropped",
       "{\"user\":\"" + repeat('u', 116) + "\\ud83d\\ude00\"}", 0,
       [](mdump_config &c) { strcpy(c.user, repeat('u', 116).c_str()); }},
  });
}

TEST(ParseConfig, EscapesDecodeAsJsonDefinesThem) {
  run_cases({
      {"simple escapes", R"({"host":"a\tb\nc\rd\"e\\f\/g\bh\fi"})", 0,
       [](mdump_config &c) { strcpy(c.host, "a\tb\nc\rd\"e\\f/g\bh\fi"); }},
      {"two-byte UTF-8", R"({"password":"p\u00e9"})", 0,
       [](mdump_config &c) { strcpy(c.password, "p\xC3\xA9"); }},
      {"upper-case hex", R"({"password":"\u00C9"})", 0,
       [](mdump_config &c) { strcpy(c.password, "\xC3\x89"); }},
      {"ASCII by escape", R"({"host":"\u0041"})", 0, [](mdump_config &c) { strcpy(c.host, "A"); }},
      {"three-byte UTF-8", R"({"database":"\u20ac"})", 0,
       [](mdump_config &c) { strcpy(c.database, "\xE2\x82\xAC"); }},
      {"surrogate pair to four bytes", R"({"out_path":"\ud83d\ude00.sql"})", 0,
       [](mdump_config &c) { strcpy(c.out_path, "\xF0\x9F\x98\x80.sql"); }},
      {"lone high surrogate", R"({"user":"a\ud83db"})", 0,
       [](mdump_config &c) { strcpy(c.user, "a\xEF\xBF\xBD" "b"); }},
      {"lone low surrogate", R"({"user":"\ude00"})", 0,
       [](mdump_config &c) { strcpy(c.user, "\xEF\xBF\xBD"); }},
      {"high surrogate then a non-surrogate escape", R"({"user":"\ud83d\u0041"})", 0,
       [](mdump_config &c) { strcpy(c.user, "\xEF\xBF\xBD" "A"); }},
      {"escapes in a primitive decode the old way", R"({"host":a\qb\u12})", 0,
       [](mdump_config &c) { strcpy(c.host, "aqbu12"); }},
  });
}

TEST(ParseConfig, Tables) {
  run_cases({
      {"strings only, nested lists skipped", R"({"tables":["a",1,["b"],{"x":"y"},"c"]})", 0,
       [](mdump_config &c) { c.table_count = 2; strcpy(c.tables[0], "a"); strcpy(c.tables[1], "c"); }},
      {"a string is not a list", R"({"tables":"a"})", 0, no_change},
      {"empty list, then a key", R"({"tables":[],"user":"u"})", 0,
       [](mdump_config &c) { strcpy(c.user, "u"); }},
      {"two lists accumulate", R"({"tables":["a","b"],"user":"u","tables":["c","d"]})", 0,
       [](mdump_config &c) {
         strcpy(c.user, "u"); c.table_count = 4;
         for (int i = 0; i < 4; ++i) c.tables[i][0] = static_cast<char>('a' + i);
       }},
      {"escaped name", R"({"tables":["we\"ird\u00e9"]})", 0,
       [](mdump_config &c) { c.table_count = 1; strcpy(c.tables[0], "we\"ird\xC3\xA9"); }},
      {"64 escaped three-byte characters fit whole",
       "{\"tables\":[\"" + [] {
         std::string e;
         for (int i = 0; i < 64; ++i) e += "\\u4e2d";
         return e;
       }() + "\"]}", 0,
       [](mdump_config &c) {
         c.table_count = 1;
         std::string name;
         for (int i = 0; i < 64; ++i) name += "\xE4\xB8\xAD";
         strcpy(c.tables[0], name.c_str());
       }},
      {"an overlong name is cut at 384 raw bytes", "{\"tables\":[\"" + repeat('t', 500) + "\"]}", 0,
       [](mdump_config &c) { c.table_count = 1; strcpy(c.tables[0], repeat('t', 384).c_str()); }},
      {"exactly 512 names", "{\"tables\":" + table_list(512) + "}", 0,
       [](mdump_config &c) {
         c.table_count = 512;
         for (int i = 0; i < 512; ++i) strcpy(c.tables[i], ("t" + std::to_string(i)).c_str());
       }},
      {"600 names keep 512 and record the rest; later keys still apply",
       "{\"tables\":" + table_list(600) + ",\"user\":\"after\"}", 0,
       [](mdump_config &c) {
         c.table_count = 512; c.tables_dropped = 88; strcpy(c.user, "after");
         for (int i = 0; i < 512; ++i) strcpy(c.tables[i], ("t" + std::to_string(i)).c_str());
       }},
  });
}

TEST(ParseConfig, EachCallStartsFromTheDefaults) {
  mdump_config c;
  ASSERT_EQ(parse_config("{\"user\":\"a\",\"tables\":[\"t\"],\"port\":1}", &c), 0);
  ASSERT_EQ(parse_config("{}", &c), 0);
  mdump_config want = defaults();
  EXPECT_EQ(first_difference(want, c), "");
}

TEST(Tokenizer, TokensCarryPositionsAndChildCounts) {
  const char *doc = "{\"k\": [1, \"s\"], \"o\": {}}";
  cfg_token t[CFG_MAX_TOKENS];
  ASSERT_EQ(cfg_tokenize(doc, static_cast<int32_t>(strlen(doc)), t), 7);
  struct { int kind, start, end, children; } want[] = {
      {CFG_TOK_OBJECT, 0, 24, 2},  // the keys k and o
      {CFG_TOK_STRING, 2, 3, 1},   {CFG_TOK_ARRAY, 6, 14, 2},  {CFG_TOK_PRIMITIVE, 7, 8, 0},
      {CFG_TOK_STRING, 11, 12, 0}, {CFG_TOK_STRING, 17, 18, 1}, {CFG_TOK_OBJECT, 21, 23, 0},
  };
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t[i].kind, want[i].kind);
    EXPECT_EQ(t[i].start, want[i].start);
    EXPECT_EQ(t[i].end, want[i].end);
    EXPECT_EQ(t[i].child_count, want[i].children);
  }
}

}  // namespace
