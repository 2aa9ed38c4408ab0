// A target that vanishes from the network while the program waits for its
// answer.  Nothing tells the program: no reset, no end of stream.  The TCP
// keepalive on its connections has to find out, so that the run ends as
// failed in about a minute instead of waiting for ever.  A target that is
// still there but slow to answer must be waited for all the same.
//
// The program and the simulator each get a network namespace of their own,
// joined by a veth pair with link-local addresses, so that the link can be
// cut under a live connection without touching either process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "harness/harness.h"

using namespace e2e;

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::seconds;

const char kClientAddress[] = "169.254.38.1/30";
const char kSimAddress[] = "169.254.38.2";
const char kSimAddressWithPrefix[] = "169.254.38.2/30";

// How long the target stays silent before the link is cut: longer than the
// keepalive's idle time, so that probes go out and are answered.
constexpr auto kSilence = seconds(30);
// How long after the cut the run may take to end.
constexpr double kBound = 90;

double since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

std::string find_ip() {
  for (const char *dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
    std::string p = std::string(dir) + "/ip";
    if (access(p.c_str(), X_OK) == 0) {
      return p;
    }
  }
  return "";
}

// Two network namespaces joined by a veth pair; everything goes again when
// the object does.
class namespace_pair {
 public:
  explicit namespace_pair(std::string ip)
      : ip_(std::move(ip)),
        pid_(std::to_string(getpid())),
        client_("ru-ka-c-" + pid_),
        sim_("ru-ka-s-" + pid_),
        client_dev_("ru-kc-" + pid_),
        sim_dev_("ru-ks-" + pid_) {}

  ~namespace_pair() {
    // Deleting a namespace takes its end of the veth pair, and so the pair.
    for (const std::string &ns : made_) {
      ip({"netns", "del", ns}, nullptr);
    }
  }

  namespace_pair(const namespace_pair &) = delete;
  namespace_pair &operator=(const namespace_pair &) = delete;

  // Creates both namespaces, the pair, the addresses; brings the links up.
  bool create(std::string *why) {
    for (const std::string &ns : {client_, sim_}) {
      if (!ip({"netns", "add", ns}, why)) {
        return false;
      }
      made_.push_back(ns);
    }
    return ip({"link", "add", client_dev_, "netns", client_, "type", "veth", "peer", "name",
               sim_dev_, "netns", sim_},
              why) &&
           ip({"-n", client_, "addr", "add", kClientAddress, "dev", client_dev_}, why) &&
           ip({"-n", sim_, "addr", "add", kSimAddressWithPrefix, "dev", sim_dev_}, why) &&
           ip({"-n", client_, "link", "set", "lo", "up"}, why) &&
           ip({"-n", sim_, "link", "set", "lo", "up"}, why) &&
           ip({"-n", client_, "link", "set", client_dev_, "up"}, why) &&
           ip({"-n", sim_, "link", "set", sim_dev_, "up"}, why);
  }

  // The simulator's end goes down: its packets stop, and its kernel, which
  // would otherwise answer for it, no longer can.
  bool cut(std::string *why) { return ip({"-n", sim_, "link", "set", sim_dev_, "down"}, why); }

  std::vector<std::string> in_client() const { return {ip_, "netns", "exec", client_}; }
  std::vector<std::string> in_sim() const { return {ip_, "netns", "exec", sim_}; }

 private:
  bool ip(const std::vector<std::string> &args, std::string *why) const {
    RunOptions o;
    o.program = ip_;
    o.fast_sleep = false;
    o.timeout = 20;
    RunResult r = run(args, o);
    if (r.status == 0) {
      return true;
    }
    if (why) {
      *why = "ip";
      for (const std::string &a : args) {
        *why += " " + a;
      }
      *why += ": " + r.out + r.err;
    }
    return false;
  }

  std::string ip_, pid_, client_, sim_, client_dev_, sim_dev_;
  std::vector<std::string> made_;
};

// A run on a thread of its own, so that the test can act while the program
// waits; joined on the way out, whatever happens.
class background_run {
 public:
  ~background_run() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  void start(std::function<RunResult()> body) {
    thread_ = std::thread([this, body] {
      result_ = body();
      ended_ = clock_type::now();
      done_ = true;
    });
  }
  bool done() const { return done_; }
  RunResult join() {
    thread_.join();
    return result_;
  }
  clock_type::time_point ended() const { return ended_; }

 private:
  std::thread thread_;
  std::atomic<bool> done_{false};
  RunResult result_;
  clock_type::time_point ended_;
};

bool has_command(const Sim &sim, const std::string &command) {
  auto c = sim.commands();
  return std::find(c.begin(), c.end(), command) != c.end();
}

}  // namespace

TEST(Vanish, DeadTargetFailsTheRunAndASilentOneIsWaitedFor) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "creating network namespaces needs root";
  }
  std::string ip = find_ip();
  if (ip.empty()) {
    GTEST_SKIP() << "no `ip` command to create network namespaces with";
  }
  namespace_pair net(ip);
  std::string why;
  if (!net.create(&why)) {
    GTEST_SKIP() << "cannot create network namespaces: " << why;
  }

  // Declared before the simulator: on an early way out the simulator stops
  // first, its connections close, and the run it serves ends.
  background_run program;
  Sim sim(
      {"--reboot-time", "0.2", "--target", "38100a", "--hwid", "2FFFF0=5806", "--hang-at", "pf -i"},
      kSimAddress, net.in_sim());

  RunOptions o;
  o.wrapper = net.in_client();
  o.timeout = 30 + std::chrono::duration<double>(kSilence).count() + kBound + 30;
  program.start([&o] { return run({"-v", kSimAddress, "T5806"}, o); });

  // The program has sent its hardware query and waits for an answer that
  // will never come.
  auto start = clock_type::now();
  while (!has_command(sim, "pf -i 02FFFF0") && !program.done() && since(start) < 30) {
    usleep(100000);
  }
  ASSERT_TRUE(has_command(sim, "pf -i 02FFFF0")) << "the update never reached its hardware query";

  // Silent but alive: keepalive probes go out and the target's side answers
  // them, so the program keeps waiting.
  auto blocked = clock_type::now();
  while (!program.done() && clock_type::now() - blocked < kSilence) {
    usleep(200000);
  }
  ASSERT_FALSE(program.done()) << "gave up on a live target after " << since(blocked) << " s";

  ASSERT_TRUE(net.cut(&why)) << why;
  auto cut = clock_type::now();
  RunResult r = program.join();
  double after_cut = std::chrono::duration<double>(program.ended() - cut).count();
  printf("[ vanish   ] the run ended %.1f s after the link was cut\n", after_cut);

  EXPECT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_LT(after_cut, kBound);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(contains(r.err, "Flash programming FAILED\n")) << r.err;
  EXPECT_FALSE(contains(r.out + r.err, "SUCCEEDED"));
  // It was the keepalive that gave up, not anything the target said.
  EXPECT_TRUE(contains(r.err, "error on recv: Connection timed out")) << r.err;
}
