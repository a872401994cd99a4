// Human-readable figures and the progress display. Only formatting lives here; whether and when
// to print is the command's business.
#include "tools/host_format.h"

#include <cstdio>

namespace {

// Columns one character takes: two for the wide East Asian ranges and for emoji, else one.
size_t char_columns(unsigned cp) {
  bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
              (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
              (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
              (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x1F300;
  return wide ? 2 : 1;
}

// The character starting at s[i] (UTF-8; a stray byte counts as one character): its code point
// and the number of bytes it takes.
unsigned next_char(const std::string &s, size_t i, size_t *len) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  unsigned cp = n == 1 ? c : c & (0x7F >> n);
  size_t k = 1;
  for (; k < n && i + k < s.size(); ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) break;
    cp = cp << 6 | (d & 0x3F);
  }
  *len = k;
  return k == n ? cp : c;
}

// The longest prefix of s that is at most `cols` columns wide, never splitting a UTF-8 sequence.
std::string cut_to_width(const std::string &s, size_t cols) {
  size_t w = 0;
  for (size_t i = 0; i < s.size();) {
    size_t len;
    size_t cw = char_columns(next_char(s, i, &len));
    if (w + cw > cols) return s.substr(0, i);
    w += cw;
    i += len;
  }
  return s;
}

// A name shown in one line: control bytes would move the cursor, so they become '?'.
std::string printable(const std::string &s) {
  std::string out = s;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

}  // namespace

size_t text_columns(const std::string &s) {
  size_t w = 0;
  for (size_t i = 0; i < s.size();) {
    size_t len;
    w += char_columns(next_char(s, i, &len));
    i += len;
  }
  return w;
}

namespace {

std::string pad_left(const std::string &s, size_t width) {
  size_t w = text_columns(s);
  return w >= width ? s : std::string(width - w, ' ') + s;
}

std::string pad_right(const std::string &s, size_t width) {
  size_t w = text_columns(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

std::string tables_text(const host_progress &p) {
  if (p.tables_total <= 0 && p.state <= 1) return "connecting";
  return std::to_string(p.tables_done) + "/" + std::to_string(p.tables_total) + " tables";
}

}  // namespace

std::string human_bytes(long long bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  const char *units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double v = static_cast<double>(bytes);
  int u = -1;
  while (v >= 999.95 && u < 5) {
    v /= 1000.0;
    u++;
  }
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string grouped(long long n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

std::string human_rate(long long bytes, long long elapsed_ms) {
  if (elapsed_ms <= 0) return "-";
  double per_s = static_cast<double>(bytes) * 1000.0 / static_cast<double>(elapsed_ms);
  return human_bytes(static_cast<long long>(per_s)) + "/s";
}

std::string human_duration(long long ms) {
  char buf[32];
  if (ms < 60000) {
    snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
  } else {
    long long s = ms / 1000;
    if (s < 3600)
      snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    else
      snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  }
  return buf;
}

double progress_fraction(const host_progress &p, long long estimated_rows) {
  if (p.state == 3) return 1.0;
  double f = -1.0;
  if (p.tables_total > 0) f = static_cast<double>(p.tables_done) / static_cast<double>(p.tables_total);
  if (estimated_rows > 0) {
    double by_rows = static_cast<double>(p.rows) / static_cast<double>(estimated_rows);
    if (by_rows > f) f = by_rows;
  }
  return f > 0.99 ? 0.99 : f;
}

std::string progress_bar_line(const host_progress &p, double fraction, int width) {
  std::string figures = "  " + grouped(p.rows) + " rows  " + human_bytes(p.bytes) + "  " +
                        human_rate(p.bytes, p.elapsed_ms) + "  " + human_duration(p.elapsed_ms);
  std::string count = tables_text(p);
  std::string name = p.table.empty() ? "" : "  " + printable(p.table);
  size_t room = width > 1 ? static_cast<size_t>(width - 1) : 0;
  // The bar's length depends on the terminal's width alone, so that it keeps still while names
  // and figures change; below 90 columns it shortens to leave room for the table name.
  const size_t max_cells = 20, min_cells = 8, reserved = 69;
  size_t cells = room > reserved + min_cells ? room - reserved : min_cells;
  if (cells > max_cells) cells = max_cells;
  std::string bar;
  if (fraction >= 0) {
    // Rounded down, so that the bar is full only when the dump is done.
    size_t filled = static_cast<size_t>(fraction * static_cast<double>(cells));
    if (filled > cells) filled = cells;
    bar = "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "] ";
  }
  std::string head = bar + count;
  size_t fixed = text_columns(head) + text_columns(figures);
  if (fixed + text_columns(name) > room) {
    size_t left = fixed < room ? room - fixed : 0;
    name = left >= 6 ? cut_to_width(name, left - 3) + "..." : "";
  }
  return cut_to_width(head + name + figures, room);
}

std::string progress_plain_line(const host_progress &p) {
  std::string line = "dump: " + tables_text(p);
  if (!p.table.empty()) line += ", table " + printable(p.table);
  line += ", " + std::to_string(p.rows) + " rows, " + human_bytes(p.bytes) + ", " +
          human_rate(p.bytes, p.elapsed_ms) + ", " + human_duration(p.elapsed_ms);
  return line;
}

std::string dump_summary(const std::string &out_path, long long tables, long long rows,
                         long long bytes, long long elapsed_ms) {
  return "Dumped " + grouped(tables) + (tables == 1 ? " table, " : " tables, ") + grouped(rows) +
         (rows == 1 ? " row, " : " rows, ") + human_bytes(bytes) + " in " +
         human_duration(elapsed_ms) + " (" + human_rate(bytes, elapsed_ms) + ") to " +
         printable(out_path);
}

std::string listing_text(const std::vector<host_listing_row> &rows, bool databases) {
  const std::string name_head = databases ? "DATABASE" : "TABLE";
  const std::string rows_head = "ROWS (EST.)";
  size_t name_w = name_head.size();
  for (const host_listing_row &r : rows) {
    size_t w = text_columns(printable(r.name));
    if (w > name_w) name_w = w;
  }
  long long total_tables = 0, total_rows = 0, total_bytes = 0;
  std::string out = pad_right(name_head, name_w);
  if (databases) out += "  " + pad_left("TABLES", 6);
  out += "  " + pad_left(rows_head, 14) + "  " + pad_left("SIZE", 9) + "\n";
  for (const host_listing_row &r : rows) {
    out += pad_right(printable(r.name), name_w);
    if (databases) out += "  " + pad_left(r.tables >= 0 ? grouped(r.tables) : "-", 6);
    out += "  " + pad_left(r.rows >= 0 ? grouped(r.rows) : "-", 14);
    out += "  " + pad_left(r.bytes >= 0 ? human_bytes(r.bytes) : "-", 9) + "\n";
    if (r.tables > 0) total_tables += r.tables;
    if (r.rows > 0) total_rows += r.rows;
    if (r.bytes > 0) total_bytes += r.bytes;
  }
  if (databases) {
    out += grouped(static_cast<long long>(rows.size())) +
           (rows.size() == 1 ? " database, " : " databases, ") + grouped(total_tables) +
           (total_tables == 1 ? " table, " : " tables, ");
  } else {
    out += grouped(static_cast<long long>(rows.size())) + (rows.size() == 1 ? " table, " : " tables, ");
  }
  out += "about " + grouped(total_rows) + " rows, " + human_bytes(total_bytes) + "\n";
  return out;
}
