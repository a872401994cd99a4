// Running whole dumps from tests: start one through the exported calls, wait for its end, and
// restore a dump file with the real `mariadb` client.
#ifndef MDUMP_DUMP_RUN_H
#define MDUMP_DUMP_RUN_H

#include <string>
#include <vector>

#include "mysql_client/mysql_client.h"
#include "tests/support/test_server.h"

struct dump_outcome {
  int session = -1;
  int state = -1;
  std::string result;    // mdump_result's answer at the end
  std::string progress;  // mdump_progress's answer at the end
  std::string file;      // the dump file's bytes ("" if there is none)
  bool file_exists = false;
};

// The configuration document for the test server with `extra` members appended.
std::string dump_config(const test_server &srv, const std::string &database,
                        const std::string &out_path, const std::string &extra = "");

// Starts a dump, waits (bounded) for a final state, reads result and file, frees the session.
dump_outcome run_dump(const std::string &config_json, const std::string &out_path);

std::string read_file(const std::string &path, bool *exists = nullptr);

// A fresh temporary directory for one test's files.
std::string temp_dir();

// Loads `file` into `database` (dropped and created first) with the mariadb client.
// Returns "" on success, else the client's output.
std::string restore_with_client(const test_server &srv, const std::string &database,
                                const std::string &file, const std::string &client_options = "");

// Runs `file` through the mariadb client in `database` as it stands (nothing dropped first), as
// when a dump is loaded over the objects it was made from. Returns "" when the client ended well
// and printed nothing, else its output: with --force it reports failed statements only there.
std::string load_with_client(const test_server &srv, const std::string &database,
                             const std::string &file, const std::string &client_options = "");

// Statement helpers on an open connection: exec returns my_query's result (result sets are read
// and dropped); query returns the rows as text ("<NULL>" for NULL).
int exec_sql(my_conn *c, const std::string &sql);
std::vector<std::vector<std::string>> query_rows(my_conn *c, const std::string &sql);

// CHECKSUM TABLE and row count of every base table of `database`, one line per table.
std::string table_fingerprint(my_conn *c, const std::string &database);

#endif
