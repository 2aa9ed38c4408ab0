#include "harness/harness.h"

#include "harness/child.h"
#include "words.h"  // the simulator splits a line into commands this way

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

std::string romupdate_path() { return ROMUPDATE_BIN; }
std::string sim_path() { return ROMUPDATE_SIM_BIN; }
std::string abs_path() { return ROMUPDATE_ABS_BIN; }
std::string fastsleep_path() { return ROMUPDATE_FASTSLEEP_LIB; }
std::string examples_root() { return ROMUPDATE_EXAMPLES_ROOT; }

std::string reserve_loopback() {
  // 127.0.100.2 - 127.0.199.254; the lock file of an address is held for
  // the life of the process that reserved it.
  static const char *dir = "/tmp/romupdate-loopback";
  mkdir(dir, 0777);
  const int span = 100 * 253;
  static int next = static_cast<int>((static_cast<unsigned>(getpid()) * 7919u) % span);
  for (int tries = 0; tries < span; ++tries) {
    int i = next;
    next = (next + 1) % span;
    char address[32];
    snprintf(address, sizeof address, "127.0.%d.%d", 100 + i / 253, 2 + i % 253);
    std::string lock = std::string(dir) + "/" + address;
    int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      continue;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return address;  // fd stays open
    }
    close(fd);
  }
  throw std::runtime_error("no free loopback address");
}

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "romupdate-e2e-XXXXXX").string();
  if (!mkdtemp(templ.data())) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string &name, const std::string &content) const {
  std::string p = file(name);
  std::filesystem::create_directories(std::filesystem::path(p).parent_path());
  std::ofstream f(p, std::ios::binary);
  f << content;
}

Sim::Sim(std::vector<std::string> options, std::string address)
    : Sim(std::move(options), std::move(address), {}) {}

Sim::Sim(std::vector<std::string> options, std::string address, std::vector<std::string> launcher) {
  log_ = dir_.file("transcript.log");
  dump_ = dir_.file("flash.X");
  for (int attempt = 0; attempt < 20; ++attempt) {
    address_ = address.empty() ? reserve_loopback() : address;
    std::vector<std::string> args = launcher;
    args.insert(args.end(),
                {sim_path(), "--address", address_, "--log", log_, "--dump-flash", dump_});
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe failed");
    }
    child_process::Child sim(
        {.args = args, .out = out[1], .err_file = dir_.file("sim.err"), .append = true});
    close(out[1]);
    // Ready once it says that both ports are bound; an early end is an
    // address in use or a bad option.
    bool ready = contains(child_process::read_until(out[0], "listening on", 10), "listening on");
    close(out[0]);
    if (ready) {
      sim_ = std::move(sim);
      return;
    }
    sim.finish(0);
    if (!address.empty()) {
      break;
    }
  }
  throw std::runtime_error("the simulator did not start: " + read_file(dir_.file("sim.err")));
}

Sim::~Sim() { stop(); }

void Sim::stop() {
  if (sim_.running()) {
    sim_.stop(10);
  }
}

std::vector<TranscriptLine> Sim::transcript() const {
  std::vector<TranscriptLine> lines;
  std::istringstream in(read_file(log_));
  std::string line;
  while (std::getline(in, line)) {
    TranscriptLine t;
    size_t a = line.find('\t');
    size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
    size_t c = b == std::string::npos ? b : line.find('\t', b + 1);
    if (c == std::string::npos) {
      continue;
    }
    t.session = atoi(line.substr(0, a).c_str());
    t.time = atof(line.substr(a + 1, b - a - 1).c_str());
    t.kind = line.substr(b + 1, c - b - 1);
    t.text = line.substr(c + 1);
    lines.push_back(t);
  }
  return lines;
}

std::vector<std::string> Sim::commands() const {
  std::vector<std::string> v;
  for (auto &t : transcript()) {
    if (t.kind == "cmd") {
      v.push_back(t.text);
    }
  }
  return v;
}

LockEnd lock_at_end(const std::vector<TranscriptLine> &transcript, const StruckCommand &fault,
                    bool starts_locked, bool comes_back_locked) {
  LockEnd end;
  end.other = starts_locked;
  // A drop is logged after the line that held the command: the state
  // before each command of each connection's last line, to go back to.
  std::map<int, std::vector<std::pair<std::string, LockEnd>>> last_line;
  unsigned long seen = 0;
  int hung = -1;
  for (const TranscriptLine &t : transcript) {
    if (t.kind == "reboot") {
      end = {false, comes_back_locked, true};
    } else if (t.kind == "drop") {
      for (const auto &[command, before] : last_line[t.session]) {
        if (command == t.text) {
          end = before;
          break;
        }
      }
    } else if (t.kind == "cmd" && t.session != hung) {
      auto &line = last_line[t.session];
      line.clear();
      for (const std::string &c : split_commands(t.text)) {
        line.emplace_back(c, end);
        if (fault.option != "--close-at" && fault.nth > 0 && c.rfind(fault.command, 0) == 0 &&
            ++seen == fault.nth) {
          if (fault.option == "--reject") {
            continue;
          }
          hung = t.session;
          break;
        }
        if (c.rfind("mac lockinfo=", 0) == 0) {
          end.ours = true;
          end.rebooted = false;
        } else if (c.rfind("mac -d lockinfo", 0) == 0) {
          end.ours = false;
        }
      }
    }
  }
  return end;
}

RunResult run(const std::vector<std::string> &arguments, const RunOptions &options) {
  RunResult result;
  TempDir scratch;
  std::string sleep_log = scratch.file("sleeps");

  std::vector<std::string> args = options.wrapper;
  args.push_back(options.program.empty() ? romupdate_path() : options.program);
  args.insert(args.end(), arguments.begin(), arguments.end());

  std::map<std::string, std::string> env = {{"XR52000", examples_root()}};
  if (options.fast_sleep) {
    env["LD_PRELOAD"] = fastsleep_path();
    env["FASTSLEEP_LOG"] = sleep_log;
  }
  for (auto &kv : options.env) {
    env[kv.first] = kv.second;
  }

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  auto start = clock_type::now();
  child_process::Child child({.args = args,
                              .env = child_process::environment_with(env),
                              .cwd = options.cwd,
                              .in = in[0],
                              .out = out[1],
                              .err = err[1]});
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty()) {
    ssize_t w = write(in[1], options.input.data(), options.input.size());
    (void)w;
  }
  int stdin_fd = in[1];
  if (options.close_input) {
    close(stdin_fd);
    stdin_fd = -1;
  }

  bool signalled = options.signal_when_output.empty() && options.signal_after <= 0;
  int open_streams = 2;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (open_streams > 0) {
    double left = options.timeout - since(start);
    if (left <= 0) {
      result.timed_out = true;
      child.signal(SIGKILL);
      break;
    }
    int r = poll(fds, 2, 50);
    if (r < 0 && errno != EINTR) {
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        continue;
      }
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
    }
    if (!signalled && options.signal_after > 0 && since(start) >= options.signal_after) {
      signalled = true;
      child.signal(options.signal);
    }
    if (!signalled && !options.signal_when_output.empty() &&
        (contains(result.out, options.signal_when_output) ||
         contains(result.err, options.signal_when_output))) {
      signalled = true;
      usleep(50000);  // let the program reach its wait
      child.signal(options.signal);
    }
  }
  for (auto &f : fds) {
    if (f.fd >= 0) {
      close(f.fd);
    }
  }
  if (stdin_fd >= 0) {
    close(stdin_fd);
  }
  child.finish(result.timed_out ? 1 : std::max(1.0, options.timeout - since(start)));
  result.seconds = since(start);
  result.status = child.exit_status();
  result.term_signal = child.term_signal();
  result.max_rss_kib = child.usage().ru_maxrss;  // kilobytes on Linux
  std::istringstream sl(read_file(sleep_log));
  unsigned s;
  while (sl >> s) {
    result.sleeps.push_back(s);
  }
  return result;
}

bool flash_matches(const std::string &image, const std::string &dump, bool exact,
                   std::string *report) {
  RunOptions o;
  o.program = abs_path();
  o.fast_sleep = false;
  std::vector<std::string> args = {"verify"};
  if (exact) {
    args.push_back("--exact");
  }
  args.push_back(image);
  args.push_back(dump);
  RunResult r = run(args, o);
  if (report) {
    *report = r.out + r.err;
  }
  return r.status == 0;
}

bool says_why(const std::string &err, const std::vector<std::string> &more) {
  for (const char *reason :
       {"connection closed by target", "Broken pipe", "Connection reset by peer", "error on recv",
        "failed: target status", "is locked by another user interface", "!ERROR",
        "further messages were dropped"}) {
    if (contains(err, reason)) {
      return true;
    }
  }
  for (const std::string &reason : more) {
    if (contains(err, reason)) {
      return true;
    }
  }
  return false;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool contains(const std::string &haystack, const std::string &needle) {
  return haystack.find(needle) != std::string::npos;
}

int count_of(const std::string &haystack, const std::string &needle) {
  int n = 0;
  for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) {
    ++n;
  }
  return n;
}

std::vector<std::string> code_blocks(const std::string &text, const std::string &language) {
  std::vector<std::string> blocks;
  std::istringstream in(text);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!inside && line == "```" + language) {
      inside = true;
      blocks.emplace_back();
    } else if (inside && line == "```") {
      inside = false;
    } else if (inside) {
      blocks.back() += line + "\n";
    }
  }
  return blocks;
}

}  // namespace e2e
