// Monotonic milliseconds for elapsed-time counters. Only differences of two readings mean
// anything.
#ifndef MDUMP_PLATFORM_CLOCK_H
#define MDUMP_PLATFORM_CLOCK_H

#include <cstdint>

int64_t now_ms();

// counter / frequency in milliseconds without overflowing: counter * 1000 would overflow after
// about 106 days of uptime with a nanosecond counter.
inline int64_t counter_to_ms(int64_t counter, int64_t freq) {
  return (counter / freq) * 1000 + (counter % freq) * 1000 / freq;
}

#endif
