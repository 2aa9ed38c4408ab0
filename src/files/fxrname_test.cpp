// The roots are cached per process, so every scenario runs in a child
// process of its own: it sets the environment, resolves, and exits 0 only
// when every check held (a failed check names itself on stderr).
#include "files/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void set_env(const char *name, const char *value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

void unset_env(const char *name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

int failures;

void check_text(const char *what, const char *got, const char *expected) {
  if (got && expected && strcmp(got, expected) == 0) {
    return;
  }
  if (!got && !expected) {
    return;
  }
  fprintf(stderr, "%s: got '%s', expected '%s'\n", what, got ? got : "(null)",
          expected ? expected : "(null)");
  failures++;
}

// Resolves into a new allocation, checks, frees.
void check_path(const char *name, const char *expected) {
  char *path = fxrname(name, nullptr);
  check_text(name, path, expected);
  free(path);
}

template <typename Scenario>
[[noreturn]] void run_scenario(Scenario scenario) {
  failures = 0;
  scenario();
  exit(failures ? 1 : 0);
}

// IN_OWN_PROCESS({ statements; })
#define IN_OWN_PROCESS(...) \
  EXPECT_EXIT(run_scenario([] __VA_ARGS__), ::testing::ExitedWithCode(0), "")

#ifndef _WIN32

void clear_roots() {
  unset_env("XR52000");
  unset_env("XR52SETUP");
  unset_env("XR52TMPDIR");
}

TEST(FxrnameTest, DefaultRootIsPutIntoTheEnvironment) {
  IN_OWN_PROCESS({
    clear_roots();
    check_path("inst/update/", "/usr/xr52000/inst/update/");
    check_text("XR52000", getenv("XR52000"), "/usr/xr52000/");
    check_path("/lib/npf.X", "/usr/xr52000/lib/npf.X");
    check_path("", "/usr/xr52000/");
  });
  // Set but empty counts as unset.
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "");
    check_path("lib/npf.X", "/usr/xr52000/lib/npf.X");
    check_text("XR52000", getenv("XR52000"), "/usr/xr52000/");
  });
}

TEST(FxrnameTest, VariableGetsOneTrailingSlashInTheCacheOnly) {
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev");
    check_path("inst/update/", "/opt/dev/inst/update/");
    check_path("/lib/npf.X", "/opt/dev/lib/npf.X");
    check_text("environment", getenv("XR52000"), "/opt/dev");
  });
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev/");
    check_path("lib/npf.X", "/opt/dev/lib/npf.X");
  });
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/");
    check_path("lib/npf.X", "/lib/npf.X");
    check_path("", "/");
  });
}

TEST(FxrnameTest, OnlyOneLeadingSlashIsDropped) {
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev");
    check_path("//lib/npf.X", "/opt/dev//lib/npf.X");
    check_path("/", "/opt/dev/");
  });
}

TEST(FxrnameTest, RootIsCachedForTheProcess) {
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/first");
    check_path("a", "/first/a");
    set_env("XR52000", "/second");
    check_path("a", "/first/a");
  });
  IN_OWN_PROCESS({
    clear_roots();
    check_path("a", "/usr/xr52000/a");
    set_env("XR52000", "/later");
    check_path("a", "/usr/xr52000/a");
  });
}

TEST(FxrnameTest, DestinationBufferIsFilledAndReturned) {
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev");
    char buffer[64];
    memset(buffer, 'x', sizeof buffer);
    char *path = fxrname("/lib/npf.X", buffer);
    if (path != buffer) {
      fprintf(stderr, "destination not returned\n");
      failures++;
    }
    check_text("destination", buffer, "/opt/dev/lib/npf.X");
    // Exactly the advertised room is enough.
    char exact[sizeof "/opt/dev/" + sizeof "lib" - 1];
    check_text("exact room", fxrname("lib", exact), "/opt/dev/lib");
  });
}

TEST(FxrnameTest, RowsWithoutDefaultTakeRowZero) {
  IN_OWN_PROCESS({
    clear_roots();
    char *path = fxrname_getpath(1, "setup", nullptr);
    check_text("row 1", path, "/usr/xr52000/setup");
    free(path);
    check_text("XR52SETUP", getenv("XR52SETUP"), "/usr/xr52000/");
    check_text("XR52000 set on the way", getenv("XR52000"), "/usr/xr52000/");
    check_text("XR52TMPDIR untouched", getenv("XR52TMPDIR"), nullptr);
  });
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev");
    char *path = fxrname_getpath(2, "tmp", nullptr);
    check_text("row 2", path, "/opt/dev/tmp");
    free(path);
    check_text("XR52TMPDIR", getenv("XR52TMPDIR"), "/opt/dev/");
    check_text("XR52000 kept", getenv("XR52000"), "/opt/dev");
  });
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52SETUP", "/setup");
    char *path = fxrname_getpath(1, "x", nullptr);
    check_text("row 1 own variable", path, "/setup/x");
    free(path);
    check_text("XR52000 not needed", getenv("XR52000"), nullptr);
  });
}

TEST(FxrnameTest, RowThreeIgnoresTheEnvironment) {
  IN_OWN_PROCESS({
    clear_roots();
    set_env("XR52000", "/opt/dev");
    char *path = fxrname_getpath(3, "/lib/npf.X", nullptr);
    check_text("row 3", path, "/usr/xr52000/lib/npf.X");
    free(path);
  });
}

TEST(FxrnameTest, RowOutsideTheTableGivesNull) {
  EXPECT_EQ(fxrname_getpath(-1, "x", nullptr), nullptr);
  EXPECT_EQ(fxrname_getpath(4, "x", nullptr), nullptr);
}

#else  // _WIN32

TEST(FxrnameTest, DefaultRootAtTheTopOfTheDrive) {
  IN_OWN_PROCESS({
    unset_env("XR38100");
    set_env("XR52000", "/opt/dev");
    check_path("update", "/xr38100/update");
    check_text("environment untouched", getenv("XR38100"), nullptr);
  });
}

TEST(FxrnameTest, VariableGetsSlashEvenAfterBackslash) {
  IN_OWN_PROCESS({
    set_env("XR38100", "C:\\XR38100\\");
    check_path("/update", "C:\\XR38100\\/update");
  });
  IN_OWN_PROCESS({
    set_env("XR38100", "C:/xr");
    check_path("update", "C:/xr/update");
    set_env("XR38100", "D:/other");
    check_path("update", "C:/xr/update");
  });
}

#endif

}  // namespace
