// The Unix build's side of the platform interface: thin wrappers over the
// system library.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <initializer_list>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

const plat_texts &plat_text() {
  static char user[24];
  static const plat_texts texts = [] {
    snprintf(user, sizeof user, "%d", static_cast<int>(getuid()));
    plat_texts t{};
    t.line_size = 1024;
    t.usage_line4 = "    <configfile> - config file to update in current directory or $XR52000/inst/update\n";
    t.usage_line6 = "    If $XR52000 is not set, /usr/xr52000 will be used.\n\n";
    t.menu_prompt = "Number of Product to Update? (intr (usually cntl C or DEL) to abort) ";
    t.update_candidate = "inst/update/";
    t.update_dir = "inst/update/";
    t.dir_separators = "/";
    t.user = user;
    return t;
  }();
  return texts;
}

const char *plat_socket_startup() { return nullptr; }
void plat_socket_cleanup() {}

void plat_close_socket(plat_socket &sock) {
  if (sock != PLAT_INVALID_SOCKET) close(sock);
  sock = PLAT_INVALID_SOCKET;
}

const char *plat_socket_error_text() { return strerror(errno); }

long plat_send(plat_socket sock, const void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = send(sock, data, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long plat_recv(plat_socket sock, void *data, size_t size) {
  if (sock == PLAT_INVALID_SOCKET) {
    errno = EBADF;
    return -1;
  }
  ssize_t n;
  do {
    n = recv(sock, data, size, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

int plat_wait_readable(plat_socket a, plat_socket b, bool *ready_a, bool *ready_b) {
  *ready_a = *ready_b = false;
  if (a == PLAT_INVALID_SOCKET || b == PLAT_INVALID_SOCKET || a >= FD_SETSIZE || b >= FD_SETSIZE) {
    // Nothing to wait on: let the receive itself report the failure.
    *ready_a = true;
    return 1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(a, &set);
  FD_SET(b, &set);
  int n = select((a > b ? a : b) + 1, &set, nullptr, nullptr, nullptr);
  if (n > 0) {
    *ready_a = FD_ISSET(a, &set);
    *ready_b = FD_ISSET(b, &set);
  }
  return n;
}

// A live target may take as long as it likes to answer a command; only a
// peer that stopped acknowledging altogether is given up.  The first probe
// goes out after 20 idle seconds, then every 5 seconds, and 6 unanswered
// probes end the connection: a vanished target fails the run in about 50
// seconds.  A target that acknowledges but stays silent is waited for.
void plat_socket_keepalive(plat_socket sock) {
  int on = 1, idle = 20, interval = 5, count = 6;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  // Data that is sent but never acknowledged fails in the same bound.
  unsigned timeout_ms = 50000;
  setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
}

int plat_getopt(int argc, char *const argv[], const char *optstring) {
  // glibc permutes arguments unless the option string begins with "+";
  // the options end at the first operand.
  char options[32];
  snprintf(options, sizeof options, "+%s", optstring);
  return getopt(argc, argv, options);
}

int plat_optind() { return optind; }

unsigned plat_sleep(unsigned seconds) { return sleep(seconds); }

void plat_install_interrupts(void (*handler)(int)) {
  static const int signals[] = {SIGHUP, SIGQUIT, SIGINT, SIGTERM};
  for (int sig : signals) {
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(sig, &ignore, &previous) != 0) continue;
    if (previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // Block the other handled signals while one is being handled, so that
    // one run ends once.
    for (int other : signals) sigaddset(&action.sa_mask, other);
    sigaction(sig, &action, nullptr);
  }
}

static void write_all(int fd, const char *text, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    len -= static_cast<size_t>(n);
  }
}

void plat_write_stderr(const char *text) { write_all(2, text, strlen(text)); }
void plat_write_stdout(const char *text) { write_all(1, text, strlen(text)); }
void plat_trace_write(int fd, const char *data, size_t size) { write_all(fd, data, size); }
void plat_trace_close(int fd) { close(fd); }
void plat_exit_now(int status) { _exit(status); }

struct plat_dir {
  DIR *dir;
};

// One directory is listed at a time, as in the Windows build: opening a
// directory releases the one listed before.
plat_dir *plat_opendir(const char *path) {
  static plat_dir current{nullptr};
  if (current.dir) closedir(current.dir);
  current.dir = opendir(path);
  return current.dir ? &current : nullptr;
}

const char *plat_readdir(plat_dir *dir) {
  struct dirent *e = readdir(dir->dir);
  return e ? e->d_name : nullptr;
}

void plat_rewinddir(plat_dir *dir) { rewinddir(dir->dir); }

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
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fd;
  for (int standard : {2, 1}) {
    if (!same_file(st, standard)) continue;
    close(fd);
    return fcntl(standard, F_DUPFD_CLOEXEC, 3);
  }
  // A trace holds the user id and the host name: an old file of the same
  // name keeps no wider mode than a new one.
  if (ftruncate(fd, 0) != 0 || fchmod(fd, 0600) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}
