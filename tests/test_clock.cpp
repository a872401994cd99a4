// Milliseconds from a monotonic counter, without the overflow of counter * 1000.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/clock.h"

namespace {

TEST(Clock, CounterToMillisecondsNeverOverflows) {
  const int64_t ns = 1000000000;
  const int64_t day_ns = 86400 * ns;
  struct { const char *name; int64_t counter, freq, want; } cases[] = {
      {"zero", 0, ns, 0},
      {"just under a millisecond", 999999, ns, 0},
      {"one and a half seconds", 1500000000, ns, 1500},
      // counter * 1000 passes INT64_MAX after about 106 days of nanoseconds
      {"200 days of nanoseconds", 200 * day_ns + 123456789, ns, 200LL * 86400000 + 123},
      {"a 10 MHz counter after 20 years", 20LL * 365 * 86400 * 10000000 + 12345, 10000000,
       20LL * 365 * 86400000 + 1},
      {"the largest counter", INT64_MAX, ns, INT64_MAX / ns * 1000 + (INT64_MAX % ns) * 1000 / ns},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(counter_to_ms(c.counter, c.freq), c.want);
  }
}

TEST(Clock, NowNeverGoesBack) {
  int64_t last = now_ms();
  for (int i = 0; i < 100000; ++i) {
    int64_t t = now_ms();
    ASSERT_GE(t, last);
    last = t;
  }
}

}  // namespace
