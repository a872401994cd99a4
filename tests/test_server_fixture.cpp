// The test server that scripts/test-server.sh starts is the peer of every protocol test: check it
// is a MariaDB server on loopback and that the test account logs in with the real client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/test_server.h"

namespace {

std::string run_command(const std::string &cmd, int *status) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

}  // namespace

TEST(TestServer, GreetsWithProtocolTenOnLoopback) {
  test_server srv;
  REQUIRE_TEST_SERVER(srv);
  ASSERT_STREQ(srv.host, "127.0.0.1");
  ASSERT_NE(srv.port, 3306);

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(srv.port));
  inet_pton(AF_INET, srv.host, &addr.sin_addr);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  unsigned char buf[512];
  ssize_t got = 0;
  while (got < 5) {
    ssize_t n = recv(fd, buf + got, sizeof buf - got, 0);
    ASSERT_GT(n, 0);
    got += n;
  }
  close(fd);
  EXPECT_EQ(buf[3], 0) << "the greeting is the server's first packet";
  EXPECT_EQ(buf[4], 10) << "protocol version";
  std::string version(reinterpret_cast<char *>(buf + 5), strnlen(reinterpret_cast<char *>(buf + 5), got - 5));
  EXPECT_NE(version.find("MariaDB"), std::string::npos) << version;
}

TEST(TestServer, TestAccountLogsInWithItsPassword) {
  test_server srv;
  REQUIRE_TEST_SERVER(srv);
  std::string base = "mariadb --protocol=tcp -h " + std::string(srv.host) + " -P " +
                     std::to_string(srv.port) + " -u " + srv.user;
  int status = 0;
  std::string out = run_command(base + " -p" + srv.password + " -N -e 'SELECT CURRENT_USER()' 2>&1", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.rfind(std::string(srv.user) + "@", 0), 0u) << out;

  out = run_command(base + " -pwrong-password -e 'SELECT 1' 2>&1", &status);
  EXPECT_NE(status, 0) << "a wrong password must be refused: " << out;
  EXPECT_NE(out.find("1045"), std::string::npos) << out;
}
