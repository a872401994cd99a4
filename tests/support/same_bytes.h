// Compares long byte strings and, when they differ, reports where they part instead of printing
// megabytes.
#ifndef MDUMP_SAME_BYTES_H
#define MDUMP_SAME_BYTES_H

#include <gtest/gtest.h>

#include <string>

inline ::testing::AssertionResult same_bytes(const std::string &got, const std::string &want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                       << ", first difference at byte " << i;
}

#endif
