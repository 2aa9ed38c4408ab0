// File identity in the Unix build: device and inode, size, and the time of
// the last write to the nanosecond.
#include <sys/stat.h>

#include "platform/platform.h"

namespace {

void fill(const struct stat &st, plat_file_stamp *stamp) {
  stamp->device = static_cast<unsigned long long>(st.st_dev);
  stamp->file = static_cast<unsigned long long>(st.st_ino);
  stamp->size = static_cast<unsigned long long>(st.st_size);
  stamp->written = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                   static_cast<unsigned long long>(st.st_mtim.tv_nsec);
}

}  // namespace

bool plat_stamp_path(const char *path, plat_file_stamp *stamp) {
  struct stat st;
  if (stat(path, &st) != 0) {
    return false;
  }
  fill(st, stamp);
  return true;
}

bool plat_stamp_file(FILE *file, plat_file_stamp *stamp) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) {
    return false;
  }
  fill(st, stamp);
  return true;
}
