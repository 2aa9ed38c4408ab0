// The benchmark program's shared pieces: where the programs are, the
// simulator as a child process, a program run measured by the kernel, and
// the arithmetic of the report.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/child.h"

struct gtw_conn;

namespace bench {

struct paths {
  std::string romupdate;      // the update program
  std::string sim;            // the target simulator
  std::string image_dir;      // image-1m.X and image-64m.X
  std::string examples_root;  // a sample installation, for the loader
  std::string fastsleep;      // the tests' sleep shortener; empty when not built
  std::string scratch;        // a temporary directory of this run
  std::string self;           // this program, for measurements in a child
};

// The simulator on one of the benchmark's loopback addresses
// (127.0.70.1 to 127.0.70.20; the first one it can listen on).  Stopped
// with SIGTERM, then SIGKILL, when the object goes; it also dies with this
// process, so it never outlives an interrupted benchmark.
class sim_child {
 public:
  sim_child(const std::string &sim_path, const std::vector<std::string> &options,
            const std::string &scratch);
  ~sim_child();
  sim_child(const sim_child &) = delete;
  sim_child &operator=(const sim_child &) = delete;

  bool running() const { return child_.running(); }
  const std::string &address() const { return address_; }
  const std::string &error() const { return error_; }
  void stop();

 private:
  child_process::Child child_;
  std::string address_, error_;
};

// A whole target played in this process over TCP (target_sink.cpp), on one
// of the addresses 127.0.70.21 to 127.0.70.40.  It answers a complete update
// of a 38100A control card at once; `nagle` chooses whether its replies go
// out with Nagle's algorithm on.
class target_sink {
 public:
  explicit target_sink(bool nagle);
  ~target_sink();
  target_sink(const target_sink &) = delete;
  target_sink &operator=(const target_sink &) = delete;

  bool running() const { return command_thread_.joinable(); }
  const std::string &address() const { return address_; }

 private:
  void serve_commands();
  void serve_control();
  void session();
  bool more();
  bool byte(unsigned char *out);
  bool put(std::string_view text);
  bool records();

  bool nagle_;
  std::string address_;
  int command_listener_ = -1, control_listener_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread command_thread_, control_thread_;
  int fd_ = -1;  // the command connection being served
  unsigned char buf_[64 * 1024];
  size_t at_ = 0, end_ = 0;
};

struct run_result {
  int status = -1;  // exit status, -1 when ended by a signal
  int term_signal = 0;
  bool timed_out = false;
  long max_rss_kib = 0;  // the child's peak resident set, from wait4
  double seconds = 0;
};

// Runs argv[0] with the given environment additions in `cwd`, standard
// input from /dev/null and the two output streams into files; killed after
// `timeout` seconds.
run_result run_measured(const std::vector<std::string> &argv,
                        const std::map<std::string, std::string> &env, const std::string &cwd,
                        const std::string &out_path, const std::string &err_path, double timeout);

// Whether the tests' sleep shortener was built, which the complete updates
// need; says so when it was not.
bool has_fastsleep(const paths &p);

double now_seconds();  // a monotonic clock
// Times a download without and with an option, taking turns: `download`
// runs once with the option off and once on, returns its seconds, or a
// negative value when it failed.  Round 0 warms up and is not counted; the
// two take turns at going first.  false when a download failed.
bool take_turns(int repeat, const std::function<double(bool on)> &download,
                std::vector<double> *off, std::vector<double> *on);
double median(std::vector<double> values);
inline double to_mib(double bytes) { return bytes / (1024.0 * 1024.0); }
std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &content);

// The download exchange and nothing else on a connected socket: the
// command line, the go-ahead, the file from behind its header in 1024-byte
// chunks, the two zero bytes, the status, the prompt.
bool minimal_download(int fd, const std::string &path, uint32_t count, std::string *why);

// The 64 MiB image: its path, and the byte count a download of it announces.
bool scan_large_image(const paths &p, std::string *image, uint32_t *count);
// A plain connection to the command port of `address`, or -1.
int connect_command(const std::string &address);
// A locked connection to the started simulator, as the download
// measurements begin; reports why and returns false when there is none.
bool open_locked(const sim_child &sim, gtw_conn *conn);

// The measurements; each prints its part of the report and returns false
// when it could not produce its figures.
bool download_bench(const paths &p, int repeat);
bool scan_bench(const paths &p, int repeat);
bool memory_bench(const paths &p, int repeat);
bool whole_path_bench(const paths &p, int repeat);
bool image_memory_bench(const paths &p, int repeat);
// The image path alone, run in a child whose peak memory is measured.
int image_path_child(const std::string &image);
bool trace_bench(const paths &p, int repeat);
bool progress_bench(const paths &p, int repeat);
bool update_bench(const paths &p, int repeat);

}  // namespace bench
