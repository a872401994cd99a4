// libFuzzer target for the configuration parser: any byte string, checked against the record's
// invariants rather than against a second parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mysqldump/config.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != nullptr; }

const mdump_config &defaults() {
  static mdump_config d;
  static bool made = false;
  if (!made) {
    parse_config("{}", &d);
    made = true;
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back(0);
  static mdump_config cfg;  // 67 KB: kept off the fuzzer's stack
  memset(&cfg, 0x5A, sizeof cfg);
  int rc = parse_config(text.data(), &cfg);
  check(rc == 0 || rc == -1);
  check(terminated(cfg.host, sizeof cfg.host));
  check(terminated(cfg.user, sizeof cfg.user));
  check(terminated(cfg.password, sizeof cfg.password));
  check(terminated(cfg.database, sizeof cfg.database));
  check(terminated(cfg.out_path, sizeof cfg.out_path));
  check(cfg.table_count >= 0 && cfg.table_count <= MDUMP_MAX_TABLES);
  for (int i = 0; i < MDUMP_MAX_TABLES; ++i) {
    check(terminated(cfg.tables[i], sizeof cfg.tables[i]));
    if (i >= cfg.table_count) check(cfg.tables[i][0] == 0);
  }
  check(cfg.tables_dropped >= 0);
  check(cfg.tables_dropped == 0 || cfg.table_count == MDUMP_MAX_TABLES);
  check(cfg.rows_per_insert >= 1 && cfg.rows_per_insert <= 1000);
  check(cfg.include_schema == 0 || cfg.include_schema == 1);
  check(cfg.include_data == 0 || cfg.include_data == 1);
  check(cfg.include_drop == 0 || cfg.include_drop == 1);
  if (rc == -1) check(memcmp(&cfg, &defaults(), sizeof cfg) == 0);
  return 0;
}
