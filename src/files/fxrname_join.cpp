// Building a full path from a root and a name, the same in both builds.
#include "files/fxrname_join.h"

#include <cstdlib>
#include <cstring>

char *fxrname_join(const char *root, size_t root_len, const char *name, char *dest) {
  size_t name_len = strlen(name);
  if (!dest) {
    dest = static_cast<char *>(malloc(root_len + name_len + 1));
    if (!dest) {
      return nullptr;
    }
  }
  // "/lib/npf.X" means the same as "lib/npf.X": there is no way to name a
  // file outside the installation through here.
  if (name_len > 0 && name[0] == '/') {
    name++;
    name_len--;
  }
  memcpy(dest, root, root_len);
  memcpy(dest + root_len, name, name_len);
  dest[root_len + name_len] = '\0';
  return dest;
}

char *fxrname_root_copy(const char *value) {
  size_t len = strlen(value);
  // Room for the value, a "/" and the terminator.
  char *root = static_cast<char *>(malloc(len + 2));
  if (!root) {
    return nullptr;
  }
  memcpy(root, value, len);
  if (len == 0 || value[len - 1] != '/') {
    root[len++] = '/';
  }
  root[len] = '\0';
  return root;
}
