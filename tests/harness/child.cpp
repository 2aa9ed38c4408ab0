#include "harness/child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

extern char **environ;

namespace child_process {

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::vector<char *> c_strings(std::vector<std::string> &strings) {
  std::vector<char *> v;
  for (auto &s : strings) {
    v.push_back(s.data());
  }
  v.push_back(nullptr);
  return v;
}

// In the child, between fork and exec: only calls that are safe there.
void give(int fd, int target) {
  if (fd >= 0 && fd != target) {
    dup2(fd, target);
  }
}

int open_output(const std::string &path, bool append) {
  return open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
}

}  // namespace

Child::Child(const Options &o) {
  // Everything the child needs is made before the fork: a test that forks
  // while its other threads allocate must not allocate in the child.
  std::vector<std::string> args = o.args, env = o.env;
  std::vector<char *> argv = c_strings(args);
  std::vector<char *> envp = c_strings(env);
  const bool same_file = !o.out_file.empty() && o.out_file == o.err_file;
  const pid_t parent = getpid();
  own_group_ = o.own_group;

  pid_t pid = fork();
  if (pid < 0) {
    return;
  }
  if (pid == 0) {
    if (o.own_group) {
      setpgid(0, 0);
    }
    if (o.die_with_parent) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) {
        _exit(127);
      }
    }
    int in = o.in, out = o.out, err = o.err;
    if (in < 0 && o.null_input) {
      in = open("/dev/null", O_RDONLY);
    }
    if (out < 0 && !o.out_file.empty()) {
      out = open_output(o.out_file, o.append);
    }
    if (err < 0 && !o.err_file.empty()) {
      err = same_file ? out : open_output(o.err_file, o.append);
    }
    if ((in < 0 && o.null_input) || (out < 0 && !o.out_file.empty()) ||
        (err < 0 && !o.err_file.empty())) {
      _exit(126);
    }
    give(in, 0);
    give(out, 1);
    give(err, 2);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
      _exit(126);
    }
    if (o.body) {
      o.body();
      _exit(0);
    }
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (o.env.empty()) {
      execv(argv[0], argv.data());
    } else {
      execve(argv[0], argv.data(), envp.data());
    }
    _exit(127);
  }
  if (o.own_group) {
    setpgid(pid, pid);  // either side may get there first
  }
  pid_ = pid;
}

Child::~Child() {
  if (pid_ > 0) {
    kill_now();
  }
}

Child::Child(Child &&other) noexcept { *this = std::move(other); }

Child &Child::operator=(Child &&other) noexcept {
  if (this != &other) {
    if (pid_ > 0) {
      kill_now();
    }
    pid_ = other.pid_;
    own_group_ = other.own_group_;
    ended_ = other.ended_;
    wait_status_ = other.wait_status_;
    usage_ = other.usage_;
    other.pid_ = -1;
  }
  return *this;
}

void Child::signal(int sig) const {
  if (pid_ > 0) {
    kill(own_group_ ? -pid_ : pid_, sig);
  }
}

bool Child::wait_for(double seconds) {
  auto start = clock_type::now();
  while (pid_ > 0) {
    int status = 0;
    pid_t r = wait4(pid_, &status, WNOHANG, &usage_);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      wait_status_ = r == pid_ ? status : 0;
      ended_ = true;
      pid_ = -1;
      break;
    }
    if (since(start) >= seconds) {
      return false;
    }
    usleep(2000);
  }
  return true;
}

void Child::kill_now() {
  signal(SIGKILL);
  int status = 0;
  while (wait4(pid_, &status, 0, &usage_) < 0 && errno == EINTR) {
  }
  wait_status_ = status;
  ended_ = true;
  pid_ = -1;
}

bool Child::finish(double seconds) {
  if (wait_for(seconds)) {
    return true;
  }
  kill_now();
  return false;
}

bool Child::stop(double seconds) {
  signal(SIGTERM);
  return finish(seconds);
}

int Child::exit_status() const {
  return ended_ && WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : -1;
}

int Child::term_signal() const {
  return ended_ && WIFSIGNALED(wait_status_) ? WTERMSIG(wait_status_) : 0;
}

int Child::status_or_signal() const {
  return term_signal() != 0 ? 128 + term_signal() : exit_status();
}

std::vector<std::string> environment_with(const std::map<std::string, std::string> &add) {
  std::map<std::string, std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) {
      env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
  }
  for (auto &[name, value] : add) {
    env[name] = value;
  }
  std::vector<std::string> text;
  for (auto &[name, value] : env) {
    text.push_back(name + "=" + value);
  }
  return text;
}

std::string read_until(int fd, const std::function<bool(const std::string &)> &done, double seconds,
                       bool *closed) {
  std::string seen;
  if (closed) {
    *closed = false;
  }
  auto start = clock_type::now();
  while (!done(seen) && since(start) < seconds) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) {
      continue;
    }
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      if (closed) {
        *closed = true;
      }
      break;
    }
    seen.append(buf, static_cast<size_t>(n));
  }
  return seen;
}

std::string read_until(int fd, const std::string &text, double seconds) {
  return read_until(
      fd, [&](const std::string &seen) { return seen.find(text) != std::string::npos; }, seconds);
}

}  // namespace child_process
