// The Windows build's own platform operations, run as a Windows program.
#include "platform/win32_platform.h"

#include "gtw/gtw.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <limits>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <windows.h>
#include <ws2tcpip.h>

namespace {

// ---- Helpers ---------------------------------------------------------------

// An argument vector that owns its texts.
class Argv {
 public:
  Argv(std::initializer_list<const char *> args) {
    for (const char *a : args) {
      texts_.emplace_back(a);
    }
    for (auto &t : texts_) {
      pointers_.push_back(t.data());
    }
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(texts_.size()); }
  char *const *argv() { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<char *> pointers_;
};

void reset_getopt() {
  win32::optind = 1;
  win32::optpos = 1;
  win32::optarg = nullptr;
  win32::opterr = 0;
}

// Every result of getopt up to -1, as a string of option characters.
std::string parse_all(Argv &args, const char *optstring) {
  reset_getopt();
  std::string seen;
  int c;
  while ((c = win32::getopt(args.argc(), args.argv(), optstring)) != -1) {
    seen += static_cast<char>(c);
  }
  return seen;
}

// Redirects a standard handle into a file for the life of the object.
class CaptureFd {
 public:
  explicit CaptureFd(int fd) : fd_(fd) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "cap", 0, path_);
    file_ = _open(path_, _O_RDWR | _O_TRUNC | _O_BINARY);
    saved_ = _dup(fd_);
    _dup2(file_, fd_);
  }
  ~CaptureFd() {
    restore();
    _unlink(path_);
  }
  std::string text() {
    restore();
    std::string out;
    int f = _open(path_, _O_RDONLY | _O_BINARY);
    char buf[512];
    int n;
    while ((n = _read(f, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<size_t>(n));
    }
    _close(f);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) {
      return;
    }
    _dup2(saved_, fd_);
    _close(saved_);
    _close(file_);
    saved_ = -1;
  }
  int fd_;
  int saved_ = -1;
  int file_ = -1;
  char path_[MAX_PATH];
};

// A fresh directory under the temporary directory, removed with its files.
class TempDir {
 public:
  TempDir() {
    static int serial;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    snprintf(path_, sizeof path_, "%sromupdate-%lu-%d", base,
             static_cast<unsigned long>(GetCurrentProcessId()), ++serial);
    CreateDirectoryA(path_, nullptr);
  }
  ~TempDir() {
    SetFileAttributesA(path_, FILE_ATTRIBUTE_DIRECTORY);
    for (const auto &name : made_) {
      std::string p = std::string(path_) + "\\" + name;
      if (!DeleteFileA(p.c_str())) {
        RemoveDirectoryA(p.c_str());
      }
    }
    RemoveDirectoryA(path_);
  }
  void file(const char *name) {
    std::string p = std::string(path_) + "\\" + name;
    FILE *f = fopen(p.c_str(), "w");
    if (f) {
      fclose(f);
    }
    made_.emplace_back(name);
  }
  void subdir(const char *name) {
    std::string p = std::string(path_) + "\\" + name;
    CreateDirectoryA(p.c_str(), nullptr);
    made_.emplace_back(name);
  }
  const char *path() const { return path_; }

 private:
  char path_[MAX_PATH];
  std::vector<std::string> made_;
};

std::vector<std::string> list_all(plat_dir *dir) {
  std::vector<std::string> names;
  const char *name;
  while ((name = win32::readdir(dir)) != nullptr) {
    names.emplace_back(name);
  }
  return names;
}

// ---- Option parsing --------------------------------------------------------

TEST(Win32Getopt, DashAndSlashOptionsGroupedOrSeparate) {
  Argv slash{"romupdate", "/vb", "host"};
  EXPECT_EQ(parse_all(slash, "?vb"), "vb");
  EXPECT_EQ(win32::optind, 2);

  Argv dash{"romupdate", "-v", "-b", "host", "t.cfg"};
  EXPECT_EQ(parse_all(dash, "?vb"), "vb");
  EXPECT_EQ(win32::optind, 3);

  Argv mixed{"romupdate", "/v", "-b", "host"};
  EXPECT_EQ(parse_all(mixed, "?vb"), "vb");
  EXPECT_EQ(win32::optind, 3);

  // The option-argument pointer is cleared by an option without one.
  reset_getopt();
  win32::optarg = mixed.argv()[0];
  EXPECT_EQ(win32::getopt(mixed.argc(), mixed.argv(), "?vb"), 'v');
  EXPECT_EQ(win32::optarg, nullptr);
}

TEST(Win32Getopt, WhereTheOptionsEnd) {
  // "-" and "/" alone end the options and are left as operands.
  Argv dash{"romupdate", "-v", "-", "-b"};
  EXPECT_EQ(parse_all(dash, "?vb"), "v");
  EXPECT_EQ(win32::optind, 2);

  Argv slash{"romupdate", "/", "-b"};
  EXPECT_EQ(parse_all(slash, "?vb"), "");
  EXPECT_EQ(win32::optind, 1);

  // "--" ends them and is consumed.
  Argv dashdash{"romupdate", "-b", "--", "-v"};
  EXPECT_EQ(parse_all(dashdash, "?vb"), "b");
  EXPECT_EQ(win32::optind, 3);

  // After the first operand an option-looking argument is an operand.
  Argv late{"romupdate", "-v", "host", "/b", "-x"};
  EXPECT_EQ(parse_all(late, "?vb"), "v");
  EXPECT_EQ(win32::optind, 2);

  // An empty argument is an operand, and so is the end of the vector.
  Argv empty{"romupdate", "", "-v"};
  EXPECT_EQ(parse_all(empty, "?vb"), "");
  EXPECT_EQ(win32::optind, 1);
  Argv none{"romupdate"};
  EXPECT_EQ(parse_all(none, "?vb"), "");
  EXPECT_EQ(win32::optind, 1);
}

TEST(Win32Getopt, UnknownOptionsAndQuestionMark) {
  Argv slash_x{"romupdate", "/x", "host"};
  EXPECT_EQ(parse_all(slash_x, "?vb"), "?");
  EXPECT_EQ(win32::optopt, 'x');
  EXPECT_EQ(win32::optind, 2);

  Argv dash_x{"romupdate", "-x"};
  EXPECT_EQ(parse_all(dash_x, "?vb"), "?");
  EXPECT_EQ(win32::optopt, 'x');

  // -? is a valid option of "?vb" and answers "?" just the same.
  Argv question{"romupdate", "-?"};
  EXPECT_EQ(parse_all(question, "?vb"), "?");
  EXPECT_EQ(win32::optopt, '?');

  // ":" is never an option, and a group carries on past an unknown letter.
  Argv colon{"romupdate", "-v:b"};
  EXPECT_EQ(parse_all(colon, "?vb"), "v?b");
  EXPECT_EQ(win32::optind, 2);
}

TEST(Win32Getopt, OptionArguments) {
  Argv attached{"romupdate", "-afile", "host"};
  reset_getopt();
  EXPECT_EQ(win32::getopt(attached.argc(), attached.argv(), "a:v"), 'a');
  EXPECT_STREQ(win32::optarg, "file");
  EXPECT_EQ(win32::optind, 2);

  Argv separate{"romupdate", "/va", "file", "host"};
  reset_getopt();
  EXPECT_EQ(win32::getopt(separate.argc(), separate.argv(), "a:v"), 'v');
  EXPECT_EQ(win32::getopt(separate.argc(), separate.argv(), "a:v"), 'a');
  EXPECT_STREQ(win32::optarg, "file");
  EXPECT_EQ(win32::optind, 3);
  EXPECT_EQ(win32::getopt(separate.argc(), separate.argv(), "a:v"), -1);

  Argv missing{"romupdate", "-a"};
  EXPECT_EQ(parse_all(missing, "a:v"), "?");
  EXPECT_EQ(win32::optopt, 'a');
  EXPECT_EQ(win32::optpos, 1);
}

TEST(Win32Getopt, PrintsNothingWithDiagnosticsOff) {
  Argv args{"romupdate", "-x", "-a"};
  CaptureFd err(2);
  EXPECT_EQ(parse_all(args, "a:v"), "??");
  EXPECT_EQ(err.text(), "");

  // The switch exists; with it on the diagnostics go straight to the handle.
  CaptureFd err_on(2);
  reset_getopt();
  win32::opterr = 1;
  while (win32::getopt(args.argc(), args.argv(), "a:v") != -1) {
  }
  win32::opterr = 0;
  EXPECT_EQ(err_on.text(),
            "romupdate: illegal option -- x\nromupdate: option requires an argument -- a\n");
}

TEST(Win32Getopt, ThroughThePlatformInterface) {
  Argv args{"romupdate", "/b", "host"};
  reset_getopt();
  EXPECT_EQ(plat_getopt(args.argc(), args.argv(), "?vb"), 'b');
  EXPECT_EQ(plat_getopt(args.argc(), args.argv(), "?vb"), -1);
  EXPECT_EQ(plat_optind(), 2);
}

TEST(Win32Getopt, StalePositionDoesNotReadPastTheArgument) {
  Argv longer{"romupdate", "-vbv"};
  reset_getopt();
  EXPECT_EQ(win32::getopt(longer.argc(), longer.argv(), "?vb"), 'v');
  EXPECT_EQ(win32::getopt(longer.argc(), longer.argv(), "?vb"), 'b');
  // A caller that resets only optind, onto a shorter vector.
  Argv shorter{"romupdate", "-v"};
  win32::optind = 1;
  EXPECT_EQ(win32::getopt(shorter.argc(), shorter.argv(), "?vb"), 'v');
  EXPECT_EQ(win32::getopt(shorter.argc(), shorter.argv(), "?vb"), -1);
}

// ---- Directory listing -----------------------------------------------------

TEST(Win32Dir, ListsEveryEntryAndRewinds) {
  TempDir dir;
  dir.file("a.cfg");
  dir.file("b.txt");
  dir.subdir("sub");

  plat_dir *d = win32::opendir(dir.path());
  ASSERT_NE(d, nullptr);
  std::vector<std::string> first = list_all(d);
  std::set<std::string> names(first.begin(), first.end());
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.cfg", "b.txt", "sub"}));
  EXPECT_EQ(first.size(), names.size());
  // The end stays the end.
  EXPECT_EQ(win32::readdir(d), nullptr);

  // After a rewind the same entries come again in the same order, also
  // when the first pass stopped part-way.
  win32::rewinddir(d);
  ASSERT_NE(win32::readdir(d), nullptr);
  win32::rewinddir(d);
  EXPECT_EQ(list_all(d), first);

  // The platform interface reaches the same listing.
  plat_rewinddir(d);
  const char *name = plat_readdir(d);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name, first[0]);
}

TEST(Win32Dir, OnlyPlainDirectoriesOpen) {
  TempDir dir;
  dir.file("plain.txt");
  std::string file = std::string(dir.path()) + "\\plain.txt";
  std::string missing = std::string(dir.path()) + "\\nothing";
  EXPECT_EQ(win32::opendir(file.c_str()), nullptr);
  EXPECT_EQ(win32::opendir(missing.c_str()), nullptr);
  EXPECT_EQ(win32::opendir(nullptr), nullptr);
  EXPECT_NE(plat_opendir(dir.path()), nullptr);
}

// A directory that carries another attribute bit besides the directory bit
// is not listed.  Not every file system under the test keeps every bit, so
// each case runs only where the bit stuck.
TEST(Win32Dir, DirectoryWithAnotherAttributeBitDoesNotOpen) {
  TempDir dir;
  dir.subdir(".marked");
  std::string marked = std::string(dir.path()) + "\\.marked";
  int tried = 0;
  for (DWORD bit : {FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_HIDDEN}) {
    SetFileAttributesA(marked.c_str(), FILE_ATTRIBUTE_DIRECTORY | bit);
    if (!(GetFileAttributesA(marked.c_str()) & bit)) {
      continue;
    }
    tried++;
    EXPECT_EQ(win32::opendir(marked.c_str()), nullptr) << "attribute " << bit;
  }
  SetFileAttributesA(marked.c_str(), FILE_ATTRIBUTE_DIRECTORY);
  if (tried == 0) {
    GTEST_SKIP() << "this file system keeps no extra bit on a directory";
  }
}

TEST(Win32Dir, CurrentDirectoryIsListedByDot) {
  TempDir dir;
  dir.file("x.cfg");
  char saved[MAX_PATH];
  ASSERT_NE(_getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(_chdir(dir.path()), 0);
  plat_dir *d = win32::opendir(".");
  std::vector<std::string> names;
  if (d) {
    names = list_all(d);
  }
  _chdir(saved);
  ASSERT_NE(d, nullptr);
  std::set<std::string> got(names.begin(), names.end());
  EXPECT_TRUE(got.count("x.cfg"));
}

TEST(Win32Dir, OverlongPathIsRefusedAndOldListingIsNotReused) {
  TempDir dir;
  dir.file("one.cfg");
  plat_dir *d = win32::opendir(dir.path());
  ASSERT_NE(d, nullptr);
  ASSERT_NE(win32::readdir(d), nullptr);

  std::string overlong(300, 'a');
  overlong.replace(0, 3, "C:\\");
  EXPECT_EQ(win32::opendir(overlong.c_str()), nullptr);
  std::string just_over = std::string(dir.path()) + "\\";
  just_over.resize(static_cast<size_t>(win32::DIR_MAX_PATH) + 1, '.');
  EXPECT_EQ(win32::opendir(just_over.c_str()), nullptr);

  // Opening again starts a new listing from the first entry.
  TempDir other;
  other.file("two.cfg");
  d = win32::opendir(other.path());
  ASSERT_NE(d, nullptr);
  std::vector<std::string> names = list_all(d);
  std::set<std::string> got(names.begin(), names.end());
  EXPECT_EQ(got, (std::set<std::string>{".", "..", "two.cfg"}));
}

// ---- Sleeping --------------------------------------------------------------

TEST(Win32Sleep, WaitsMoreThanNMinusOneAndAtMostNSeconds) {
  using clock = std::chrono::steady_clock;
  auto t0 = clock::now();
  EXPECT_EQ(win32::sleep(0), 0u);
  EXPECT_LT(clock::now() - t0, std::chrono::milliseconds(100));

  t0 = clock::now();
  EXPECT_EQ(plat_sleep(2), 0u);
  auto waited = clock::now() - t0;
  EXPECT_GT(waited, std::chrono::seconds(1));
  // The polling step may carry the end a few milliseconds past the second.
  EXPECT_LE(waited, std::chrono::milliseconds(2060));
}

// ---- Sockets ---------------------------------------------------------------

class Win32Sockets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(plat_socket_startup(), nullptr); }
  void TearDown() override {
    plat_close_socket(client_);
    plat_close_socket(server_);
    plat_socket_cleanup();
  }

  // A connected pair over the loopback address 127.0.50.1.
  void connect_pair() {
    plat_socket listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(listener, PLAT_INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.50.1");
    addr.sin_port = 0;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    int len = sizeof addr;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    server_ = accept(listener, nullptr, nullptr);
    plat_close_socket(listener);
    ASSERT_NE(server_, PLAT_INVALID_SOCKET);
  }

  plat_socket client_ = PLAT_INVALID_SOCKET;
  plat_socket server_ = PLAT_INVALID_SOCKET;
};

TEST_F(Win32Sockets, ErrorTextCarriesTheCodeAndALineFeed) {
  WSASetLastError(WSAECONNRESET);
  EXPECT_STREQ(plat_socket_error_text(), "WINSOCK ERROR = 10054\n");
  WSASetLastError(std::numeric_limits<int>::min());
  EXPECT_STREQ(plat_socket_error_text(), "WINSOCK ERROR = -2147483648\n");
}

TEST_F(Win32Sockets, SendReceiveWaitAndClose) {
  ASSERT_NO_FATAL_FAILURE(connect_pair());
  plat_socket_keepalive(client_);
  BOOL on = FALSE;
  int len = sizeof on;
  getsockopt(client_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&on), &len);
  EXPECT_TRUE(on);

  EXPECT_FALSE(plat_peer_gone(server_));
  ASSERT_EQ(plat_send(client_, "ver\n", 4), 4);
  EXPECT_FALSE(plat_peer_gone(server_));  // bytes waiting: the peer is there
  bool ready_client, ready_server;
  EXPECT_EQ(plat_wait_readable(client_, server_, &ready_client, &ready_server), 1);
  EXPECT_FALSE(ready_client);
  EXPECT_TRUE(ready_server);
  char buf[16] = {};
  EXPECT_EQ(plat_recv(server_, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "ver\n");

  // A peer that closes its end is seen as an end of stream.
  plat_close_socket(server_);
  EXPECT_EQ(server_, PLAT_INVALID_SOCKET);
  EXPECT_TRUE(plat_peer_gone(server_));
  EXPECT_TRUE(plat_peer_gone(client_));  // seen before any receive
  EXPECT_EQ(plat_recv(client_, buf, sizeof buf), 0);

  // A closed record fails every call instead of reaching a reused handle.
  plat_close_socket(client_);
  EXPECT_EQ(plat_send(client_, "x", 1), -1);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(plat_recv(client_, buf, sizeof buf), -1);
  EXPECT_EQ(plat_wait_readable(client_, server_, &ready_client, &ready_server), 1);
  EXPECT_TRUE(ready_client);
  plat_close_socket(client_);  // closing twice is harmless
}

// Every failed opening stops the socket layer it started: after any number
// of failed attempts only this test's own start is left to stop.
TEST(Win32SocketLayer, FailedOpeningsStopWhatTheyStarted) {
  ASSERT_EQ(plat_socket_startup(), nullptr);
  gtw_conn conn;
  for (int attempt = 0; attempt < 5; attempt++) {
    EXPECT_NE(gtw_open(&conn, "127.0.50.2", GTW_OPEN_LOCK) & GTW_FAILED, 0);  // nothing listens
    EXPECT_NE(gtw_open(&conn, "no-such-target.invalid", GTW_OPEN_LOCK) & GTW_FAILED, 0);
  }
  gtw_flush_messages();
  int stops = 0;
  while (stops < 20 && WSACleanup() == 0) {
    stops++;
  }
  EXPECT_EQ(stops, 1);
}

// ---- Process ---------------------------------------------------------------

volatile int caught_signal;
void record_signal(int sig) { caught_signal = sig; }

TEST(Win32Process, InterruptHandlerOnlyWhenNotIgnored) {
  signal(SIGINT, SIG_IGN);
  plat_install_interrupts(record_signal);
  EXPECT_EQ(signal(SIGINT, SIG_DFL), SIG_IGN);

  plat_install_interrupts(record_signal);
  caught_signal = 0;
  raise(SIGINT);
  EXPECT_EQ(caught_signal, 2);
  signal(SIGINT, SIG_DFL);
}

TEST(Win32Process, UnbufferedWritesReachTheHandles) {
  CaptureFd out(1);
  CaptureFd err(2);
  plat_write_stdout("to stdout\n");
  plat_write_stderr("romupdate: Interrupt\n");
  EXPECT_EQ(err.text(), "romupdate: Interrupt\n");
  EXPECT_EQ(out.text(), "to stdout\n");
}

TEST(Win32Process, TextsOfTheWindowsBuild) {
  const plat_texts &t = plat_text();
  EXPECT_EQ(t.line_size, 512);
  EXPECT_STREQ(t.usage_line4,
               "    <configfile> - config file to update in the current directory or "
               "$XR38100\x5cupdate\n");
  EXPECT_STREQ(t.usage_line6, "    If $XR38100 is not set, \x5cxr38100 will be used.\n");
  EXPECT_STREQ(t.menu_prompt, "Number of Product to Update? (cntl C to abort) ");
  EXPECT_STREQ(t.update_candidate, "update\x5c");
  EXPECT_STREQ(t.update_dir, "update");
  EXPECT_STREQ(t.dir_separators, "/\x5c");
  EXPECT_STREQ(t.user, "msdos");
  // One backslash each, never a doubled one.
  EXPECT_EQ(std::string(t.usage_line4).find("\\\\"), std::string::npos);
  EXPECT_EQ(std::string(t.usage_line6).find("\\\\"), std::string::npos);
}

}  // namespace

// ---- Trace file ------------------------------------------------------------

std::string contents_of(const char *path) {
  std::string text;
  if (FILE *f = fopen(path, "rb")) {
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
      text.append(buf, n);
    }
    fclose(f);
  }
  return text;
}

// An old trace starts empty, and line ends stay single line feeds.
TEST(Win32Trace, OldFileIsEmptiedAndWrittenAsBytes) {
  const char *path = "win32-trace-test.trace";
  FILE *f = fopen(path, "wb");
  ASSERT_NE(f, nullptr);
  fputs("an older and much longer trace\n", f);
  fclose(f);
  const char *refusal = "unset";
  int fd = plat_trace_create(path, &refusal, nullptr);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(refusal, nullptr);
  EXPECT_TRUE(plat_trace_write(fd, "0\ttrace\n", 8));
  plat_trace_close(fd);
  EXPECT_EQ(contents_of(path), "0\ttrace\n");
  remove(path);
}

// A link planted at the name is refused, and what it names is left alone.
TEST(Win32Trace, SymbolicLinkIsRefused) {
  const char *victim = "win32-trace-victim.txt";
  const char *link = "win32-trace-link.trace";
  FILE *f = fopen(victim, "wb");
  ASSERT_NE(f, nullptr);
  fputs("not a trace\n", f);
  fclose(f);
  remove(link);
  // Creating one takes a privilege, and some systems only pretend to.
  DWORD attributes =
      CreateSymbolicLinkA(link, victim, 0) ? GetFileAttributesA(link) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    remove(victim);
    GTEST_SKIP() << "no symbolic links here";
  }
  const char *refusal = nullptr;
  int fd = plat_trace_create(link, &refusal, nullptr);
  EXPECT_LT(fd, 0);
  if (fd >= 0) {
    plat_trace_close(fd);
  }
  EXPECT_STREQ(refusal, "it is a symbolic link");
  EXPECT_EQ(contents_of(victim), "not a trace\n");
  DeleteFileA(link);
  remove(victim);
}

// The writer learns that its trace could not be written, to say so.
TEST(Win32Trace, FailedWriteIsReported) {
  const char *path = "win32-trace-test.trace";
  FILE *f = fopen(path, "wb");
  ASSERT_NE(f, nullptr);
  fclose(f);
  int fd = _open(path, _O_RDONLY | _O_BINARY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(plat_trace_write(fd, "0\ttrace\n", 8));
  _close(fd);
  remove(path);
}
