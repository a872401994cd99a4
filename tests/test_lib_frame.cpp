// The two trivial exports and the library-wide error buffer, seen through the real shared library
// as a host loads it, and through the static library's internals.
#include <dlfcn.h>
#include <gtest/gtest.h>

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
  dlclose(lib);
}

TEST(LibFrame, ErrorTextIsCutToFit) {
  set_g_err("connect failed to %s", std::string(1000, 'h').c_str());
  std::string err = g_err;
  EXPECT_EQ(err.size(), 511u);
  EXPECT_EQ(err.rfind("connect failed to hhh", 0), 0u);
}

}  // namespace
