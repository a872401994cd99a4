// Dumps loaded back with the real mariadb client into a fresh database and compared with their
// source object by object: every column type with its extreme values, views that select from
// views and tables listed after them, generated and invisible columns, awkward table names, rows
// of several MiB and more tables than any fixed-size list holds. The restoring session's time
// zone and sql_mode, and a source server whose global settings quote with double quotes and keep
// a clock with summer time, must make no difference.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "quillfen_mysqldump.h"
#include "tests/support/dump_run.h"

namespace {

using rows_t = std::vector<std::vector<std::string>>;

const char SOURCE[] = "mdump_rt_src";
const int MANY_TABLES = 600;
const size_t REPORT_LINES = 40;    // differences listed before the rest are only counted
const size_t CELLS_PER_TABLE = 6;  // differing values listed for one table

std::string utf8(unsigned cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  if (cp < 0x800)
    return {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
  return {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
          static_cast<char>(0x80 | (cp & 0x3F))};
}

// 64 three-byte characters (192 bytes), the longest name the server takes. From U+1E00 on
// because the server spells those in three bytes in its file names too; most three-byte
// characters take five there, and 64 of them pass the file system's 255-byte limit.
std::string long_name(unsigned first) {
  std::string s;
  for (unsigned cp = first; cp < first + 64; ++cp) s += utf8(cp);
  return s;
}

const std::string LONG_TABLE = long_name(0x1E00);
const std::string LONG_VIEW = long_name(0x1E40);

std::string bytes(int from, int to) {
  std::string s;
  for (int b = from; b <= to; ++b) s += static_cast<char>(b);
  return s;
}

std::string hex(const std::string &data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char ch : data) {
    out += digits[ch >> 4];
    out += digits[ch & 15];
  }
  return out;
}

// Values go into the fixture as hexadecimal literals, so that nothing in them depends on how
// the statement that carries them is escaped.
std::string bin(const std::string &data) { return data.empty() ? "''" : "x'" + hex(data) + "'"; }
std::string text(const std::string &data) { return "CONVERT(" + bin(data) + " USING utf8mb4)"; }

std::string backticked(const std::string &name) {
  std::string q = "`";
  for (char ch : name) q += ch == '`' ? std::string("``") : std::string(1, ch);
  return q + "`";
}

std::string qualified(const std::string &db, const std::string &name) {
  return backticked(db) + "." + backticked(name);
}

std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04X", ch);
      out += esc;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

// A value or name as a failure message shows it: control bytes and backslashes escaped, long
// values cut.
std::string shown(const std::string &v) {
  const size_t limit = 48;
  std::string out;
  for (size_t i = 0; i < v.size() && i < limit; ++i) {
    unsigned char ch = static_cast<unsigned char>(v[i]);
    if (ch < 0x20 || ch == 0x7F || ch == '\\') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02X", ch);
      out += esc;
    } else {
      out += static_cast<char>(ch);
    }
  }
  if (v.size() > limit) out += "... (" + std::to_string(v.size()) + " bytes, hex " + hex(v.substr(0, 16)) + "...)";
  return out;
}

uint64_t fnv1a(const std::string &s, uint64_t h = 1469598103934665603ull) {
  for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
  return h;
}

// The source database. Each table holds one kind of value, so that a failure names the kind.
std::vector<std::string> fixture_statements() {
  const std::string all256 = bytes(0, 255);
  const std::string controls = bytes(0, 31) + "\x7F";
  const std::string quotes = "it's \"q\" \\ \\' '' \\\\ ` ; -- /* \\N NULL \\";
  const std::string emoji = "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E \xEF\xBB\xBF \xE2\x80\xA8 \xC2\x85 e\xCC\x81";
  std::vector<std::string> s;

  s.push_back(
      "CREATE TABLE integers (id INT PRIMARY KEY, ti TINYINT, tiu TINYINT UNSIGNED, si SMALLINT,"
      " siu SMALLINT UNSIGNED, mi MEDIUMINT, miu MEDIUMINT UNSIGNED, i INT, iu INT UNSIGNED,"
      " bi BIGINT, biu BIGINT UNSIGNED, zf INT(8) UNSIGNED ZEROFILL, flag BOOLEAN, b1 BIT(1),"
      " b64 BIT(64))");
  s.push_back(
      "INSERT INTO integers VALUES"
      " (1,-128,0,-32768,0,-8388608,0,-2147483648,0,-9223372036854775808,0,0,-128,b'0',0),"
      " (2,127,255,32767,65535,8388607,16777215,2147483647,4294967295,9223372036854775807,"
      "18446744073709551615,4294967295,127,b'1',x'FFFFFFFFFFFFFFFF'),"
      " (3,0,0,0,0,0,0,0,0,0,0,0,0,b'0',x'8000000000000001'),"
      " (4,-1,1,-1,1,-1,1,-1,1,-1,1,42,1,b'1',x'0000000000000001'),"
      " (5,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL)");

  const std::string nines35(35, '9'), nines30(30, '9'), nines65(65, '9');
  const std::string tiny30 = "0." + std::string(29, '0') + "1";
  s.push_back(
      "CREATE TABLE decimals (id INT PRIMARY KEY, wide DECIMAL(65,30), whole DECIMAL(65,0),"
      " frac DECIMAL(30,30), pos DECIMAL(10,2) UNSIGNED)");
  s.push_back("INSERT INTO decimals VALUES"
              " (1," + nines35 + "." + nines30 + "," + nines65 + ",0." + nines30 + ",99999999.99),"
              " (2,-" + nines35 + "." + nines30 + ",-" + nines65 + ",-0." + nines30 + ",0),"
              " (3," + tiny30 + ",1," + tiny30 + ",0.01),"
              " (4,-" + tiny30 + ",-0,-0.0,NULL),"
              " (5,NULL,NULL,NULL,NULL)");

  // The server stores -0 as 0; the row stays for a server that keeps the sign.
  s.push_back("CREATE TABLE floats (id INT PRIMARY KEY, f FLOAT, d DOUBLE)");
  s.push_back(
      "INSERT INTO floats VALUES"
      " (1,3.4028234663852886e38,1.7976931348623157e308),"
      " (2,-3.4028234663852886e38,-1.7976931348623157e308),"
      " (3,1.1754943508222875e-38,2.2250738585072014e-308),"
      " (4,1.401298464324817e-45,4.9406564584124654e-324),"
      " (5,-0e0,-0e0),"
      " (6,16777216,1e308),"
      " (7,1.0000001192092896,0.30000000000000004),"
      " (8,0.1,0.1),"
      " (9,0,0),"
      " (10,NULL,NULL)");

  // Inserted with the session clock at UTC. Rows 4 and 5 are one hour apart and both read
  // 02:30:00.25 on a Berlin clock (the night summer time ended); row 6's DATETIME lies in the hour
  // Berlin skipped.
  s.push_back(
      "CREATE TABLE temporal (id INT PRIMARY KEY, d DATE, t TIME(6), dt DATETIME(6),"
      " ts TIMESTAMP(6) NULL DEFAULT NULL, y YEAR)");
  s.push_back(
      "INSERT INTO temporal VALUES"
      " (1,'1000-01-01','-838:59:59.999999','1000-01-01 00:00:00.000000','1970-01-01 00:00:01.000000',1901),"
      " (2,'9999-12-31','838:59:59.999999','9999-12-31 23:59:59.999999','2038-01-19 03:14:07.999999',2155),"
      " (3,'0000-00-00','00:00:00','0000-00-00 00:00:00','0000-00-00 00:00:00',0),"
      " (4,'2001-00-00','-00:00:00.000001','2001-02-00 12:00:00','2023-10-29 00:30:00.250000',2000),"
      " (5,'2023-10-29','02:30:00','2023-10-29 02:30:00.000000','2023-10-29 01:30:00.250000',1999),"
      " (6,'2024-02-29','12:34:56.789012','2024-03-31 02:30:00.500000','2024-03-31 01:00:00.000000',NULL),"
      " (7,NULL,NULL,NULL,NULL,NULL)");

  s.push_back(
      "CREATE TABLE texts (id INT PRIMARY KEY, c CHAR(60), vc VARCHAR(300), tt TINYTEXT, tx TEXT,"
      " mt MEDIUMTEXT, lt LONGTEXT, vb VARCHAR(300) COLLATE utf8mb4_bin,"
      " l1 VARCHAR(300) CHARACTER SET latin1) DEFAULT CHARSET=utf8mb4");
  auto text_row = [](int id, const std::string &v, const std::string &latin1) {
    std::string row = "INSERT INTO texts VALUES (" + std::to_string(id);
    for (int k = 0; k < 7; ++k) row += "," + text(v);
    return row + "," + latin1 + ")";
  };
  s.push_back(text_row(1, controls, "_latin1 " + bin(all256)));
  s.push_back(text_row(2, quotes, "_latin1 " + bin("it's \\ \" \xE9")));
  s.push_back(text_row(3, emoji, "NULL"));
  s.push_back(text_row(4, "", "''"));
  s.push_back(text_row(5, "  spaces around \r\n  ", "'  '"));
  s.push_back(text_row(6, "NULL", "'NULL'"));
  s.push_back("INSERT INTO texts VALUES (7,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL)");

  std::string reversed(all256.rbegin(), all256.rend());
  s.push_back(
      "CREATE TABLE binaries (id INT PRIMARY KEY, b16 BINARY(16), vb VARBINARY(300), tb TINYBLOB,"
      " bl BLOB, mb MEDIUMBLOB, lb LONGBLOB)");
  s.push_back("INSERT INTO binaries VALUES (1," + bin(bytes(0, 15)) + "," + bin(all256) + "," +
              bin(bytes(1, 255)) + "," + bin(all256) + "," + bin(reversed) + "," +
              bin(all256 + all256 + all256 + all256) + ")");
  s.push_back("INSERT INTO binaries VALUES (2,x'FF',x'00',x'1A',x'27',x'5C',x'0100')");
  s.push_back("INSERT INTO binaries VALUES (3,'','','','','','')");
  s.push_back("INSERT INTO binaries VALUES (4,NULL,NULL,NULL,NULL,NULL,NULL)");

  s.push_back(
      "CREATE TABLE enums_sets_json (id INT PRIMARY KEY,"
      " e ENUM('a','it''s','back\\\\slash','\xC3\xBC','x y'), s SET('x','y','z','\xC3\xA4'), j JSON)"
      " DEFAULT CHARSET=utf8mb4");
  const std::string json1 =
      "{\"k\":\"v\\u0000\\n\\\"\xF0\x9F\x98\x80\",\"n\":[1,2.5e-10,-0,true,null],\"deep\":{\"a\":{\"b\":[]}}}";
  s.push_back("INSERT INTO enums_sets_json VALUES"
              " (1,'a',''," + text(json1) + "),"
              " (2,'it''s','x,y,z,\xC3\xA4','\"just a string\"'),"
              " (3,'back\\\\slash','y','[]'),"
              " (4,'not a member','x,not a member','null'),"  // ENUM's error value ''
              " (5,NULL,NULL,NULL),"
              " (6,'\xC3\xBC','\xC3\xA4','12345678901234567890123'),"
              " (7,'x y',''," + text("{\"esc\":\"\\\\ \\\" \\/ \\t\",\"e\":\"\xF0\x9F\x98\x80\"}") + ")");

  s.push_back(
      "CREATE TABLE geometries (id INT PRIMARY KEY, g GEOMETRY, p POINT, ls LINESTRING, pg POLYGON,"
      " mp MULTIPOINT, mls MULTILINESTRING, mpg MULTIPOLYGON, gc GEOMETRYCOLLECTION)");
  s.push_back(
      "INSERT INTO geometries VALUES (1, ST_GeomFromText('POINT(1 2)'),"
      " ST_GeomFromText('POINT(-1.5e308 4.9406564584124654e-324)'),"
      " ST_GeomFromText('LINESTRING(0 0,1 1,2 0)'),"
      " ST_GeomFromText('POLYGON((0 0,10 0,10 10,0 10,0 0),(1 1,2 1,2 2,1 1))'),"
      " ST_GeomFromText('MULTIPOINT(1 1,2 2)'),"
      " ST_GeomFromText('MULTILINESTRING((0 0,1 1),(2 2,3 3))'),"
      " ST_GeomFromText('MULTIPOLYGON(((0 0,1 0,1 1,0 0)),((5 5,6 5,6 6,5 5)))'),"
      " ST_GeomFromText('GEOMETRYCOLLECTION(POINT(1 1),LINESTRING(0 0,1 1))'))");
  s.push_back(
      "INSERT INTO geometries VALUES (2, ST_GeomFromText('POLYGON((0 0,1 0,0 1,0 0))',4326),"
      " ST_GeomFromText('POINT(13.4 52.5)',4326), NULL, NULL, NULL, NULL, NULL,"
      " ST_GeomFromText('GEOMETRYCOLLECTION EMPTY'))");
  s.push_back("INSERT INTO geometries VALUES (3,NULL,NULL,NULL,NULL,NULL,NULL,NULL,NULL)");

  s.push_back("CREATE TABLE newer_types (id INT PRIMARY KEY, i6 INET6, u UUID, i4 INET4)");
  s.push_back(
      "INSERT INTO newer_types VALUES"
      " (1,'::','00000000-0000-0000-0000-000000000000','0.0.0.0'),"
      " (2,'ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff','ffffffff-ffff-ffff-ffff-ffffffffffff','255.255.255.255'),"
      " (3,'::ffff:1.2.3.4','6ccd780c-baba-1026-9564-5b8c656024db','127.0.0.1'),"
      " (4,NULL,NULL,NULL)");

  s.push_back(
      "CREATE TABLE generated (id INT PRIMARY KEY, a INT, b VARCHAR(20), v BIGINT AS (a * 2) VIRTUAL,"
      " st VARCHAR(40) AS (CONCAT(b, '!')) STORED, h INT INVISIBLE DEFAULT 7,"
      " hs VARCHAR(10) INVISIBLE, hv INT AS (h + 1) VIRTUAL INVISIBLE, KEY (st))");
  s.push_back(
      "INSERT INTO generated (id, a, b, h, hs) VALUES"
      " (1,10,'x',42,'hidden'), (2,NULL,NULL,NULL,NULL), (3,-5,'',DEFAULT,DEFAULT)");
  s.push_back(
      "CREATE TABLE invisible_only (id INT PRIMARY KEY, secret VARCHAR(10) INVISIBLE DEFAULT 'dflt',"
      " note VARCHAR(10))");
  s.push_back("INSERT INTO invisible_only (id, secret, note) VALUES (1,'s1','n1'), (2,NULL,'n2')");

  // Needs NO_AUTO_VALUE_ON_ZERO both here and when restored, or the 0 becomes the next number.
  s.push_back("CREATE TABLE auto_zero (id INT AUTO_INCREMENT PRIMARY KEY, note VARCHAR(10))");
  s.push_back("INSERT INTO auto_zero VALUES (0,'zero'), (1,'one'), (7,'seven')");

  s.push_back("CREATE TABLE zz_base (id INT PRIMARY KEY, label VARCHAR(20))");
  s.push_back("INSERT INTO zz_base VALUES (1,'x'), (2,'it''s'), (3,NULL)");
  // Sorts before the table it refers to.
  s.push_back(
      "CREATE TABLE fk_child (id INT PRIMARY KEY, base_id INT, FOREIGN KEY (base_id) REFERENCES zz_base (id))");
  s.push_back("INSERT INTO fk_child VALUES (1,1), (2,NULL), (3,3)");

  for (const std::string &name : {std::string("a`b"), std::string("with space"), std::string("line\nfeed"),
                                  std::string("quote'dq\"bs\\"), LONG_TABLE}) {
    s.push_back("CREATE TABLE " + backticked(name) + " (id INT PRIMARY KEY, v VARCHAR(200))");
    s.push_back("INSERT INTO " + backticked(name) + " VALUES (1," + text(name) + "), (2,NULL)");
  }

  // Rows several times the writer's 1 MiB buffer and the 1 MiB after which an INSERT is closed:
  // 5 MiB of bytes are 10 MiB of hex digits, and the text's 5 MiB escape to 8.75 MiB.
  s.push_back("CREATE TABLE big_rows (id INT PRIMARY KEY, b LONGBLOB, t LONGTEXT) DEFAULT CHARSET=utf8mb4");
  s.push_back("INSERT INTO big_rows VALUES (1,REPEAT(" + bin(all256) + ",20480),NULL)");
  s.push_back("INSERT INTO big_rows VALUES (2,REPEAT(x'27005C0A0D1A22',748983),'')");
  s.push_back("INSERT INTO big_rows VALUES (3,NULL,REPEAT(" + text("'\\\nx") + ",1310720))");
  s.push_back("INSERT INTO big_rows VALUES (4,'',NULL)");

  for (int i = 0; i < MANY_TABLES; ++i) {
    char name[16];
    snprintf(name, sizeof name, "many_%03d", i);
    s.push_back(std::string("CREATE TABLE ") + name + " (id INT) ENGINE=Aria");
    s.push_back(std::string("INSERT INTO ") + name + " VALUES (" + std::to_string(i) + ")");
  }

  // a_first_view sorts before its table; m_over_view selects from a view that sorts after it.
  s.push_back(
      "CREATE ALGORITHM=MERGE SQL SECURITY INVOKER VIEW a_first_view AS"
      " SELECT id, label FROM zz_base WHERE id > 1");
  s.push_back(
      "CREATE VIEW n_inner_view AS SELECT COUNT(*) AS n, MAX(label) AS `we``ird col` FROM zz_base");
  s.push_back("CREATE VIEW m_over_view AS SELECT n, `we``ird col` AS `odd, name` FROM n_inner_view");
  s.push_back(
      "CREATE VIEW updatable_view AS SELECT id, note FROM auto_zero WHERE id >= 0 WITH CASCADED CHECK OPTION");
  s.push_back("CREATE VIEW " + backticked(LONG_VIEW) + " AS SELECT id, v FROM `line\nfeed`");
  return s;
}

// Rows of a statement, or false with the connection's text when the statement failed.
bool fetch(my_conn *c, const std::string &sql, rows_t *rows, std::string *err) {
  c->err_msg[0] = 0;
  *rows = query_rows(c, sql);
  if (c->err_msg[0] != 0) {
    *err = shown(sql.substr(0, 120)) + ": " + c->err_msg;
    return false;
  }
  return true;
}

std::string one_value(my_conn *c, const std::string &sql) {
  rows_t rows;
  std::string err;
  if (!fetch(c, sql, &rows, &err)) return "<" + err + ">";
  return rows.empty() || rows[0].empty() ? "<no row>" : rows[0][0];
}

// Differences found by a comparison, the first REPORT_LINES of them in full.
struct report {
  std::vector<std::string> lines;
  size_t more = 0;
  void add(const std::string &line) {
    if (lines.size() < REPORT_LINES) lines.push_back(line);
    else ++more;
  }
  std::string text() const {
    std::string out;
    for (const std::string &l : lines) out += l + "\n";
    if (more > 0) out += "... and " + std::to_string(more) + " more differences\n";
    return out;
  }
};

// Every table and view of `db` with its type ("BASE TABLE" or "VIEW").
std::map<std::string, std::string> objects(my_conn *c, const std::string &db, report *r) {
  std::map<std::string, std::string> out;
  rows_t rows;
  std::string err;
  if (!fetch(c, "SELECT TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES WHERE TABLE_SCHEMA=" + text(db),
             &rows, &err)) {
    r->add(err);
    return out;
  }
  for (const auto &row : rows) out[row[0]] = row[1];
  return out;
}

// The rows of a table or view in both databases, read as text and sorted, compared value by
// value; returns how many differences it found. FLOAT columns are read widened to DOUBLE: their
// own text has six digits and would hide a changed value.
size_t compare_rows(my_conn *c, const std::string &src, const std::string &dst, const std::string &name,
                    const std::string &label, report *r) {
  rows_t cols;
  std::string err;
  if (!fetch(c, "SELECT COLUMN_NAME, DATA_TYPE FROM information_schema.COLUMNS WHERE TABLE_SCHEMA=" +
                    text(src) + " AND TABLE_NAME=" + text(name) + " ORDER BY ORDINAL_POSITION",
             &cols, &err)) {
    r->add(label + ": " + err);
    return 1;
  }
  std::string list;
  for (const auto &col : cols) {
    if (!list.empty()) list += ",";
    list += col[1] == "float" ? "CAST(" + backticked(col[0]) + " AS DOUBLE)" : backticked(col[0]);
  }
  rows_t want, got;
  if (!fetch(c, "SELECT " + list + " FROM " + qualified(src, name), &want, &err) ||
      !fetch(c, "SELECT " + list + " FROM " + qualified(dst, name), &got, &err)) {
    r->add(label + ": " + err);
    return 1;
  }
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  size_t listed = 0;
  if (want.size() != got.size())
    r->add(label + ": " + std::to_string(want.size()) + " rows in the source, " + std::to_string(got.size()) +
           " after restore");
  for (size_t i = 0; i < want.size() && i < got.size(); ++i) {
    for (size_t j = 0; j < cols.size() && j < want[i].size() && j < got[i].size(); ++j) {
      if (want[i][j] == got[i][j]) continue;
      if (++listed > CELLS_PER_TABLE) continue;
      r->add(label + ", row " + std::to_string(i + 1) + " (sorted), column " + backticked(cols[j][0]) + ": source " +
             shown(want[i][j]) + ", restored " + shown(got[i][j]));
    }
  }
  if (listed > CELLS_PER_TABLE)
    r->add(label + ": " + std::to_string(listed - CELLS_PER_TABLE) + " more differing values");
  return listed + (want.size() != got.size() ? 1 : 0);
}

void compare_table(my_conn *c, const std::string &src, const std::string &dst, const std::string &name,
                   report *r) {
  const std::string label = "table " + backticked(shown(name));
  rows_t a, b;
  std::string err;
  if (!fetch(c, "SHOW CREATE TABLE " + qualified(src, name), &a, &err) ||
      !fetch(c, "SHOW CREATE TABLE " + qualified(dst, name), &b, &err) || a.empty() || b.empty()) {
    r->add(label + ": SHOW CREATE TABLE failed: " + err);
    return;
  }
  if (a[0][1] != b[0][1]) r->add(label + ": CREATE differs:\n  source:   " + a[0][1] + "\n  restored: " + b[0][1]);
  rows_t sa, sb, ca, cb;
  if (!fetch(c, "CHECKSUM TABLE " + qualified(src, name), &sa, &err) ||
      !fetch(c, "CHECKSUM TABLE " + qualified(dst, name), &sb, &err) ||
      !fetch(c, "SELECT COUNT(*) FROM " + qualified(src, name), &ca, &err) ||
      !fetch(c, "SELECT COUNT(*) FROM " + qualified(dst, name), &cb, &err) || sa.empty() || sb.empty() ||
      ca.empty() || cb.empty()) {
    r->add(label + ": " + err);
    return;
  }
  if (sa[0][1] != sb[0][1] || ca[0][0] != cb[0][0]) {
    r->add(label + ": checksum " + sa[0][1] + ", " + ca[0][0] + " rows in the source; checksum " + sb[0][1] +
           ", " + cb[0][0] + " rows after restore");
    if (compare_rows(c, src, dst, name, label, r) == 0)
      r->add(label + ": the checksum differs though every value reads back the same as text");
  }
}

// A view's definition as the server shows it inside its own database (then it names the tables
// it selects from without a database), and its rows.
void compare_view(my_conn *c, const std::string &src, const std::string &dst, const std::string &name,
                  report *r) {
  const std::string label = "view " + backticked(shown(name));
  rows_t a, b;
  std::string err;
  for (const auto &[db, rows] : {std::make_pair(src, &a), std::make_pair(dst, &b)}) {
    if (exec_sql(c, "USE " + backticked(db)) < 0) err = c->err_msg;
    if (err.empty() && fetch(c, "SHOW CREATE VIEW " + backticked(name), rows, &err) && rows->empty()) err = "no row";
    if (!err.empty()) {
      r->add(label + ": SHOW CREATE VIEW in " + db + " failed: " + err);
      return;
    }
  }
  if (a[0] != b[0])
    r->add(label + ": definition differs:\n  source:   " + a[0][1] + " (" + a[0][2] + ", " + a[0][3] +
           ")\n  restored: " + b[0][1] + " (" + b[0][2] + ", " + b[0][3] + ")");
  compare_rows(c, src, dst, name, label, r);
}

// What restoring into `dst` lost or changed against `src`, one line per difference; "" when
// nothing. `only`: the objects the dump was asked for (all of `src` when null).
std::string differences(my_conn *c, const std::string &src, const std::string &dst,
                        const std::set<std::string> *only = nullptr) {
  report r;
  std::map<std::string, std::string> want = objects(c, src, &r), got = objects(c, dst, &r);
  if (only != nullptr)
    for (auto it = want.begin(); it != want.end();) it = only->count(it->first) ? std::next(it) : want.erase(it);
  if (want.empty()) r.add("the source " + std::string(src) + " has no objects to compare");
  for (const auto &[name, type] : want) {
    auto it = got.find(name);
    if (it == got.end()) {
      r.add(backticked(shown(name)) + " (" + type + "): missing after restore");
    } else if (it->second != type) {
      r.add(backticked(shown(name)) + ": a " + type + " in the source, a " + it->second + " after restore");
    } else if (type == "VIEW") {
      compare_view(c, src, dst, name, &r);
    } else {
      compare_table(c, src, dst, name, &r);
    }
  }
  for (const auto &[name, type] : got)
    if (want.count(name) == 0) r.add(backticked(shown(name)) + " (" + type + "): restored but not in the source");
  return r.text();
}

// Builds the source database unless the server holds one built from these very statements
// (their hash is its comment). Test processes run side by side; a server lock makes one build it
// while the others wait.
std::string build_fixture(my_conn *c, const test_server &srv) {
  for (const char *sql : {"SET NAMES utf8mb4", "SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO'", "SET time_zone='+00:00'"})
    if (exec_sql(c, sql) < 0) return std::string(sql) + ": " + c->err_msg;
  if (one_value(c, "SELECT GET_LOCK('mdump_rt_fixture', 600)") != "1") return "GET_LOCK failed";
  std::string err;
  std::vector<std::string> statements = fixture_statements();
  uint64_t h = fnv1a("v1");
  for (const std::string &st : statements) h = fnv1a(st + ";", h);
  char marker[40];
  snprintf(marker, sizeof marker, "fixture %016llx", static_cast<unsigned long long>(h));
  if (one_value(c, "SELECT SCHEMA_COMMENT FROM information_schema.SCHEMATA WHERE SCHEMA_NAME='" +
                       std::string(SOURCE) + "'") != marker) {
    std::vector<std::string> setup = {"DROP DATABASE IF EXISTS `" + std::string(SOURCE) + "`",
                                      "CREATE DATABASE `" + std::string(SOURCE) + "` CHARACTER SET utf8mb4",
                                      "USE `" + std::string(SOURCE) + "`"};
    setup.insert(setup.end(), statements.begin(), statements.end());
    setup.push_back("ALTER DATABASE `" + std::string(SOURCE) + "` COMMENT '" + marker + "'");
    for (const std::string &st : setup) {
      if (exec_sql(c, st) < 0) {
        err = "building " + std::string(SOURCE) + ": " + shown(st.substr(0, 200)) + ": " + c->err_msg;
        break;
      }
    }
  }
  // Named time zones need the server's zone tables, which a fresh test server lacks; the one
  // zone the tests use is loaded with the tool that comes with the client.
  if (err.empty() && one_value(c, "SELECT COUNT(*) FROM mysql.time_zone_name WHERE Name='Europe/Berlin'") == "0") {
    std::string tz_dir = temp_dir(), path = tz_dir + "/berlin.sql";
    std::string cmd = "mariadb-tzinfo-to-sql /usr/share/zoneinfo/Europe/Berlin Europe/Berlin > '" + path + "'";
    std::string out = system(cmd.c_str()) == 0 ? load_with_client(srv, "mysql", path) : "mariadb-tzinfo-to-sql failed";
    std::error_code ignored;
    std::filesystem::remove_all(tz_dir, ignored);
    if (one_value(c, "SELECT COUNT(*) FROM mysql.time_zone_name WHERE Name='Europe/Berlin'") != "1")
      err = "loading the time zone Europe/Berlin: " + out;
  }
  one_value(c, "SELECT RELEASE_LOCK('mdump_rt_fixture')");
  return err;
}

class Restore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test_server s{};
    if (!test_server_from_env(&s)) return;  // each test skips (or fails under CI) in SetUp
    my_conn c{};
    if (my_connect(&c, s.host, s.port, s.user, s.password, nullptr) != 0) {
      setup_error = std::string("connect: ") + c.err_msg;
      return;
    }
    setup_error = build_fixture(&c, s);
    my_close(&c);
  }

  void SetUp() override {
    REQUIRE_TEST_SERVER(srv);
    ASSERT_EQ(setup_error, "");
    ASSERT_EQ(my_connect(&c, srv.host, srv.port, srv.user, srv.password, nullptr), 0) << c.err_msg;
    // Fixed settings, whatever the server's globals are when this connects.
    for (const char *sql : {"SET NAMES utf8mb4", "SET SESSION sql_mode=''", "SET time_zone='+00:00'"})
      ASSERT_GE(exec_sql(&c, sql), 0) << sql << ": " << c.err_msg;
    dir = temp_dir();
  }

  void TearDown() override {
    put_back_globals();
    for (const std::string &db : targets) exec_sql(&c, "DROP DATABASE IF EXISTS " + backticked(db));
    if (c.sock != NET_INVALID_SOCKET) my_close(&c);
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);  // dumps of some 30 MiB each
  }

  // A database to restore into, its name this process's own: the same tests may be running in
  // another build against the same server.
  std::string target(const std::string &name) {
    targets.push_back("mdump_rt_" + name + "_" + std::to_string(getpid()));
    return targets.back();
  }

  std::string objects_count() {
    report r;
    size_t n = objects(&c, SOURCE, &r).size();
    EXPECT_EQ(r.text(), "");
    return std::to_string(n);
  }

  // Loads a dump into `db`, fresh unless `over_existing`; the client must report nothing. With
  // --force it goes on past a failing statement, so that the comparison after it shows
  // everything the failure cost, not only its first step.
  void load(const std::string &db, const std::string &file, const std::string &options = "",
            bool over_existing = false) {
    if (!over_existing) {
      ASSERT_GE(exec_sql(&c, "DROP DATABASE IF EXISTS " + backticked(db)), 0) << c.err_msg;
      ASSERT_GE(exec_sql(&c, "CREATE DATABASE " + backticked(db)), 0) << c.err_msg;
    }
    std::string out = load_with_client(srv, db, file, "--force " + options);
    if (out.size() > 4000) out = out.substr(0, 4000) + "\n... (" + std::to_string(out.size()) + " bytes of output)";
    EXPECT_TRUE(out.empty()) << "the mariadb client, loading into " << db << ":\n" << out;
  }

  dump_outcome dump(const std::string &name, const std::string &extra) {
    std::string path = dir + "/" + name + ".sql";
    return run_dump(dump_config(srv, SOURCE, path, extra), path);
  }

  void expect_equal(const std::string &db, const std::set<std::string> *only = nullptr) {
    std::string diff = differences(&c, SOURCE, db, only);
    EXPECT_TRUE(diff.empty()) << "restored into " << db << ":\n" << diff;
  }

  // Takes the server lock that keeps two test processes from changing the globals at once (the
  // second would save the first one's changes as the values to put back).
  bool lock_globals() {
    globals_locked = one_value(&c, "SELECT GET_LOCK('mdump_rt_globals', 300)") == "1";
    return globals_locked;
  }

  void put_back_globals() {
    if (!saved_globals.empty()) {
      EXPECT_GE(exec_sql(&c, "SET GLOBAL sql_mode='" + saved_globals[0] + "', GLOBAL time_zone='" +
                                 saved_globals[1] + "'"),
                0)
          << c.err_msg;
      saved_globals.clear();
    }
    if (globals_locked) one_value(&c, "SELECT RELEASE_LOCK('mdump_rt_globals')");
    globals_locked = false;
  }

  static inline std::string setup_error;
  test_server srv{};
  my_conn c{};
  std::string dir;
  std::vector<std::string> targets;
  std::vector<std::string> saved_globals;  // sql_mode and time_zone while a test has changed them
  bool globals_locked = false;
};

TEST_F(Restore, TheWholeDatabaseComesBackEqual) {
  std::string n = objects_count();
  dump_outcome out = dump("whole", ",\"include_drop\":true,\"rows_per_insert\":1000");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_NE(out.progress.find("\"tables_done\":" + n + ",\"tables_total\":" + n), std::string::npos)
      << out.progress;
  std::string path = dir + "/whole.sql", db = target("whole");
  load(db, path);
  expect_equal(db);
  // Loaded again over what it made: each DROP must clear the way for its CREATE.
  load(db, path, "", true);
  expect_equal(db);
}

TEST_F(Restore, RestoringSessionSettingsMakeNoDifference) {
  // Every object but the many small tables, configured in reverse name order, so that views come
  // before the tables and views they select from.
  report r;
  std::map<std::string, std::string> all = objects(&c, SOURCE, &r);
  ASSERT_EQ(r.text(), "");
  std::set<std::string> names;
  std::string list;
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (it->first.rfind("many_", 0) == 0) continue;
    names.insert(it->first);
    list += (list.empty() ? "" : ",") + json_string(it->first);
  }
  dump_outcome out = dump("listed", ",\"tables\":[" + list + "]");
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  std::string n = std::to_string(names.size());
  EXPECT_NE(out.progress.find("\"tables_done\":" + n + ",\"tables_total\":" + n), std::string::npos)
      << out.progress;
  struct {
    const char *name;
    std::string options;
  } cases[] = {
      {"a session clock five hours east", "--init-command=\"SET time_zone='+05:00'\""},
      {"a session clock in Berlin", "--init-command=\"SET time_zone='Europe/Berlin'\""},
      {"NO_BACKSLASH_ESCAPES", "--init-command=\"SET sql_mode='NO_BACKSLASH_ESCAPES'\""},
      {"ANSI_QUOTES, strict modes and padded CHARs",
       "--init-command=\"SET sql_mode='ANSI_QUOTES,STRICT_ALL_TABLES,NO_ZERO_DATE,NO_ZERO_IN_DATE,"
       "ERROR_FOR_DIVISION_BY_ZERO,PAD_CHAR_TO_FULL_LENGTH'\""},
      {"a latin1 client", "--default-character-set=latin1"},
  };
  std::string db = target("session");
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.name);
    load(db, dir + "/listed.sql", tc.options);
    expect_equal(db, &names);
  }
}

// A server configured with ANSI_QUOTES and a Berlin clock looks like this to every new session.
// The globals are shared with every other test process using the server at the time, so they are
// changed only around the dump and put back at once (and in TearDown should the test stop early).
TEST_F(Restore, ASourceServerWithAnsiQuotesAndABerlinClock) {
  ASSERT_TRUE(lock_globals()) << c.err_msg;
  rows_t saved = query_rows(&c, "SELECT @@GLOBAL.sql_mode, @@GLOBAL.time_zone");
  ASSERT_EQ(saved.size(), 1u) << c.err_msg;
  std::string n = objects_count();
  saved_globals = saved[0];
  ASSERT_GE(exec_sql(&c, "SET GLOBAL sql_mode=CONCAT(@@GLOBAL.sql_mode, ',ANSI_QUOTES'),"
                         " GLOBAL time_zone='Europe/Berlin'"),
            0)
      << c.err_msg;
  my_conn fresh{};
  ASSERT_EQ(my_connect(&fresh, srv.host, srv.port, srv.user, srv.password, nullptr), 0) << fresh.err_msg;
  rows_t seen = query_rows(&fresh, "SELECT @@sql_mode LIKE '%ANSI_QUOTES%', @@time_zone,"
                                   " COUNT(DISTINCT CAST(ts AS CHAR)) FROM `mdump_rt_src`.temporal WHERE id IN (4,5)");
  my_close(&fresh);
  dump_outcome out = dump("ansi", "");
  put_back_globals();
  // A new session sees both settings, and on its clock two rows read the same.
  ASSERT_EQ(seen, (rows_t{{"1", "Europe/Berlin", "1"}}));
  ASSERT_EQ(out.state, MDUMP_ST_DONE) << out.result;
  EXPECT_NE(out.progress.find("\"tables_done\":" + n + ",\"tables_total\":" + n), std::string::npos)
      << out.progress;
  std::string db = target("ansi");
  load(db, dir + "/ansi.sql");
  expect_equal(db);
}

}  // namespace
