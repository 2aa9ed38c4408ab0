// Progress on a terminal: under a pseudo-terminal a download shows its bytes,
// percentage and rate and the wait for the reboot its attempts, each on one
// line rewritten in place and cleared before the next line; through a pipe
// not one byte of it appears.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <regex>

#include "harness/harness.h"

using namespace e2e;

namespace {

struct TerminalRun {
  int status = -1;
  std::string out;  // standard output, through a pipe
  std::string tty;  // what the terminal got on standard error
};

// romupdate with standard error on a pseudo-terminal that passes bytes
// unchanged (no line-end translation), standard output on a pipe; with
// `interrupt_when` it gets SIGINT once the terminal shows that text.
TerminalRun run_on_terminal(const std::vector<std::string> &args,
                            const std::string &interrupt_when = "") {
  TerminalRun r;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  EXPECT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  const std::string slave_name = ptsname(master);
  int out[2];
  EXPECT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int slave = open(slave_name.c_str(), O_RDWR);
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(slave, 2);
    close(master);
    close(out[0]);
    setenv("XR52000", examples_root().c_str(), 1);
    setenv("LD_PRELOAD", fastsleep_path().c_str(), 1);
    std::vector<char *> argv;
    const std::string program = romupdate_path();
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) {
      argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
  std::string *into[2] = {&r.tty, &r.out};
  int open_streams = 2;
  bool interrupted = interrupt_when.empty();
  for (int rounds = 0; open_streams > 0 && rounds < 6000; rounds++) {
    if (!interrupted && contains(r.tty, interrupt_when)) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    if (poll(fds, 2, 10) < 0) {
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        continue;
      }
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        into[i]->append(buf, static_cast<size_t>(n));
      } else {
        // The terminal reads EIO once the program has closed its side.
        close(fds[i].fd);
        fds[i].fd = -1;
        open_streams--;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The terminal's bytes without the progress line: each drawing (a carriage
// return and the line) and each clearing (a carriage return, blanks, a
// carriage return) taken out.
std::string without_progress(const std::string &tty) {
  std::string text =
      std::regex_replace(tty, std::regex("\r(Downloading|Waiting for the target): [^\r\n]*"), "");
  return std::regex_replace(text, std::regex("\r +\r"), "");
}

}  // namespace

TEST(Progress, OnATerminalOnlyAndTheMessagesIntact) {
  // Long enough for several reconnection attempts however busy the machine.
  Sim on_terminal({"--target", "38100b", "--reboot-time", "1"});
  TerminalRun t = run_on_terminal({"-v", on_terminal.address(), "T5806"});
  EXPECT_EQ(t.status, 0) << t.tty;
  EXPECT_TRUE(contains(t.tty, "\rDownloading: ")) << t.tty;
  EXPECT_TRUE(
      std::regex_search(t.tty, std::regex("\rDownloading: [0-9]+ of 65536 bytes \\([0-9]+%\\)")))
      << t.tty;
  EXPECT_TRUE(contains(t.tty, "\rWaiting for the target: attempt 1 of 60, 0 s")) << t.tty;
  EXPECT_TRUE(contains(t.tty, "\rWaiting for the target: attempt 2 of 60, ")) << t.tty;
  // Every drawing is cleared before the next message.
  EXPECT_FALSE(std::regex_search(t.tty, std::regex("\r(Downloading|Waiting)[^\r]*\n"))) << t.tty;

  Sim on_pipe({"--target", "38100b", "--reboot-time", "0.3"});
  RunResult p = run({"-v", on_pipe.address(), "T5806"});
  EXPECT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(p.err.find('\r'), std::string::npos) << p.err;
  EXPECT_EQ(without_progress(t.tty), p.err);
  EXPECT_EQ(t.out, p.out);
  EXPECT_TRUE(contains(p.err, "Flash programming SUCCEEDED\n")) << p.err;

  // An interrupt takes the line off before its own message.
  Sim gone({"--target", "38100b", "--never-return"});
  TerminalRun i = run_on_terminal({"-v", gone.address(), "T5806"}, "Waiting for the target");
  EXPECT_EQ(i.status, 1) << i.tty;
  EXPECT_TRUE(contains(without_progress(i.tty), "\n" + romupdate_path() + ": Interrupt\n"))
      << i.tty;

  // Without -v nothing is shown, terminal or not.
  Sim quiet({"--target", "38100b", "--reboot-time", "0.3"});
  TerminalRun q = run_on_terminal({quiet.address(), "T5806"});
  EXPECT_EQ(q.status, 0) << q.tty;
  EXPECT_EQ(q.tty, "");
}
