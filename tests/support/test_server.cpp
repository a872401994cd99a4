#include "tests/support/test_server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool copy_env(const char *name, char *dst, size_t size) {
  const char *v = getenv(name);
  if (v == nullptr || strlen(v) >= size) return false;
  snprintf(dst, size, "%s", v);
  return true;
}

}  // namespace

bool test_server_from_env(test_server *out) {
  memset(out, 0, sizeof *out);
  char port[16];
  if (!copy_env("MDUMP_TEST_HOST", out->host, sizeof out->host) ||
      !copy_env("MDUMP_TEST_PORT", port, sizeof port) ||
      !copy_env("MDUMP_TEST_USER", out->user, sizeof out->user) ||
      !copy_env("MDUMP_TEST_PASSWORD", out->password, sizeof out->password))
    return false;
  out->port = atoi(port);
  return out->port > 0;
}

bool running_under_ci() {
  const char *ci = getenv("CI");
  return ci != nullptr && strcmp(ci, "true") == 0;
}
