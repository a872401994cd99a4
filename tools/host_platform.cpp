// The host's platform layer (see host_platform.h): dlopen and termios on POSIX systems,
// LoadLibrary and the console API on Windows.
#include "tools/host_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#  include <shellapi.h>
#  include <io.h>
#else
#  include <dlfcn.h>
#  include <fcntl.h>
#  include <pwd.h>
#  include <sys/ioctl.h>
#  include <termios.h>
#  include <time.h>
#  include <unistd.h>
#endif

#ifndef MDUMP_HOST_LIBDIR_FROM_BINDIR
#  define MDUMP_HOST_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace {

#if defined(_WIN32)
const char LIBRARY_FILE[] = "quillfen-mysqldump.dll";
const char DIR_SEP = '\\';
#elif defined(__APPLE__)
const char LIBRARY_FILE[] = "libquillfen-mysqldump.1.dylib";
const char DIR_SEP = '/';
#else
const char LIBRARY_FILE[] = "libquillfen-mysqldump.so.1";
const char DIR_SEP = '/';
#endif

volatile std::sig_atomic_t g_interrupt = 0;

std::string program_dir(const char *argv0) {
  std::string path;
#if defined(_WIN32)
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n > 0 && n < sizeof buf) path.assign(buf, n);
#else
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) path.assign(buf, static_cast<size_t>(n));
#endif
  if (path.empty() && argv0 != nullptr) path = argv0;
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void *open_library(const std::string &path, std::string *why) {
#if defined(_WIN32)
  HMODULE h = LoadLibraryA(path.c_str());
  if (h == nullptr) *why = "LoadLibrary error " + std::to_string(GetLastError());
  return reinterpret_cast<void *>(h);
#else
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    const char *e = dlerror();
    *why = e != nullptr ? e : "dlopen failed";
  }
  return h;
#endif
}

void close_library(void *h) {
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(h));
#else
  dlclose(h);
#endif
}

// Resolves `name` into `*slot`; the casts between object and function pointers are what both
// loaders' interfaces require.
template <typename F>
bool resolve(void *h, const char *name, F *slot, std::string *missing) {
#if defined(_WIN32)
  FARPROC p = GetProcAddress(reinterpret_cast<HMODULE>(h), name);
  *slot = reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(p));
#else
  void *p = dlsym(h, name);
  *slot = reinterpret_cast<F>(p);
#endif
  if (p != nullptr) return true;
  *missing = name;
  return false;
}

#if !defined(_WIN32)
int g_tty_fd = -1;
struct termios g_tty_saved;

// Leaves the terminal as it was found, then lets the signal do what it would have done.
void restore_tty_and_reraise(int sig) {
  if (g_tty_fd >= 0) tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_saved);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

bool read_line(int fd, std::string *out) {
  out->clear();
  char c;
  for (;;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !out->empty();
    if (c == '\n') return true;
    if (c == '\r') continue;
    if (out->size() < 4096) out->push_back(c);
  }
}
#endif

void on_interrupt(int sig) { g_interrupt = sig; }

}  // namespace

std::vector<std::string> host_library_candidates(const std::string &explicit_path, const char *argv0) {
  if (!explicit_path.empty()) return {explicit_path};
  const char *env = getenv("QUILLFEN_MYSQLDUMP_LIBRARY");
  if (env != nullptr && env[0] != 0) return {env};
  std::vector<std::string> out;
  std::string dir = program_dir(argv0);
  if (!dir.empty()) {
    out.push_back(dir + DIR_SEP + LIBRARY_FILE);
    std::string libdir = MDUMP_HOST_LIBDIR_FROM_BINDIR;
    if (!libdir.empty() && libdir != ".") out.push_back(dir + DIR_SEP + libdir + DIR_SEP + LIBRARY_FILE);
  }
  out.push_back(LIBRARY_FILE);
  return out;
}

bool host_load_library(const std::vector<std::string> &candidates, mdump_api *api,
                       std::string *loaded_from, std::string *error) {
  error->clear();
  for (const std::string &path : candidates) {
    std::string why;
    void *h = open_library(path, &why);
    if (h == nullptr) {
      *error += "\n  " + path + ": " + why;
      continue;
    }
    mdump_api a;
    memset(&a, 0, sizeof a);
    a.handle = h;
    std::string missing;
    bool all = resolve(h, "mdump_version", &a.version, &missing) &&
               resolve(h, "mdump_last_error", &a.last_error, &missing) &&
               resolve(h, "mdump_test_connection", &a.test_connection, &missing) &&
               resolve(h, "mdump_list_databases", &a.list_databases, &missing) &&
               resolve(h, "mdump_list_tables", &a.list_tables, &missing) &&
               resolve(h, "mdump_start", &a.start, &missing) &&
               resolve(h, "mdump_status", &a.status, &missing) &&
               resolve(h, "mdump_progress", &a.progress, &missing) &&
               resolve(h, "mdump_result", &a.result, &missing) &&
               resolve(h, "mdump_cancel", &a.cancel, &missing) &&
               resolve(h, "mdump_free", &a.free_session, &missing);
    if (!all) {
      close_library(h);
      *error += "\n  " + path + ": not the quillfen-mysqldump library (no " + missing + ")";
      continue;
    }
    *api = a;
    *loaded_from = path;
    return true;
  }
  return false;
}

bool host_read_password(const char *prompt, std::string *out, std::string *error) {
#if defined(_WIN32)
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  bool console = GetConsoleMode(in, &mode) != 0;
  if (console) {
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    fputs(prompt, stderr);
    fflush(stderr);
  }
  char buf[4096];
  bool ok = fgets(buf, sizeof buf, stdin) != nullptr;
  if (console) {
    SetConsoleMode(in, mode);
    fputc('\n', stderr);
  }
  if (!ok) {
    *error = "no password could be read";
    return false;
  }
  out->assign(buf, strcspn(buf, "\r\n"));
  return true;
#else
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    // No terminal: the password comes from standard input, as from a pipe.
    if (!read_line(STDIN_FILENO, out)) {
      *error = "no terminal to ask for the password, and nothing on standard input";
      return false;
    }
    return true;
  }
  if (tcgetattr(fd, &g_tty_saved) != 0) {
    close(fd);
    *error = "cannot read the terminal's settings";
    return false;
  }
  g_tty_fd = fd;
  struct sigaction sa, old_int, old_term, old_quit, old_tstp;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = restore_tty_and_reraise;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int);
  sigaction(SIGTERM, &sa, &old_term);
  sigaction(SIGQUIT, &sa, &old_quit);
  sigaction(SIGTSTP, &sa, &old_tstp);
  struct termios quiet = g_tty_saved;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
  tcsetattr(fd, TCSAFLUSH, &quiet);
  ssize_t w = write(fd, prompt, strlen(prompt));
  (void)w;
  bool ok = read_line(fd, out);
  tcsetattr(fd, TCSAFLUSH, &g_tty_saved);
  w = write(fd, "\n", 1);
  (void)w;
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  sigaction(SIGTSTP, &old_tstp, nullptr);
  g_tty_fd = -1;
  close(fd);
  if (!ok) {
    *error = "no password was entered";
    return false;
  }
  return true;
#endif
}

bool host_is_terminal(FILE *f) {
#if defined(_WIN32)
  return _isatty(_fileno(f)) != 0;
#else
  return isatty(fileno(f)) != 0;
#endif
}

int host_terminal_width(FILE *f) {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  if (GetConsoleScreenBufferInfo(h, &info)) return info.srWindow.Right - info.srWindow.Left + 1;
#else
  struct winsize ws;
  if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
#endif
  return 80;
}

std::string host_login_name() {
#if defined(_WIN32)
  const char *name = getenv("USERNAME");
  return name != nullptr ? name : "";
#else
  const char *name = getenv("USER");
  if (name == nullptr || name[0] == 0) name = getenv("LOGNAME");
  if (name != nullptr && name[0] != 0) return name;
  struct passwd *pw = getpwuid(geteuid());
  return pw != nullptr ? pw->pw_name : "";
#endif
}

#if defined(_WIN32)
namespace {
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (g_interrupt != 0) return FALSE;  // the second one ends the process
  g_interrupt = SIGINT;
  return TRUE;
}
}  // namespace
#endif

void host_catch_interrupts() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(on_console_event, TRUE);
  std::signal(SIGTERM, on_interrupt);
#else
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  // One shot: while the dump is being cancelled a second Ctrl-C must still be able to end it.
  sa.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
#endif
}

int host_interrupted() { return g_interrupt; }

void host_sleep_ms(int ms) {
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(ms));
#else
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);  // an interrupt ends it early, which is what the caller wants
#endif
}

void host_utf8_arguments(int *argc, char ***argv) {
#if defined(_WIN32)
  int n = 0;
  LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr) return;
  // Lives as long as the process, as argv does.
  static std::vector<std::string> utf8;
  static std::vector<char *> pointers;
  utf8.assign(static_cast<size_t>(n), std::string());
  for (int i = 0; i < n; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
      LocalFree(wide);
      return;  // keep the arguments Windows gave
    }
    utf8[i].resize(static_cast<size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &utf8[i][0], size, nullptr, nullptr);
    utf8[i].resize(static_cast<size_t>(size) - 1);
  }
  LocalFree(wide);
  pointers.clear();
  for (std::string &a : utf8) pointers.push_back(&a[0]);
  pointers.push_back(nullptr);
  *argc = n;
  *argv = pointers.data();
#else
  (void)argc;
  (void)argv;
#endif
}
