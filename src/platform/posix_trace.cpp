// The trace file of the Unix build: created with mode 0600 (it holds the
// user id and the host name), written unbuffered (plat_trace_write,
// posix_process.cpp).  A terminal, a pipe or /dev/stderr works for live
// viewing.
//
// The name comes from the environment and may lie in a folder that others
// can write to, such as /tmp, so the file is taken only as what it claims to
// be: a link at the name is not followed to a file, and a file that is not
// ours alone is neither emptied nor written.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

const char *plat_name() { return "unix"; }

namespace {

const char kLink[] =
    "it is a symbolic link (only a terminal, a pipe or standard output or "
    "error may be reached through one)";
const char kForeign[] = "it belongs to another user";
const char kHardLinked[] = "it has other names (hard links) as well";
const char kNotAFile[] = "it is neither a regular file, a terminal nor a pipe";

bool same_file(const struct stat &a, int fd) {
  struct stat b;
  return fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int refuse(int fd, const char *why, const char **refusal) {
  close(fd);
  *refusal = why;
  return -1;
}

// Opened without waiting: a FIFO without a reader gives ENXIO instead of
// blocking in open().  A link at the name is followed only when asked.
int open_trace(const char *path, bool through_link, bool wait) {
  int flags = O_WRONLY | O_CLOEXEC;
  if (!through_link) {
    flags |= O_CREAT | O_NOFOLLOW;
  }
  if (!wait) {
    flags |= O_NONBLOCK;
  }
  return open(path, flags, 0600);
}

bool is_fifo(const char *path, bool through_link) {
  struct stat st;
  return (through_link ? stat(path, &st) : lstat(path, &st)) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

// A trace sent to the file behind standard output or error (2>log with
// ROMUPDATE_TRACE=/dev/stderr) shares that stream's file position, so that
// neither writes over the other; any other regular file starts empty.
int plat_trace_create(const char *path, const char **refusal, void (*waiting)(const char *path)) {
  *refusal = nullptr;
  bool through_link = false;
  int fd = open_trace(path, false, false);
  if (fd < 0 && errno == ELOOP) {
    // A link at the name: /dev/stderr is one.  Followed, but never to a
    // file that it could create, narrow or empty (checked below).
    through_link = true;
    fd = open_trace(path, true, false);
    if (fd < 0 && errno == ENOENT) {
      *refusal = kLink;
      return -1;
    }
  }
  if (fd < 0 && errno == ENXIO && is_fifo(path, through_link)) {
    // A FIFO that nobody reads yet: say so, then wait for its reader (an
    // interrupt ends the wait).
    waiting(path);
    fd = open_trace(path, through_link, true);
  }
  if (fd < 0) {
    return -1;
  }

  struct stat st;
  if (fstat(fd, &st) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  if (S_ISREG(st.st_mode)) {
    for (int standard : {2, 1}) {
      if (same_file(st, standard)) {
        close(fd);
        return fcntl(standard, F_DUPFD_CLOEXEC, 3);
      }
    }
  }
  if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
    // Written with blocking writes, like standard error: a reader that
    // falls behind slows the run down rather than losing events.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
  }
  if (!S_ISREG(st.st_mode)) {
    return refuse(fd, kNotAFile, refusal);
  }
  if (through_link) {
    return refuse(fd, kLink, refusal);
  }
  if (st.st_uid != geteuid()) {
    return refuse(fd, kForeign, refusal);
  }
  if (st.st_nlink != 1) {
    return refuse(fd, kHardLinked, refusal);
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
