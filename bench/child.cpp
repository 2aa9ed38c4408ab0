// Child processes of the benchmark: the simulator, and the update program
// run under wait4 so that the kernel reports its peak memory.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bench.h"

namespace bench {

namespace {

constexpr int kFirstHost = 1;  // 127.0.70.1
constexpr int kLastHost = 20;  // 127.0.70.20

}  // namespace

sim_child::sim_child(const std::string &sim_path, const std::vector<std::string> &options,
                     const std::string &scratch) {
  std::string err_path = scratch + "/sim.err";
  for (int host = kFirstHost; host <= kLastHost; ++host) {
    address_ = "127.0.70." + std::to_string(host);
    std::vector<std::string> args = {sim_path, "--address", address_};
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    child_process::Child child({.args = args,
                                .out = out[1],
                                .err_file = err_path,
                                .null_input = true,
                                .die_with_parent = true});
    close(out[1]);
    if (!child.started()) {
      close(out[0]);
      error_ = "fork failed";
      return;
    }
    // Ready once it says both ports are bound.
    bool ready = child_process::read_until(out[0], "listening on", 10).find("listening on") !=
                 std::string::npos;
    close(out[0]);
    if (ready) {
      child_ = std::move(child);
      return;
    }
    child.finish(0);
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
  if (child_.running()) {
    child_.stop(10);
  }
}

run_result run_measured(const std::vector<std::string> &arguments,
                        const std::map<std::string, std::string> &env, const std::string &cwd,
                        const std::string &out_path, const std::string &err_path, double timeout) {
  run_result result;
  double start = now_seconds();
  child_process::Child child({.args = arguments,
                              .env = child_process::environment_with(env),
                              .cwd = cwd,
                              .out_file = out_path,
                              .err_file = err_path,
                              .null_input = true,
                              .die_with_parent = true});
  if (!child.started()) {
    return result;
  }
  result.timed_out = !child.finish(timeout);
  result.seconds = now_seconds() - start;
  result.max_rss_kib = child.usage().ru_maxrss;  // kilobytes on Linux
  result.status = child.exit_status();
  result.term_signal = child.term_signal();
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
