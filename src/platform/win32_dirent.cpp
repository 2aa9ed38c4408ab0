// Directory listing for the Windows build, over the runtime library's
// find-first / find-next search.
//
// One directory is listed at a time: there is one record, one search and
// one name buffer for the whole process, and opening a directory starts the
// record afresh.  The record lives until the process ends.
#include "platform/win32_platform.h"

#include <cstdio>
#include <cstring>
#include <io.h>

struct plat_dir {
  int entries;  // entries read since opening or rewinding
  char path[WIN32_DIR_PATH_SIZE];
  struct _finddata_t entry;  // the latest entry found
};

namespace win32 {

namespace {

plat_dir record;
intptr_t search = -1;
char name[WIN32_DIR_NAME_SIZE];

// Searches are closed when a new one replaces them, so listing the same
// directory again and again does not pile up open search handles.
void end_search() {
  if (search != -1) {
    _findclose(search);
  }
  search = -1;
}

}  // namespace

plat_dir *opendir(const char *path) {
  // The search pattern is the path and "\*.*" in a fixed buffer; a longer
  // path is refused rather than listed under a cut-off name.
  if (path == nullptr || strlen(path) > static_cast<size_t>(DIR_MAX_PATH)) {
    return nullptr;
  }
  end_search();
  record.entries = 0;
  snprintf(record.path, sizeof record.path, "%s", path);

  struct _finddata_t self;
  intptr_t lookup = _findfirst(record.path, &self);
  if (lookup != -1) {
    _findclose(lookup);
    // Only a plain directory: a file, or a directory that also carries the
    // read-only, hidden, system or archive bit, is not listed.
    if (self.attrib != DIR_ATTRIBUTE) {
      return nullptr;
    }
  } else if (strcmp(record.path, ".") != 0) {
    // The current directory is always there even where the lookup of "."
    // finds nothing.
    return nullptr;
  }
  return &record;
}

const char *readdir(plat_dir *dir) {
  if (dir == nullptr) {
    return nullptr;
  }
  if (dir->entries == 0) {
    char pattern[WIN32_DIR_PATH_SIZE];
    if (strcmp(dir->path, ".") == 0) {
      snprintf(pattern, sizeof pattern, "*.*");
    } else {
      snprintf(pattern, sizeof pattern, "%s\\*.*", dir->path);
    }
    end_search();
    search = _findfirst(pattern, &dir->entry);
    if (search == -1) {
      return nullptr;
    }
  } else {
    if (search == -1 || _findnext(search, &dir->entry) != 0) {
      return nullptr;
    }
  }
  dir->entries++;
  snprintf(name, sizeof name, "%s", dir->entry.name);
  return name;
}

// The next read starts a new search at the first entry.  The menu lists the
// directory twice and counts on both passes delivering the same entries in
// the same order, which a new search over an unchanged directory does.
void rewinddir(plat_dir *dir) {
  if (dir != nullptr) {
    dir->entries = 0;
  }
}

}  // namespace win32

plat_dir *plat_opendir(const char *path) { return win32::opendir(path); }
const char *plat_readdir(plat_dir *dir) { return win32::readdir(dir); }
void plat_rewinddir(plat_dir *dir) { win32::rewinddir(dir); }
