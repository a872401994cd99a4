// The two trivial exports and the library-wide error buffer, seen through the real shared library
// as a host loads it, and through the static library's internals.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
// The loader calls below, the way a Windows host makes them.
#define RTLD_NOW 0
#define RTLD_LOCAL 0
static void *dlopen(const char *path, int) { return reinterpret_cast<void *>(LoadLibraryA(path)); }
static void *dlsym(void *lib, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
static int dlclose(void *lib) { return FreeLibrary(static_cast<HMODULE>(lib)) ? 0 : -1; }
static const char *dlerror() { return "LoadLibrary failed"; }
#else
#include <dlfcn.h>
#endif

#include <string>

#include "mysqldump/lib_frame.h"

namespace {

typedef const char *(*text_fn)(void);

TEST(SharedLibrary, FreshLoadHasEmptyLastErrorAndTheVersion) {
  void *lib = dlopen(MDUMP_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto last_error = reinterpret_cast<text_fn>(dlsym(lib, "mdump_last_error"));
  auto version = reinterpret_cast<text_fn>(dlsym(lib, "mdump_version"));
  ASSERT_NE(last_error, nullptr);
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(last_error(), "");
  EXPECT_STREQ(version(), "quillfen-mysqldump 1.0.0");
  EXPECT_EQ(dlsym(lib, "json_escape"), nullptr) << "internal functions stay hidden";
  EXPECT_EQ(dlsym(lib, "_Z11json_escapePKcPcm"), nullptr) << "internal functions stay hidden";
#if defined(_WIN32)
  // size_t is unsigned long long there, which mangles as y
  EXPECT_EQ(dlsym(lib, "_Z11json_escapePKcPcy"), nullptr) << "internal functions stay hidden";
#endif
  dlclose(lib);
}

TEST(LibFrame, ErrorTextIsCutToFit) {
  set_g_err("connect failed to %s", std::string(1000, 'h').c_str());
  std::string err = g_err;
  EXPECT_EQ(err.size(), 511u);
  EXPECT_EQ(err.rfind("connect failed to hhh", 0), 0u);
}

}  // namespace
