#include "tests/support/dump_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "quillfen_mysqldump.h"

std::string dump_config(const test_server &srv, const std::string &database,
                        const std::string &out_path, const std::string &extra) {
  return "{\"host\":\"" + std::string(srv.host) + "\",\"port\":" + std::to_string(srv.port) +
         ",\"user\":\"" + srv.user + "\",\"password\":\"" + srv.password + "\",\"database\":\"" +
         database + "\",\"out_path\":\"" + out_path + "\"" + extra + "}";
}

std::string read_file(const std::string &path, bool *exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists != nullptr) *exists = in.good();
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

dump_outcome run_dump(const std::string &config_json, const std::string &out_path) {
  dump_outcome out;
  out.session = mdump_start(config_json.c_str());
  if (out.session < 0) {
    out.result = mdump_last_error();
    return out;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (mdump_status(out.session) < MDUMP_ST_DONE && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  out.state = mdump_status(out.session);
  out.result = mdump_result(out.session);
  out.progress = mdump_progress(out.session);
  mdump_free(out.session);
  out.file = read_file(out_path, &out.file_exists);
  return out;
}

std::string temp_dir() {
  char tmpl[] = "/tmp/mdump-test-XXXXXX";
  const char *dir = mkdtemp(tmpl);
  return dir != nullptr ? dir : "/tmp";
}

namespace {

std::string client_command(const test_server &srv) {
  return "mariadb --no-defaults --protocol=tcp -h " + std::string(srv.host) + " -P " +
         std::to_string(srv.port) + " -u " + srv.user + " -p" + srv.password;
}

// Runs a shell command; its output (stdout and whatever the command sends there) and exit status.
std::string run_capture(const std::string &cmd, int *status) {
  std::string output;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return "popen failed";
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  *status = pclose(p);
  return output;
}

}  // namespace

std::string restore_with_client(const test_server &srv, const std::string &database,
                                const std::string &file, const std::string &client_options) {
  std::string base = client_command(srv);
  std::string cmd = base + " -e 'DROP DATABASE IF EXISTS `" + database + "`; CREATE DATABASE `" +
                    database + "`' 2>&1 && " + base + " " + client_options + " '" + database +
                    "' < '" + file + "' 2>&1";
  int status = 0;
  std::string output = run_capture(cmd, &status);
  if (status != 0) return output.empty() ? "mariadb client failed" : output;
  return "";
}

std::string load_with_client(const test_server &srv, const std::string &database,
                             const std::string &file, const std::string &client_options) {
  std::string cmd = client_command(srv) + " " + client_options + " '" + database + "' < '" + file + "' 2>&1";
  int status = 0;
  std::string output = run_capture(cmd, &status);
  if (status != 0 && output.empty()) return "mariadb client failed";
  return output;
}

int exec_sql(my_conn *c, const std::string &sql) {
  int rc = my_query(c, sql.c_str());
  if (rc != 1) return rc;
  my_meta meta{};
  if (my_read_meta(c, &meta) < 0) return -1;
  std::vector<my_cell> cells(meta.count);
  int r;
  while ((r = my_read_row(c, &meta, cells.data())) == 1) {
  }
  my_meta_free(&meta);
  return r < 0 ? -1 : 1;
}

std::vector<std::vector<std::string>> query_rows(my_conn *c, const std::string &sql) {
  std::vector<std::vector<std::string>> rows;
  if (my_query(c, sql.c_str()) != 1) return rows;
  my_meta meta{};
  if (my_read_meta(c, &meta) < 0) return rows;
  std::vector<my_cell> cells(meta.count);
  while (my_read_row(c, &meta, cells.data()) == 1) {
    std::vector<std::string> row;
    for (const my_cell &cell : cells)
      row.push_back(cell.data ? std::string(reinterpret_cast<const char *>(cell.data), cell.len) : "<NULL>");
    rows.push_back(row);
  }
  my_meta_free(&meta);
  return rows;
}

std::string table_fingerprint(my_conn *c, const std::string &database) {
  std::string out;
  auto tables = query_rows(c, "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA='" +
                                  database + "' AND TABLE_TYPE='BASE TABLE' ORDER BY TABLE_NAME");
  for (const auto &t : tables) {
    std::string q = "`" + database + "`.`";
    for (char ch : t[0]) q += ch == '`' ? std::string("``") : std::string(1, ch);
    q += "`";
    auto sum = query_rows(c, "CHECKSUM TABLE " + q);
    auto count = query_rows(c, "SELECT COUNT(*) FROM " + q);
    out += t[0] + " checksum=" + (sum.empty() ? "?" : sum[0][1]) +
           " rows=" + (count.empty() ? "?" : count[0][0]) + "\n";
  }
  return out;
}
