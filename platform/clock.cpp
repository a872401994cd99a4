// now_ms over the platform's monotonic counter: QueryPerformanceCounter under _WIN32,
// CLOCK_MONOTONIC elsewhere. The frequency is fetched once and shared by every thread.
#include "platform/clock.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace {

std::atomic<int64_t> g_freq{0};
std::atomic<int> g_freq_init{0};

int64_t fetch_frequency() {
#if defined(_WIN32)
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return f.QuadPart;
#else
  return 1000000000;  // CLOCK_MONOTONIC counts nanoseconds
#endif
}

int64_t read_counter() {
#if defined(_WIN32)
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return c.QuadPart;
#else
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
}

}  // namespace

int64_t now_ms() {
  // Two threads that come here first together both fetch the same frequency: harmless.
  if (g_freq_init.load(std::memory_order_acquire) == 0) {
    g_freq.store(fetch_frequency(), std::memory_order_relaxed);
    g_freq_init.store(1, std::memory_order_release);
  }
  return counter_to_ms(read_counter(), g_freq.load(std::memory_order_relaxed));
}
