// How fast values become SQL literals: string escaping and hex encoding, in input bytes per second
// on one core, beside a plain copy of the same bytes through the same writer (the ceiling). Values
// come in the sizes a dump sees: short names, 20-byte binary keys, multi-kilobyte texts.
//
// The writer's file is the null device, so the figures are the encoding and buffering alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mysqldump/dump_writer.h"
#include "mysqldump/session.h"
#include "mysqldump/sql_literal.h"

namespace {

#ifdef _WIN32
const char NULL_DEVICE[] = "NUL";
#else
const char NULL_DEVICE[] = "/dev/null";
#endif

struct null_writer {
  mdump_session *session;
  dump_writer w;
};

void open_null_writer(null_writer *nw) {
  nw->session = static_cast<mdump_session *>(calloc(1, sizeof(mdump_session)));
  memset(&nw->w, 0, sizeof nw->w);
  nw->w.file = fopen(NULL_DEVICE, "wb");
  setvbuf(nw->w.file, nullptr, _IONBF, 0);
  nw->w.cap = DW_BUF_SIZE;
  nw->w.buf = static_cast<unsigned char *>(malloc(DW_BUF_SIZE));
  nw->w.session = nw->session;
}

void close_null_writer(null_writer *nw) {
  fclose(nw->w.file);
  free(nw->w.buf);
  free(nw->session);
}

// 1 MiB of values of `size` bytes each, drawn from `alphabet`.
std::vector<std::string> make_values(size_t size, const std::string &alphabet) {
  std::mt19937 rng(42);
  std::vector<std::string> values(1048576 / size);
  for (std::string &v : values) {
    v.resize(size);
    for (char &c : v) c = alphabet[rng() % alphabet.size()];
  }
  return values;
}

std::string all_bytes() {
  std::string a(256, 0);
  for (int i = 0; i < 256; ++i) a[i] = static_cast<char>(i);
  return a;
}

const std::string PLAIN = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:-";
// Prose with a line feed, a quote or a backslash about once in 25 bytes, and two-byte letters.
const std::string PROSE = PLAIN + "\n'\\\xc3\xab";

enum encoding { COPY, STRING, HEX };

void run(benchmark::State &state, encoding how, size_t size, const std::string &alphabet) {
  std::vector<std::string> values = make_values(size, alphabet);
  null_writer nw;
  open_null_writer(&nw);
  for (auto _ : state) {
    for (const std::string &v : values) {
      const unsigned char *p = reinterpret_cast<const unsigned char *>(v.data());
      int rc = how == COPY     ? dw_put(&nw.w, p, v.size())
               : how == STRING ? sql_put_string(&nw.w, p, v.size())
                               : sql_put_hex(&nw.w, p, v.size());
      if (rc != 0) state.SkipWithError("write failed");
    }
  }
  dw_flush(&nw.w);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(values.size() * size));
  close_null_writer(&nw);
}

}  // namespace

BENCHMARK_CAPTURE(run, copy_4KiB, COPY, 4096, PLAIN);
BENCHMARK_CAPTURE(run, string_plain_4KiB, STRING, 4096, PLAIN);
BENCHMARK_CAPTURE(run, string_prose_4KiB, STRING, 4096, PROSE);
BENCHMARK_CAPTURE(run, copy_32B, COPY, 32, PLAIN);
BENCHMARK_CAPTURE(run, string_plain_32B, STRING, 32, PLAIN);
BENCHMARK_CAPTURE(run, string_prose_32B, STRING, 32, PROSE);
BENCHMARK_CAPTURE(run, hex_random_4KiB, HEX, 4096, all_bytes());
BENCHMARK_CAPTURE(run, hex_random_20B, HEX, 20, all_bytes());

BENCHMARK_MAIN();
