// The trace file of the Unix build: created with mode 0600 (it holds the
// user id and the host name), written unbuffered (plat_trace_write,
// posix_process.cpp).  A terminal or /dev/stderr works for live viewing.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

const char *plat_name() { return "unix"; }

namespace {

bool same_file(const struct stat &a, int fd) {
  struct stat b;
  return fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

// A trace sent to the file behind standard output or error (2>log with
// ROMUPDATE_TRACE=/dev/stderr) shares that stream's file position, so that
// neither writes over the other; any other regular file starts empty.
int plat_trace_create(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return fd;
  }
  for (int standard : {2, 1}) {
    if (!same_file(st, standard)) {
      continue;
    }
    close(fd);
    return fcntl(standard, F_DUPFD_CLOEXEC, 3);
  }
  // A trace holds the user id and the host name: an old file of the same
  // name keeps no wider mode than a new one.  The mode first: a file that
  // is not ours to narrow is refused before it is emptied.
  if (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void plat_trace_close(int fd) { close(fd); }
