// Directory listing for the Unix build, over the system's opendir.
#include "platform/platform.h"

#include <dirent.h>

struct plat_dir {
  DIR *dir;
};

// One directory is listed at a time, as in the Windows build: opening a
// directory releases the one listed before.
plat_dir *plat_opendir(const char *path) {
  static plat_dir current{nullptr};
  if (current.dir) {
    closedir(current.dir);
  }
  current.dir = opendir(path);
  return current.dir ? &current : nullptr;
}

const char *plat_readdir(plat_dir *dir) {
  struct dirent *e = readdir(dir->dir);
  return e ? e->d_name : nullptr;
}

void plat_rewinddir(plat_dir *dir) { rewinddir(dir->dir); }
