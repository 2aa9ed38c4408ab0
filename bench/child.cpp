// Child processes of the benchmark: the simulator, and the update program
// run under wait4 so that the kernel reports its peak memory.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench.h"

namespace bench {

namespace {

constexpr int kFirstHost = 1;  // 127.0.70.1
constexpr int kLastHost = 20;  // 127.0.70.20

std::vector<char *> c_args(std::vector<std::string> &args) {
  std::vector<char *> v;
  for (auto &a : args) {
    v.push_back(a.data());
  }
  v.push_back(nullptr);
  return v;
}

// In a fresh child: die with the benchmark rather than linger after it.
void die_with_parent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) {
    _exit(127);
  }
}

// Reaps pid within `seconds`, killing it if it has not ended by then.  The
// wait status, or -1 (neither exited nor signalled) when it cannot be had.
int reap(int pid, double seconds, rusage *usage, bool *timed_out) {
  double start = now_seconds();
  int status = 0;
  rusage scratch_usage{};
  if (!usage) {
    usage = &scratch_usage;
  }
  if (timed_out) {
    *timed_out = false;
  }
  for (;;) {
    int r = wait4(pid, &status, WNOHANG, usage);
    if (r == pid) {
      return status;
    }
    if (r < 0 && errno != EINTR) {
      return -1;
    }
    if (now_seconds() - start > seconds) {
      if (timed_out) {
        *timed_out = true;
      }
      kill(pid, SIGKILL);
      while (wait4(pid, &status, 0, usage) < 0 && errno == EINTR) {
      }
      return status;
    }
    usleep(2000);
  }
}

}  // namespace

sim_child::sim_child(const std::string &sim_path, const std::vector<std::string> &options,
                     const std::string &scratch) {
  std::string err_path = scratch + "/sim.err";
  const pid_t parent = getpid();
  for (int host = kFirstHost; host <= kLastHost; ++host) {
    address_ = "127.0.70." + std::to_string(host);
    std::vector<std::string> args = {sim_path, "--address", address_};
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    unlink(err_path.c_str());
    int pid = fork();
    if (pid == 0) {
      die_with_parent(parent);
      dup2(out[1], 1);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) {
        dup2(err, 2);
      }
      int in = open("/dev/null", O_RDONLY);
      if (in >= 0) {
        dup2(in, 0);
      }
      auto argv = c_args(args);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
      close(out[0]);
      error_ = "fork failed";
      return;
    }
    // Ready once it says both ports are bound.
    std::string seen;
    bool ready = false, ended = false;
    double start = now_seconds();
    while (!ready && !ended && now_seconds() - start < 10) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        continue;
      }
      char buf[256];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) {
        ended = true;
      } else {
        seen.append(buf, static_cast<size_t>(n));
        ready = seen.find("listening on") != std::string::npos;
      }
    }
    close(out[0]);
    if (ready) {
      pid_ = pid;
      return;
    }
    kill(pid, SIGKILL);
    reap(pid, 5, nullptr, nullptr);
    error_ = read_file(err_path);
    // An address some other program holds: try the next one.
    if (error_.find("cannot listen") == std::string::npos) {
      break;
    }
  }
  if (error_.empty()) {
    error_ = "no free address in 127.0.70.1 to 127.0.70.20";
  }
}

sim_child::~sim_child() { stop(); }

void sim_child::stop() {
  if (pid_ <= 0) {
    return;
  }
  kill(pid_, SIGTERM);
  reap(pid_, 10, nullptr, nullptr);
  pid_ = -1;
}

run_result run_measured(const std::vector<std::string> &arguments,
                        const std::map<std::string, std::string> &env, const std::string &cwd,
                        const std::string &out_path, const std::string &err_path, double timeout) {
  run_result result;
  std::vector<std::string> args = arguments;
  const pid_t parent = getpid();
  double start = now_seconds();
  int pid = fork();
  if (pid == 0) {
    die_with_parent(parent);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) {
      _exit(126);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (auto &kv : env) {
      setenv(kv.first.c_str(), kv.second.c_str(), 1);
    }
    // The program starts from the default dispositions, as from a shell.
    signal(SIGPIPE, SIG_DFL);
    auto argv = c_args(args);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    return result;
  }
  rusage usage{};
  int status = reap(pid, timeout, &usage, &result.timed_out);
  result.seconds = now_seconds() - start;
  result.max_rss_kib = usage.ru_maxrss;  // kilobytes on Linux
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

bool has_fastsleep(const paths &p) {
  if (p.fastsleep.empty()) {
    fprintf(stderr,
            "romupdate-bench: built without the tests' sleep shortener; configure with "
            "ROMUPDATE_TESTS=ON\n");
    return false;
  }
  return true;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool write_file(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  return static_cast<bool>(f);
}

}  // namespace bench
