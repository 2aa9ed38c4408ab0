// Names under the installation root, Windows build.
//
// One root, from "XR38100" or the default at the top of the current drive.
// It is looked up once and kept for the rest of the process.  Unlike the
// Unix build, the default is not written back into the environment.
//
// Only "/" counts as the root's trailing separator: a value that ends in a
// backslash gets a "/" after it (C:\XR38100\ becomes C:\XR38100\/), which
// the system's file calls accept as one more separator.
#include "files/files.h"

#include <cstdlib>
#include <cstring>

#include "files/fxrname_join.h"

namespace {

const char *cached_root;
size_t cached_root_len;

}  // namespace

char *fxrname(const char *name, char *dest) {
  if (!cached_root) {
    const char *value = getenv("XR38100");
    const char *root = "/xr38100/";
    if (value && *value) {
      char *copy = fxrname_root_copy(value);
      if (!copy) {
        return nullptr;
      }
      root = copy;
    }
    cached_root = root;
    cached_root_len = strlen(root);
  }
  return fxrname_join(cached_root, cached_root_len, name, dest);
}
