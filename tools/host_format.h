// What the host shows people: sizes and rates in human units, the live progress bar, the plain
// progress lines, the closing summary and the database and table listings.
#ifndef QUILLFEN_HOST_FORMAT_H
#define QUILLFEN_HOST_FORMAT_H

#include <cstddef>
#include <string>
#include <vector>

// One progress answer of the library, as read by the host.
struct host_progress {
  int state = 0;
  std::string table;
  long long tables_done = 0;
  long long tables_total = 0;
  long long rows = 0;
  long long bytes = 0;
  long long elapsed_ms = 0;
};

// One row of a listing: a table, or a database with the sums over its tables.
struct host_listing_row {
  std::string name;
  long long tables = -1;  // databases only; -1 when its tables could not be listed
  long long rows = -1;    // -1: unknown
  long long bytes = -1;
};

// Columns a text takes on a terminal (UTF-8; East Asian wide characters and emoji count two).
size_t text_columns(const std::string &s);

// 999 B, 1.5 kB, 23.4 MB, 1.2 GB (decimal units, one decimal from kB up).
std::string human_bytes(long long bytes);
// 1,234,567
std::string grouped(long long n);
// 12.3 MB/s, or "-" when no time has passed.
std::string human_rate(long long bytes, long long elapsed_ms);
// 0.4 s, 12.3 s, 2:05, 1:02:05
std::string human_duration(long long ms);

// The live line for a terminal `width` columns wide, never wider than width - 1 so that it
// cannot wrap. `fraction` is the bar's filling, 0 to 1, or negative when unknown.
std::string progress_bar_line(const host_progress &p, double fraction, int width);

// A self-contained line for logs and pipes.
std::string progress_plain_line(const host_progress &p);

// The one-line summary after a successful dump.
std::string dump_summary(const std::string &out_path, long long tables, long long rows,
                         long long bytes, long long elapsed_ms);

// How far a dump is, from the server's row estimate when there is one (never reaching 1 before
// the end, as the estimate may be low), else from the tables done.
double progress_fraction(const host_progress &p, long long estimated_rows);

// A listing as aligned columns with a heading and a closing total line. `databases` selects the
// database form (with a TABLES column).
std::string listing_text(const std::vector<host_listing_row> &rows, bool databases);

#endif
