// quillfen-mysqldump, the command-line host: it loads the library at run time and does everything
// through the eleven exported functions, the way any application would. It is also meant to be
// read as an example of a host: start a dump, poll its progress, read the result, free it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quillfen_mysqldump.h"
#include "tools/host_format.h"
#include "tools/host_json.h"
#include "tools/host_options.h"
#include "tools/host_platform.h"

namespace {

const char PROGRAM[] = "quillfen-mysqldump";
const char HOST_VERSION[] = "1.0.0";

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

// The end of a dump is seen within this; the display keeps its own slower pace below.
const int POLL_MS = 10;
const long long BAR_REDRAW_MS = 100;
const long long LINE_EVERY_MS = 1000;
const size_t CONFIG_FILE_MAX = 16u << 20;

long long clock_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int usage_error(const std::string &why) {
  fprintf(stderr, "%s: %s\nTry '%s --help'.\n", PROGRAM, why.c_str(), PROGRAM);
  return EXIT_USAGE;
}

int failure(const std::string &why) {
  fprintf(stderr, "%s: %s\n", PROGRAM, why.c_str());
  return EXIT_FAILED;
}

bool read_whole_file(const std::string &path, std::string *out, std::string *error) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = "cannot read --config file '" + path + "'";
    return false;
  }
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    out->append(buf, n);
    if (out->size() > CONFIG_FILE_MAX) {
      fclose(f);
      *error = "--config file '" + path + "' is larger than 16 MiB";
      return false;
    }
  }
  bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) *error = "cannot read --config file '" + path + "'";
  return !failed;
}

// An answer of the library, parsed. `ok` is the answer's "ok" member (false when it has none).
struct answer {
  std::string text;
  hj_doc doc;
  bool parsed = false;
  bool ok = false;
  std::string error;
};

void read_answer(const char *text, answer *a) {
  a->text = text != nullptr ? text : "";
  a->parsed = hj_parse(a->text.c_str(), a->text.size(), &a->doc);
  a->ok = false;
  a->error.clear();
  if (!a->parsed) return;
  hj_get_bool(&a->doc, 0, "ok", &a->ok);
  hj_get_string(&a->doc, 0, "error", &a->error);
}

// The failure an answer reports, or why it could not be understood.
int answer_failure(const answer &a) {
  if (!a.parsed)
    return failure("the library's answer could not be read (" + std::string(a.doc.error) + "): " + a.text);
  if (a.error.empty()) return failure("the library answered without ok or error: " + a.text);
  return failure(a.error);
}

void print_json(const answer &a) { printf("%s\n", a.text.c_str()); }

int run_ping(const mdump_api *api, const std::string &config, const host_options *opts) {
  answer a;
  read_answer(api->test_connection(config.c_str()), &a);
  if (opts->json) print_json(a);
  if (!a.ok) return answer_failure(a);
  std::string version;
  hj_get_string(&a.doc, 0, "server_version", &version);
  // MariaDB puts "5.5.5-" before its version for the sake of old replication clients.
  if (version.compare(0, 6, "5.5.5-") == 0 && version.size() > 6) version.erase(0, 6);
  if (!opts->json && !opts->quiet) printf("Connected: server version %s\n", version.c_str());
  return EXIT_OK;
}

// The answer's list member, checked to be an array; -1 otherwise.
int answer_list(const answer &a, const char *member) {
  int list = hj_get(&a.doc, 0, member);
  return list >= 0 && a.doc.nodes[list].type == HJ_ARRAY ? list : -1;
}

// Rows and size of one database's tables, summed into `row`; false when they could not be listed.
bool sum_tables(const mdump_api *api, const std::string &config, host_listing_row *row) {
  answer a;
  read_answer(api->list_tables(config.c_str()), &a);
  int list = a.ok ? answer_list(a, "tables") : -1;
  if (list < 0) return false;
  row->tables = row->rows = row->bytes = 0;
  for (int t = a.doc.nodes[list].first; t >= 0; t = a.doc.nodes[t].next) {
    long long rows = 0, bytes = 0;
    hj_get_int(&a.doc, t, "rows", &rows);
    hj_get_int(&a.doc, t, "data_bytes", &bytes);
    row->tables++;
    row->rows += rows;
    row->bytes += bytes;
  }
  return true;
}

int run_databases(const mdump_api *api, const std::string &config, const host_options *opts,
                  const std::string &default_user) {
  answer a;
  read_answer(api->list_databases(config.c_str()), &a);
  if (opts->json) print_json(a);
  if (!a.ok) return answer_failure(a);
  int list = answer_list(a, "databases");
  if (list < 0) return failure("the library's answer has no database list: " + a.text);
  if (opts->json) return EXIT_OK;
  std::vector<host_listing_row> rows;
  for (int d = a.doc.nodes[list].first; d >= 0; d = a.doc.nodes[d].next) {
    host_listing_row row;
    if (!hj_string(&a.doc, d, &row.name)) continue;
    // The per-database figures need a configuration naming the database; a --config document
    // is used as it is, so with one the names stand alone.
    if (opts->config_path.empty()) {
      host_options per_db = *opts;
      per_db.database = row.name;
      sum_tables(api, build_config(&per_db, default_user), &row);
    }
    rows.push_back(row);
  }
  fputs(listing_text(rows, true).c_str(), stdout);
  return EXIT_OK;
}

int run_tables(const mdump_api *api, const std::string &config, const host_options *opts) {
  answer a;
  read_answer(api->list_tables(config.c_str()), &a);
  if (opts->json) print_json(a);
  if (!a.ok) return answer_failure(a);
  int list = answer_list(a, "tables");
  if (list < 0) return failure("the library's answer has no table list: " + a.text);
  if (opts->json) return EXIT_OK;
  std::vector<host_listing_row> rows;
  for (int t = a.doc.nodes[list].first; t >= 0; t = a.doc.nodes[t].next) {
    host_listing_row row;
    if (!hj_get_string(&a.doc, t, "name", &row.name)) continue;
    hj_get_int(&a.doc, t, "rows", &row.rows);
    hj_get_int(&a.doc, t, "data_bytes", &row.bytes);
    rows.push_back(row);
  }
  fputs(listing_text(rows, false).c_str(), stdout);
  return EXIT_OK;
}

// The server's row estimate for the tables the dump will visit, for the progress bar; 0 when it
// cannot be had. `only` empty means every table.
long long estimate_rows(const mdump_api *api, const std::string &config,
                        const std::vector<std::string> &only) {
  answer a;
  read_answer(api->list_tables(config.c_str()), &a);
  int list = a.ok ? answer_list(a, "tables") : -1;
  if (list < 0) return 0;
  long long total = 0;
  for (int t = a.doc.nodes[list].first; t >= 0; t = a.doc.nodes[t].next) {
    std::string name;
    long long rows = 0;
    if (!hj_get_string(&a.doc, t, "name", &name) || !hj_get_int(&a.doc, t, "rows", &rows)) continue;
    bool wanted = only.empty();
    for (const std::string &o : only) wanted = wanted || o == name;
    if (wanted) total += rows;
  }
  return total;
}

// The "tables" list of a --config document, when the host can read it.
std::vector<std::string> config_tables(const std::string &config) {
  std::vector<std::string> out;
  hj_doc doc;
  if (!hj_parse(config.c_str(), config.size(), &doc)) return out;
  int list = hj_get(&doc, 0, "tables");
  if (list < 0 || doc.nodes[list].type != HJ_ARRAY) return out;
  std::string name;
  for (int t = doc.nodes[list].first; t >= 0; t = doc.nodes[t].next)
    if (hj_string(&doc, t, &name)) out.push_back(name);
  return out;
}

bool read_progress(const char *text, host_progress *p) {
  answer a;
  read_answer(text, &a);
  if (!a.parsed) return false;
  long long state = 0;
  hj_get_int(&a.doc, 0, "state", &state);
  p->state = static_cast<int>(state);
  hj_get_string(&a.doc, 0, "table", &p->table);
  hj_get_int(&a.doc, 0, "tables_done", &p->tables_done);
  hj_get_int(&a.doc, 0, "tables_total", &p->tables_total);
  hj_get_int(&a.doc, 0, "rows_written", &p->rows);
  hj_get_int(&a.doc, 0, "bytes_written", &p->bytes);
  hj_get_int(&a.doc, 0, "elapsed_ms", &p->elapsed_ms);
  return true;
}

bool is_final(int state) {
  return state == MDUMP_ST_DONE || state == MDUMP_ST_CANCELLED || state == MDUMP_ST_ERROR;
}

enum progress_mode { SHOW_NOTHING, SHOW_BAR, SHOW_LINES, SHOW_JSON };

// The live bar redraws one terminal line in place: a carriage return, the new text, and spaces
// over whatever the previous text left (no escape sequences, so any console shows it).
struct bar_state {
  size_t last_columns = 0;
  bool drawn = false;
};

void draw_bar(bar_state *bar, const std::string &line) {
  std::string out = "\r" + line;
  size_t columns = text_columns(line);
  if (columns < bar->last_columns) out += std::string(bar->last_columns - columns, ' ');
  fputs(out.c_str(), stderr);
  fflush(stderr);
  bar->last_columns = columns;
  bar->drawn = true;
}

int run_dump(const mdump_api *api, const std::string &config, const host_options *opts) {
  progress_mode mode = SHOW_NOTHING;
  if (!opts->quiet) {
    if (opts->json) mode = SHOW_JSON;
    else mode = host_is_terminal(stderr) ? SHOW_BAR : SHOW_LINES;
  }
  std::string out_path = opts->config_path.empty()
                             ? (opts->output.empty() ? default_output(opts->database) : opts->output)
                             : std::string();
  long long estimate = 0;
  if (mode == SHOW_BAR)
    estimate = estimate_rows(api, config, opts->config_path.empty() ? opts->tables : config_tables(config));

  // Caught before the start, so that no Ctrl-C can fall between the start and the loop.
  host_catch_interrupts();
  int session = api->start(config.c_str());
  if (session < 0) return failure(api->last_error());

  bar_state bar;
  long long started = clock_ms();
  long long last_shown = -1;
  host_progress p;
  int state = MDUMP_ST_CONNECTING;
  for (;;) {
    if (host_interrupted() != 0) {
      api->cancel(session);
      api->free_session(session);  // waits for the dump thread to stop
      if (bar.drawn) fputc('\n', stderr);
      int sig = host_interrupted();
      fprintf(stderr, "%s: interrupted: the dump was cancelled; %s is incomplete\n", PROGRAM,
              out_path.empty() ? "the dump file" : out_path.c_str());
      return 128 + sig;
    }
    state = api->status(session);
    std::string progress_text = api->progress(session);
    read_progress(progress_text.c_str(), &p);
    bool final = is_final(state);
    // Paced by the host's own clock: the library's elapsed_ms stands still between its refreshes.
    long long now = clock_ms();
    if (mode == SHOW_BAR && (final || last_shown < 0 || now - last_shown >= BAR_REDRAW_MS)) {
      draw_bar(&bar, progress_bar_line(p, progress_fraction(p, estimate), host_terminal_width(stderr)));
      last_shown = now;
    } else if ((mode == SHOW_LINES || mode == SHOW_JSON) && !final &&
               now - (last_shown < 0 ? started : last_shown) >= LINE_EVERY_MS) {
      fprintf(stderr, "%s\n", mode == SHOW_JSON ? progress_text.c_str() : progress_plain_line(p).c_str());
      fflush(stderr);
      last_shown = now;
    }
    if (final) break;
    host_sleep_ms(POLL_MS);
  }
  if (bar.drawn) fputc('\n', stderr);

  answer a;
  read_answer(api->result(session), &a);
  api->free_session(session);
  if (opts->json) print_json(a);
  if (!a.ok) {
    if (!a.parsed || a.error.empty()) return answer_failure(a);
    return failure("dump failed: " + a.error);
  }
  long long tables = 0, rows = 0, bytes = 0, elapsed = 0;
  std::string path;
  hj_get_string(&a.doc, 0, "out_path", &path);
  hj_get_int(&a.doc, 0, "tables", &tables);
  hj_get_int(&a.doc, 0, "rows", &rows);
  hj_get_int(&a.doc, 0, "bytes", &bytes);
  hj_get_int(&a.doc, 0, "elapsed_ms", &elapsed);
  if (!opts->json && !opts->quiet) printf("%s\n", dump_summary(path, tables, rows, bytes, elapsed).c_str());
  return EXIT_OK;
}

}  // namespace

int main(int argc, char **argv) {
  host_utf8_arguments(&argc, &argv);
  host_options opts;
  std::string error;
  if (!parse_options(argc, argv, &opts, &error)) return usage_error(error);
  if (opts.help) {
    fputs(usage_text(), stdout);
    return EXIT_OK;
  }
  if (!check_options(&opts, &error)) return usage_error(error);

  std::string config;
  if (!opts.config_path.empty() && !read_whole_file(opts.config_path, &config, &error))
    return usage_error(error);

  if (opts.version) printf("%s %s\n", PROGRAM, HOST_VERSION);
  mdump_api api;
  std::string loaded_from;
  if (!host_load_library(host_library_candidates(opts.library_path, argv[0]), &api, &loaded_from, &error))
    return failure("cannot load the quillfen-mysqldump library (use --library PATH or "
                   "QUILLFEN_MYSQLDUMP_LIBRARY):" + error);
  if (opts.version) {
    printf("library: %s (%s)\n", api.version(), loaded_from.c_str());
    return EXIT_OK;
  }

  std::string default_user = host_login_name();
  if (opts.config_path.empty()) {
    if (opts.password_prompt) {
      if (!host_read_password("Enter password: ", &opts.password, &error)) return failure(error);
    } else if (!opts.password_given) {
      const char *env = getenv("MYSQL_PWD");
      if (env != nullptr) opts.password = env;
    }
    if (!check_options(&opts, &error)) return usage_error(error);
    config = build_config(&opts, default_user);
  }

  switch (opts.command) {
    case CMD_PING: return run_ping(&api, config, &opts);
    case CMD_DATABASES: return run_databases(&api, config, &opts, default_user);
    case CMD_TABLES: return run_tables(&api, config, &opts);
    case CMD_DUMP: return run_dump(&api, config, &opts);
    case CMD_NONE: break;
  }
  return usage_error("no command given");
}
