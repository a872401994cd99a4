// Where the test command's MariaDB server listens, as it hands it to the tests through the
// environment (MDUMP_TEST_HOST, MDUMP_TEST_PORT, MDUMP_TEST_USER, MDUMP_TEST_PASSWORD).
#ifndef MDUMP_TEST_SERVER_H
#define MDUMP_TEST_SERVER_H

#include <gtest/gtest.h>

struct test_server {
  char host[64];
  int port;
  char user[64];
  char password[64];
};

// Fills `out` from the environment. Returns false when the test command gave no server.
bool test_server_from_env(test_server *out);

// True when running under CI, where a missing server is a failure rather than a skip.
bool running_under_ci();

// Opens the test server's address in `srv`, or skips the test (fails it under CI) without one.
#define REQUIRE_TEST_SERVER(srv)                                                          \
  do {                                                                                    \
    if (!test_server_from_env(&(srv))) {                                                  \
      if (running_under_ci()) FAIL() << "CI=true but no test server: run scripts/test.sh"; \
      GTEST_SKIP() << "no test server (MDUMP_TEST_* unset): run scripts/test.sh";         \
    }                                                                                     \
  } while (0)

#endif
