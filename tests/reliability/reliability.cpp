#include "tests/reliability/reliability.h"

#include <fcntl.h>
#include <malloc.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "mysql_client/mysql_client.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define REL_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REL_SANITIZER 1
#endif
#if defined(REL_SANITIZER)
#include <sanitizer/allocator_interface.h>
#endif

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

long long status_kib(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return atoll(line.c_str() + n + 1);
  return -1;
}

std::string env_value(const std::string &env, const std::string &name) {
  std::string key = "export " + name + "=";
  size_t at = env.find(key);
  if (at == std::string::npos) return "";
  size_t end = env.find('\n', at);
  return env.substr(at + key.size(), end - at - key.size());
}

bool process_gone(pid_t pid) {
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

std::string find_program(const char *name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::stringstream dirs(path);
  std::string d;
  while (std::getline(dirs, d, ':')) {
    std::string candidate = d + "/" + name;
    if (!d.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// Starts argv detached (a grandchild in its own session), as the script leaves its server:
// whoever outlives this process, the script or the kernel, reaps it. Returns its pid.
pid_t launch_detached(char *const *argv) {
  int link[2];
  if (pipe(link) != 0) return -1;
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) {
      ssize_t w = write(link[1], &grandchild, sizeof grandchild);
      _exit(w == sizeof grandchild ? 0 : 1);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    execv(argv[0], argv);
    _exit(127);
  }
  ::close(link[1]);
  pid_t started = -1;
  if (read(link[0], &started, sizeof started) != sizeof started) started = -1;
  ::close(link[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return started;
}

bool logs_in(const private_server &s) {
  my_conn c{};
  bool ok = my_connect(&c, s.host.c_str(), s.port, s.user.c_str(), s.password.c_str(), nullptr) == 0;
  my_close(&c);
  return ok;
}

}  // namespace

long rel_param(const char *name, long fallback) {
  const char *v = getenv(name);
  if (v == nullptr || *v == 0) return fallback;
  return atol(v);
}

uint64_t rel_seed() {
  static uint64_t seed = [] {
    const char *v = getenv("MDUMP_REL_SEED");
    uint64_t s = v && *v ? strtoull(v, nullptr, 10)
                         : static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ull;
    printf("reliability seed: %llu (MDUMP_REL_SEED repeats a run)\n", static_cast<unsigned long long>(s));
    return s;
  }();
  return seed;
}

std::mt19937_64 rel_rng(uint64_t salt) { return std::mt19937_64(rel_seed() * 1000003ull + salt); }

void rel_figure(const std::string &key, const std::string &value) {
  static std::mutex lock;
  const char *path = getenv("MDUMP_REL_FIGURES");
  if (path == nullptr || *path == 0) return;
  std::lock_guard<std::mutex> hold(lock);
  FILE *f = fopen(path, "a");
  if (f == nullptr) return;
  fprintf(f, "%s %s\n", key.c_str(), value.c_str());
  fclose(f);
}

void rel_figure(const std::string &key, long long value) { rel_figure(key, std::to_string(value)); }

int fd_count() {
  int n = 0;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n - 1;  // the iterator's own descriptor
}

long long rss_kib() { return status_kib("VmRSS"); }
long long peak_rss_kib() { return status_kib("VmHWM"); }

bool reset_peak_rss() {
  int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd < 0) return false;
  bool ok = write(fd, "5", 1) == 1;
  ::close(fd);
  return ok;
}

bool under_sanitizer() {
#if defined(REL_SANITIZER)
  return true;
#else
  return false;
#endif
}

long long heap_in_use() {
#if defined(REL_SANITIZER)
  return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 mi = mallinfo2();
  return static_cast<long long>(mi.uordblks + mi.hblkhd);
#endif
}

// --- The private server ------------------------------------------------------------------------

std::string private_server::open() {
  const char *given = getenv("MDUMP_REL_SERVER_DIR");
  if (given != nullptr && *given != 0) {
    dir = given;
  } else {
    char name[] = "/tmp/mdump-reliability-XXXXXX";
    if (mkdtemp(name) == nullptr) return "mkdtemp failed";
    dir = std::string(name) + "/server";
    std::string log = std::string(name) + "/start.log";
    std::string cmd = "MDUMP_SERVER_DIR='" + dir + "' '" MDUMP_SOURCE_DIR "/scripts/test-server.sh' start >'" + log +
                      "' 2>&1";
    // The script picks a port nobody listens on, which some connection may still use as its
    // local end; a second pick avoids it.
    const std::string stop = "MDUMP_SERVER_DIR='" + dir + "' '" MDUMP_SOURCE_DIR "/scripts/test-server.sh' stop >/dev/null 2>&1";
    int rc = -1;
    for (int attempt = 0; attempt < 3 && rc != 0; ++attempt) {
      rc = std::system(cmd.c_str());
      if (rc != 0 && std::system(stop.c_str()) != 0) break;
    }
    if (rc != 0) return "private server did not start:\n" + slurp(log);
    owned = true;
  }
  std::string env = slurp(dir + "/env");
  port = atoi(env_value(env, "MDUMP_TEST_PORT").c_str());
  user = env_value(env, "MDUMP_TEST_USER");
  password = env_value(env, "MDUMP_TEST_PASSWORD");
  pid = static_cast<pid_t>(atol(slurp(dir + "/mariadbd.pid").c_str()));
  if (port <= 0 || user.empty() || pid <= 0) return "no server described in " + dir;
  std::string up = ensure_up();
  if (!up.empty()) return up;
  my_conn c{};
  if (my_connect(&c, host.c_str(), port, user.c_str(), password.c_str(), nullptr) != 0) return c.err_msg;
  version = c.server_version;
  my_close(&c);
  return "";
}

bool private_server::alive() const {
  if (pid <= 0 || process_gone(pid)) return false;
  // The pid must be the mariadbd of this directory: a guard against ever signalling another
  // server, the shared test server above all.
  std::string cmdline = slurp("/proc/" + std::to_string(pid) + "/cmdline");
  for (char &c : cmdline)
    if (c == 0) c = ' ';
  return cmdline.find("--datadir=" + dir + "/data ") != std::string::npos;
}

std::string private_server::kill_hard() {
  if (!alive()) return "no private server to kill (pid " + std::to_string(pid) + ")";
  if (::kill(pid, SIGKILL) != 0) return std::string("kill: ") + strerror(errno);
  for (int i = 0; i < 3000 && !process_gone(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  frozen = false;
  return process_gone(pid) ? "" : "the killed server did not go";
}

std::string private_server::freeze() {
  if (!alive()) return "no private server to freeze";
  if (::kill(pid, SIGSTOP) != 0) return std::string("kill -STOP: ") + strerror(errno);
  frozen = true;
  return "";
}

std::string private_server::thaw() {
  if (!frozen) return "";
  if (!alive()) return "no private server to thaw";
  if (::kill(pid, SIGCONT) != 0) return std::string("kill -CONT: ") + strerror(errno);
  frozen = false;
  return "";
}

std::string private_server::restart() {
  if (alive()) return "";
  // The same command line as scripts/test-server.sh, on the data it created: InnoDB recovers
  // what the kill cut short, which takes a fraction of the fresh install the script would do.
  std::string program = find_program("mariadbd");
  if (program.empty()) return "mariadbd not found";
  struct passwd *pw = getpwuid(getuid());
  std::vector<std::string> args = {
      program, "--no-defaults", "--datadir=" + dir + "/data", std::string("--user=") + (pw ? pw->pw_name : "root"),
      "--bind-address=127.0.0.1", "--port=" + std::to_string(port), "--socket=" + dir + "/mariadbd.sock",
      "--pid-file=" + dir + "/mariadbd.pid", "--log-error=" + dir + "/error.log", "--skip-name-resolve",
      "--max-allowed-packet=64M", "--innodb-buffer-pool-size=256M", "--innodb-flush-log-at-trx-commit=2"};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  std::string pidfile = dir + "/mariadbd.pid";
  // A port left free by the killed server can meanwhile serve as the local end of some other
  // connection on this machine, and then the bind fails: try again a few times.
  for (int launch = 0; launch < 5; ++launch) {
    unlink(pidfile.c_str());
    pid_t started = launch_detached(argv.data());
    if (started <= 0) return "fork failed";
    ++restarts;
    for (int i = 0; i < 1200 && !process_gone(started); ++i) {
      pid = started;
      if (alive() && logs_in(*this)) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!process_gone(started)) return "the restarted server did not answer within 60 s";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  pid = 0;
  return "the server did not start again:\n" + slurp(dir + "/error.log").substr(0, 4000);
}

std::string private_server::ensure_up() {
  std::string e = thaw();
  if (!e.empty()) return e;
  if (alive() && logs_in(*this)) return "";
  if (alive()) return "the private server runs but refuses the test account";
  return restart();
}

void private_server::close() {
  if (pid > 0 && alive()) thaw();
  if (!owned) return;
  if (pid > 0 && alive()) {
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 600 && !process_gone(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!process_gone(pid)) ::kill(pid, SIGKILL);
  }
  // Whatever the pid file names besides (a start the script gave up on), by the script's own stop.
  std::string stop = "MDUMP_SERVER_DIR='" + dir + "' '" MDUMP_SOURCE_DIR "/scripts/test-server.sh' stop >/dev/null 2>&1";
  if (std::system(stop.c_str()) != 0) fprintf(stderr, "private server: stop failed in %s\n", dir.c_str());
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ec);
  owned = false;
  pid = 0;
}

std::string private_server::config(const std::string &database, const std::string &out_path,
                                   const std::string &extra) const {
  return "{\"host\":\"" + host + "\",\"port\":" + std::to_string(port) + ",\"user\":\"" + user +
         "\",\"password\":\"" + password + "\",\"database\":\"" + database + "\",\"out_path\":\"" + out_path +
         "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

namespace {

private_server *g_private = nullptr;

// Stops the private server once every test has run, failed ones included.
class private_server_env : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_private != nullptr) g_private->close();
  }
};

::testing::Environment *const g_env = ::testing::AddGlobalTestEnvironment(new private_server_env);

}  // namespace

private_server &the_private_server() {
  static private_server server;
  g_private = &server;
  return server;
}
