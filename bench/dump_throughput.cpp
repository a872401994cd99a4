// Dumps one database through the shared library, as a host would, and prints what it cost: wall
// time, CPU time of this process, rows/s, MB/s and peak memory. A figure, not a test.
//
//   dump_throughput HOST PORT USER PASSWORD DATABASE OUT_PATH
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "quillfen_mysqldump.h"

namespace {

double cpu_seconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kib() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

long long json_number(const std::string &json, const char *key) {
  std::string k = std::string("\"") + key + "\":";
  size_t at = json.find(k);
  return at == std::string::npos ? -1 : atoll(json.c_str() + at + k.size());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: %s HOST PORT USER PASSWORD DATABASE OUT_PATH\n", argv[0]);
    return 2;
  }
  std::string config = std::string("{\"host\":\"") + argv[1] + "\",\"port\":" + argv[2] +
                       ",\"user\":\"" + argv[3] + "\",\"password\":\"" + argv[4] +
                       "\",\"database\":\"" + argv[5] + "\",\"out_path\":\"" + argv[6] + "\"}";
  long rss_before = peak_rss_kib();
  double cpu_before = cpu_seconds();
  auto start = std::chrono::steady_clock::now();
  int session = mdump_start(config.c_str());
  if (session < 0) {
    fprintf(stderr, "mdump_start failed: %s\n", mdump_last_error());
    return 1;
  }
  while (mdump_status(session) < MDUMP_ST_DONE) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = cpu_seconds() - cpu_before;
  std::string result = mdump_result(session);
  int state = mdump_status(session);
  mdump_free(session);
  if (state != MDUMP_ST_DONE) {
    fprintf(stderr, "dump ended in state %d: %s\n", state, result.c_str());
    return 1;
  }
  long long rows = json_number(result, "rows");
  long long bytes = json_number(result, "bytes");
  printf("database        %s\n", argv[5]);
  printf("rows            %lld\n", rows);
  printf("dump size       %.1f MB\n", static_cast<double>(bytes) / 1e6);
  printf("wall time       %.2f s\n", wall);
  printf("client CPU      %.2f s (user + sys, this process)\n", cpu);
  printf("rows/s          %.0f\n", static_cast<double>(rows) / wall);
  printf("MB/s            %.1f\n", static_cast<double>(bytes) / 1e6 / wall);
  printf("peak RSS        %.1f MiB (%.1f MiB before the dump)\n", peak_rss_kib() / 1024.0,
         rss_before / 1024.0);
  return 0;
}
