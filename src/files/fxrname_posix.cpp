// Names under the installation root, Unix build.
//
// The roots come from a small table.  The program itself resolves only
// through row 0; the other rows serve fxrname_getpath callers that need the
// setup or the temporary directory.  A row's root is looked up once and kept
// for the rest of the process, so a later change of the environment has no
// effect.  When a row falls back to its default, the default is also put
// into the environment, so that whatever this process starts sees the same
// installation.
#include "files/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/fxrname_join.h"

namespace {

constexpr const char *default_root = "/usr/xr52000/";

struct root_row {
  const char *variable;      // environment variable that sets the root
  const char *default_root;  // nullptr: the root of row 0
  const char *cached;        // the root found by the first lookup
  const char *setting;       // "variable=root" as handed to the environment
};

// Cached roots are either the built-in default strings or heap copies that
// live until the process ends.
root_row roots[] = {
    {"XR52000", default_root, nullptr, nullptr},
    {"XR52SETUP", nullptr, nullptr, nullptr},
    {"XR52TMPDIR", nullptr, nullptr, nullptr},
    {nullptr, default_root, default_root, nullptr},  // never consults the environment
};
constexpr int root_rows = static_cast<int>(sizeof roots / sizeof roots[0]);

// The root of a row, looked up on first use.  nullptr when an allocation
// fails; the row then stays uncached and the next call tries again.
const char *row_root(int row) {
  root_row &r = roots[row];
  if (r.cached) {
    return r.cached;
  }

  const char *value = getenv(r.variable);
  if (value && *value) {
    char *root = fxrname_root_copy(value);
    if (!root) {
      return nullptr;
    }
    r.cached = root;
    return root;
  }

  // Unset and empty are the same.  Rows without a default share row 0's.
  char *fallback = nullptr;
  const char *root = r.default_root;
  if (!root) {
    fallback = fxrname_getpath(0, "", nullptr);
    if (!fallback) {
      return nullptr;
    }
    root = fallback;
  }
  size_t size = strlen(r.variable) + strlen(root) + 2;
  // The environment keeps pointing at this text, so it lives as long as
  // the process (and stays owned by the row should the variable be reset).
  char *setting = static_cast<char *>(malloc(size));
  if (!setting) {
    free(fallback);
    return nullptr;
  }
  snprintf(setting, size, "%s=%s", r.variable, root);
  if (putenv(setting) != 0) {
    free(setting);
    free(fallback);
    return nullptr;
  }
  r.setting = setting;
  r.cached = root;
  return root;
}

}  // namespace

char *fxrname_getpath(int row, const char *name, char *dest) {
  if (row < 0 || row >= root_rows) {
    return nullptr;
  }
  const char *root = row_root(row);
  if (!root) {
    return nullptr;
  }
  return fxrname_join(root, strlen(root), name, dest);
}

char *fxrname(const char *name, char *dest) { return fxrname_getpath(0, name, dest); }
