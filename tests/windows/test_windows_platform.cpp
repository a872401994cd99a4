// The _WIN32 branches of the platform layer, which only a Windows build compiles: UTF-8 file names
// through the wide-character API, threads over CreateThread, Winsock connects, waits and closes.
// And the DLL as a Windows host reaches it: LoadLibrary and GetProcAddress by plain names.
#include <gtest/gtest.h>
// Winsock 2 before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "quillfen_mysqldump.h"

namespace {

std::string utf8(const std::wstring &w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n) - 1);
  return out;
}

// A new folder under the temporary folder; removed with everything in it at the end.
struct temp_dir {
  std::wstring path;

  temp_dir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    path = std::wstring(base) + L"mdump-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
  }
  ~temp_dir() { remove_tree(path); }

  // The names in a folder, as the file system spells them.
  static std::vector<std::wstring> names(const std::wstring &dir) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
      std::wstring n = fd.cFileName;
      if (n != L"." && n != L"..") out.push_back(n);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    std::sort(out.begin(), out.end());
    return out;
  }

  static void remove_tree(const std::wstring &dir) {
    for (const std::wstring &n : names(dir)) {
      std::wstring p = dir + L"\\" + n;
      if (GetFileAttributesW(p.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(p);
      } else {
        DeleteFileW(p.c_str());
      }
    }
    RemoveDirectoryW(dir.c_str());
  }
};

std::string read_wide(const std::wstring &path) {
  FILE *f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return "<cannot open>";
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

TEST(Utf8FileNames, EachFileHasExactlyTheNameGiven) {
  temp_dir d;
  std::wstring sub = L"Ordner-\u00e4\u00f6\u00fc-\u0444\u0430\u0439\u043b\u044b";
  ASSERT_TRUE(CreateDirectoryW((d.path + L"\\" + sub).c_str(), nullptr));
  struct {
    const char *label;
    std::wstring name;
  } cases[] = {
      {"plain ASCII", L"backup.sql"},
      {"Latin letters", L"Sicherung-\u00dcberpr\u00fcfung-\u00f1and\u00fa.sql"},
      {"Greek, Cyrillic and CJK", L"\u03b1\u03c1\u03c7\u03b5\u03af\u03bf-\u0434\u0430\u043c\u043f-"
                                  L"\u65e5\u672c\u8a9e.sql"},
      {"outside the BMP (a surrogate pair in UTF-16)", L"emoji-\U0001F600.sql"},
  };
  std::vector<std::wstring> want;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    std::wstring full = d.path + L"\\" + sub + L"\\" + c.name;
    FILE *f = plat_fopen_write(utf8(full).c_str());
    ASSERT_NE(f, nullptr);
    fputs(c.label, f);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(read_wide(full), c.label);
    want.push_back(c.name);
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(temp_dir::names(d.path + L"\\" + sub), want) << "no file under any other name";
}

TEST(Utf8FileNames, AnExistingFileIsReplaced) {
  temp_dir d;
  std::wstring full = d.path + L"\\r\u00e9sum\u00e9.sql";
  FILE *f = plat_fopen_write(utf8(full).c_str());
  ASSERT_NE(f, nullptr);
  fputs("a longer first version\n", f);
  fclose(f);
  f = plat_fopen_write(utf8(full).c_str());
  ASSERT_NE(f, nullptr);
  fputs("new\n", f);
  fclose(f);
  EXPECT_EQ(read_wide(full), "new\n") << "opened for writing from the start, in binary mode";
}

TEST(Utf8FileNames, InvalidUtf8OpensNothing) {
  temp_dir d;
  std::string dir = utf8(d.path);
  const char *bad[] = {
      "\x80stray-continuation.sql",
      "\xff.sql",
      "cut-\xe6\x97.sql",            // the first two bytes of a three-byte sequence
      "overlong-\xc0\xaf.sql",       // '/' in two bytes
  };
  for (const char *name : bad) {
    SCOPED_TRACE(name);
    FILE *f = plat_fopen_write((dir + "\\" + name).c_str());
    EXPECT_EQ(f, nullptr);
    if (f != nullptr) fclose(f);
  }
  EXPECT_TRUE(temp_dir::names(d.path).empty()) << "no file under a substituted name";
  EXPECT_EQ(plat_fopen_write((dir + "\\no-such-folder\\x.sql").c_str()), nullptr);
}

int wait_for_flag(void *arg) {
  auto *flag = static_cast<std::atomic<int> *>(arg);
  while (flag->load() == 0) Sleep(1);
  return 0;
}

TEST(Threads, WaitTimesOutWhileTheThreadRunsThenReportsItsEnd) {
  std::atomic<int> go{0};
  plat_thread t;
  ASSERT_EQ(plat_thread_start(&t, wait_for_flag, &go), 0);
  EXPECT_EQ(plat_thread_wait(&t, 0), 0);
  EXPECT_EQ(plat_thread_wait(&t, 30), 0);
  EXPECT_EQ(t.ended.load(), 0);
  go.store(1);
  ASSERT_EQ(plat_thread_wait(&t, 10000), 1);
  EXPECT_EQ(t.ended.load(), 1);
  EXPECT_EQ(plat_thread_wait(&t, 0), 1) << "a thread waited for stays ended";
  plat_thread_close(&t);
  EXPECT_EQ(t.handle, nullptr);
}

// A listening Winsock socket on 127.0.0.1 and a free port, for the client side to connect to.
struct listener {
  SOCKET s = INVALID_SOCKET;
  int port = 0;

  listener() {
    net_startup();
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      ADD_FAILURE() << "listener: Winsock error " << WSAGetLastError();
      return;
    }
    port = ntohs(a.sin_port);
  }
  ~listener() { close(); }
  void close() {
    if (s != INVALID_SOCKET) closesocket(s);
    s = INVALID_SOCKET;
  }
};

TEST(Winsock, AClosedPortIsConnectFailed) {
  listener l;
  int port = l.port;
  l.close();  // nothing listens there any more: the connect is refused
  net_socket s;
  EXPECT_EQ(net_connect_tcp("127.0.0.1", port, &s), NET_CONNECT_FAILED);
  EXPECT_EQ(s, NET_INVALID_SOCKET);
}

TEST(Winsock, BytesBothWaysThenThePeersCloseIsSeen) {
  listener l;
  net_socket c;
  ASSERT_EQ(net_connect_tcp("127.0.0.1", l.port, &c), NET_CONNECTED);
  SOCKET peer = accept(l.s, nullptr, nullptr);
  ASSERT_NE(peer, INVALID_SOCKET);

  EXPECT_EQ(net_wait_readable(c, 50), 0) << "nothing sent yet";
  ASSERT_EQ(send(peer, "server", 6, 0), 6);
  EXPECT_EQ(net_wait_readable(c, 10000), 1);
  char buf[16] = {0};
  EXPECT_EQ(net_recv(c, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "server");

  // More than one socket buffer's worth, read back whole on the other side.
  std::string big(300000, 'q');
  for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
  std::string got;
  plat_thread reader;
  struct ctx_t {
    SOCKET peer;
    std::string *got;
    size_t want;
  } ctx{peer, &got, big.size()};
  ASSERT_EQ(plat_thread_start(
                &reader,
                [](void *p) {
                  auto *x = static_cast<ctx_t *>(p);
                  char chunk[8192];
                  while (x->got->size() < x->want) {
                    int n = recv(x->peer, chunk, sizeof chunk, 0);
                    if (n <= 0) break;
                    x->got->append(chunk, static_cast<size_t>(n));
                  }
                  return 0;
                },
                &ctx),
            0);
  size_t sent = 0;
  while (sent < big.size()) {
    long n = net_send(c, big.data() + sent, big.size() - sent);
    ASSERT_GT(n, 0);
    sent += static_cast<size_t>(n);
  }
  ASSERT_EQ(plat_thread_wait(&reader, 30000), 1);
  plat_thread_close(&reader);
  EXPECT_TRUE(got == big) << "received " << got.size() << " of " << big.size() << " bytes";

  // A closed peer makes the socket readable, and the read says so with 0.
  closesocket(peer);
  EXPECT_EQ(net_wait_readable(c, 10000), 1);
  EXPECT_EQ(net_recv(c, buf, sizeof buf), 0);
  net_close(c);
}

// --- The DLL as a host loads it -----------------------------------------------------------------

const char *const EXPORTED[] = {
    "mdump_version", "mdump_last_error", "mdump_test_connection", "mdump_list_databases",
    "mdump_list_tables", "mdump_start", "mdump_status", "mdump_progress", "mdump_result",
    "mdump_cancel", "mdump_free",
};

template <typename F>
F find(HMODULE dll, const char *name) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(GetProcAddress(dll, name)));
}

std::wstring folder_of(HMODULE m) {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(m, buf, MAX_PATH);
  std::wstring p(buf, n);
  return p.substr(0, p.find_last_of(L"\\/"));
}

TEST(Dll, LoadsByItsNameAndAnswersByPlainNames) {
  HMODULE dll = LoadLibraryW(L"quillfen-mysqldump.dll");
  ASSERT_NE(dll, nullptr) << "error " << GetLastError();
  EXPECT_EQ(folder_of(dll), folder_of(nullptr)) << "the DLL next to the program";
  for (const char *name : EXPORTED) EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
  auto version = find<const char *(*)(void)>(dll, "mdump_version");
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version(), MDUMP_VERSION_TEXT);
  EXPECT_EQ(GetProcAddress(dll, "session_start"), nullptr);
  EXPECT_EQ(GetProcAddress(dll, "mbedtls_rsa_init"), nullptr) << "Mbed TLS stays inside";
  EXPECT_TRUE(FreeLibrary(dll));
}

// The dump thread is the DLL's own (CreateThread): a failed dump must end it before mdump_free
// returns, so that the host can unload the DLL right after and load it again.
TEST(Dll, AFailedDumpsThreadEndsBeforeTheDllIsUnloaded) {
  temp_dir d;
  listener l;
  int port = l.port;
  l.close();
  std::string out = utf8(d.path + L"\\never.sql");
  for (char &ch : out)
    if (ch == '\\') ch = '/';
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
                    ",\"user\":\"u\",\"password\":\"p\",\"database\":\"db\",\"out_path\":\"" + out + "\"}";
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("load " + std::to_string(round + 1));
    HMODULE dll = LoadLibraryW(L"quillfen-mysqldump.dll");
    ASSERT_NE(dll, nullptr);
    auto start = find<int (*)(const char *)>(dll, "mdump_start");
    auto status = find<int (*)(int)>(dll, "mdump_status");
    auto result = find<const char *(*)(int)>(dll, "mdump_result");
    auto free_session = find<void (*)(int)>(dll, "mdump_free");
    int s = start(cfg.c_str());
    ASSERT_GE(s, 0);
    int state = MDUMP_ST_CONNECTING;
    for (int waited = 0; waited < 20000 && (state == MDUMP_ST_CONNECTING || state == MDUMP_ST_RUNNING);
         waited += 10) {
      Sleep(10);
      state = status(s);
    }
    EXPECT_EQ(state, MDUMP_ST_ERROR);
    EXPECT_EQ(std::string(result(s)).rfind("{\"ok\":false,\"error\":", 0), 0u) << result(s);
    free_session(s);
    EXPECT_TRUE(FreeLibrary(dll));
  }
}

}  // namespace
