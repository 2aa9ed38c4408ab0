// Tracing a run (ROMUPDATE_TRACE) and replaying the trace in the simulator
// (--replay): the replayed run must be the recorded one.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "harness/harness.h"
#include "harness/scenarios.h"
#include "replay_check.h"

using namespace e2e;

namespace {

struct event {
  std::string kind, text;
  bool operator==(const event &) const = default;
};

// When the target drops the connection part way through a download, the
// kernel decides what the program sees, in the field as in a replay: a send
// that fails with "Broken pipe" or "Connection reset by peer" after however
// many bytes the socket had taken, or a stream that went out whole and a
// receive that fails.  For that scenario the runs are compared with those
// choices left out; every other event stays byte for byte.
std::string without_drop_race(std::string text) {
  for (size_t at; (at = text.find("Connection reset by peer")) != std::string::npos;) {
    text.replace(at, 24, "Broken pipe");
  }
  for (const char *side : {"error on send: ", "error on recv: "}) {
    if (text.rfind(side, 0) == 0) {
      text.replace(0, strlen(side), "error: ");
    }
  }
  if (size_t failed = text.find(", send failed"); failed != std::string::npos) {
    text.erase(failed);
  }
  size_t digits = text.find_first_not_of("0123456789");
  if (digits != std::string::npos && digits > 0 && text.compare(digits, 10, " bytes of ") == 0) {
    text.replace(0, digits, "N");
  }
  return text;
}

// The trace's events with the times and connection numbers left out, and
// only the kinds that a replay must reproduce byte for byte: the wait
// between reconnection attempts and the local ports are not the target's.
std::vector<event> wire_events(const std::string &path, bool drop_race) {
  std::vector<event> events;
  std::istringstream in(read_file(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    if (c == std::string::npos) {
      continue;
    }
    event e{line.substr(b + 1, c - b - 1), line.substr(c + 1)};
    if (drop_race) {
      e.text = without_drop_race(e.text);
    }
    for (const char *kind : {"cmd", "reply", "go", "data", "status", "lost", "close", "exit"}) {
      if (e.kind == kind) {
        events.push_back(e);
      }
    }
  }
  return events;
}

std::string describe(const std::vector<event> &events) {
  std::string s;
  for (auto &e : events) {
    s += e.kind + "\t" + e.text + "\n";
  }
  return s;
}

RunResult traced_run(const std::vector<std::string> &args, const std::string &trace,
                     const std::string &cwd = "") {
  RunOptions o;
  o.env["ROMUPDATE_TRACE"] = trace;
  o.cwd = cwd;
  return run(args, o);
}

}  // namespace

TEST(Trace, EveryScenarioReplaysAsRecorded) {
  struct scenario {
    std::string name;
    std::vector<std::string> sim;
    std::vector<std::string> args;  // "@" stands for the simulator's address
    int status;
    bool drop_race = false;  // see without_drop_race
    // The last commands the target received: how the run left it.
    std::vector<std::string> ends_with{};
  };
  std::vector<scenario> scenarios;
  for (const Scenario &c : target_classes()) {
    scenarios.push_back({c.name, c.sim, c.arguments("@"), 0});
  }
  scenarios.insert(
      scenarios.end(),
      {
          {"download answered with a failure status",
           {"--target", "38100a", "--hwid", "2FFFF0=5806", "--download-status", "0@2"},
           {"-v", "@", "T5806"},
           1},
          {"connection dropped in the download",
           {"--target", "38100a", "--hwid", "2FFFF0=5806", "--download-drop-after", "1000@2"},
           {"-v", "@", "T5806"},
           1,
           true,
           // Reached again: our marker removed, then the reboot.
           {"lanlk -e;lockinfo", "mac -d lockinfo", "po -p >", "lanlk -d", "lanlk -e;lockinfo",
            "lanlk -d", "init -p"}},
          {"target back locked after the reboot",
           {"--target", "38100a", "--come-back-locked"},
           {"-v", "@", "T5806"},
           1,
           false,
           // Reached again: another holder's marker, left alone.
           {"lanlk -e;lockinfo", "lanlk -d", "lanlk -e;lockinfo", "lanlk -d"}},
      });
  for (auto &s : scenarios) {
    SCOPED_TRACE(s.name);
    TempDir dir;
    std::vector<std::string> sim_options = {"--reboot-time", "0.2"};
    sim_options.insert(sim_options.end(), s.sim.begin(), s.sim.end());
    Sim field(sim_options);
    std::string address = field.address();
    std::vector<std::string> args = s.args;
    for (auto &a : args) {
      if (a == "@") {
        a = address;
      }
    }

    RunResult recorded = traced_run(args, dir.file("field.trace"));
    ASSERT_EQ(recorded.status, s.status) << recorded.out << recorded.err;
    std::vector<std::string> field_commands = field.commands();
    field.stop();
    if (!s.ends_with.empty()) {
      ASSERT_GE(field_commands.size(), s.ends_with.size());
      EXPECT_EQ(
          std::vector<std::string>(field_commands.end() - s.ends_with.size(), field_commands.end()),
          s.ends_with);
    }

    Sim replay({"--replay", dir.file("field.trace")}, address);
    RunResult replayed = traced_run(args, dir.file("replay.trace"));
    EXPECT_EQ(replayed.status, recorded.status);
    EXPECT_EQ(replayed.out, recorded.out);
    if (s.drop_race) {
      EXPECT_EQ(without_drop_race(replayed.err), without_drop_race(recorded.err));
    } else {
      EXPECT_EQ(replayed.err, recorded.err);
    }
    EXPECT_EQ(replay.commands(), field_commands);
    auto want = wire_events(dir.file("field.trace"), s.drop_race);
    auto got = wire_events(dir.file("replay.trace"), s.drop_race);
    EXPECT_TRUE(got == want) << "recorded:\n" << describe(want) << "replayed:\n" << describe(got);
    for (auto &t : replay.transcript()) {
      EXPECT_NE(t.kind, "diverge") << t.text;
    }
  }
}

TEST(Trace, ReplayAgainstAChangedConfigurationStopsAtTheFirstDifference) {
  TempDir dir;
  Sim field({"--reboot-time", "0.2", "--target", "38100a", "--hwid", "2FFFF0=5807"});
  std::string address = field.address();
  ASSERT_EQ(traced_run({address, "T5806"}, dir.file("field.trace")).status, 0);
  field.stop();

  // The same product with the ID PROM looked for elsewhere.
  std::string cfg = read_file(examples_root() + "/inst/update/T5806.cfg");
  size_t at = cfg.find("romidentloc:    2FFFF0");
  ASSERT_NE(at, std::string::npos);
  cfg.replace(at, 22, "romidentloc:    2FFFE0");
  TempDir work;
  work.write("T5806.cfg", cfg);
  work.write("t5806a.X", read_file(examples_root() + "/lib/t5806a.X"));  // beside a local file
  work.write("t5806b.X", read_file(examples_root() + "/lib/t5806b.X"));

  Sim replay({"--replay", dir.file("field.trace")}, address);
  RunResult r = traced_run({address, "T5806"}, dir.file("replay.trace"), work.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "!ERROR: replay diverged from the trace\n")) << r.err;
  int divergences = 0;
  for (auto &t : replay.transcript()) {
    if (t.kind != "diverge") {
      continue;
    }
    ++divergences;
    EXPECT_TRUE(contains(t.text, "expected 'pf -i 02FFFF0'")) << t.text;
    EXPECT_TRUE(contains(t.text, "received 'pf -i 02FFFE0'")) << t.text;
  }
  EXPECT_EQ(divergences, 1);
  replay.stop();
  EXPECT_TRUE(
      contains(read_file(replay.log_path().substr(0, replay.log_path().rfind('/')) + "/sim.err"),
               "romupdate-sim: replay diverged at command "));
}

TEST(Trace, BadTracesAndAnUnwritableTraceFile) {
  TempDir dir;
  const std::string head =
      "0\t0.000\ttrace\tformat=2 program=romupdate version=1 platform=unix start=x\n";
  struct {
    const char *name, *contents, *error;
  } traces[] = {
      {"text", "Flash programming FAILED\n", "not a trace"},
      {"cut", "0\t0.000\ttrace\tformat=2 program=romupdate\n1\t0.1\tcmd\tlanlk -e;lo",
       "cut off: line 2"},
      {"newer", "0\t0.000\ttrace\tformat=9 program=romupdate version=9\n",
       "trace format 9 is newer"},
      {"sim", "0\t0.000\ttrace\tformat=2 program=romupdate-sim version=1\n",
       "it was written by romupdate-sim, not by romupdate"},
  };
  for (auto &t : traces) {
    dir.write(t.name, t.contents);
    RunOptions o;
    o.program = sim_path();
    RunResult r = run({"--address", "127.0.0.1", "--port", "1", "--replay", dir.file(t.name)}, o);
    EXPECT_EQ(r.status, 1) << t.name;
    EXPECT_TRUE(
        contains(r.err, "romupdate-sim: cannot replay '" + dir.file(t.name) + "': " + t.error))
        << r.err;
  }

  // A trace that cannot be made stops the run before the target hears of it.
  Sim sim({"--target", "38100a"});
  RunResult r = traced_run({"-v", sim.address(), "T5806"}, dir.file("no/such/dir/trace"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, romupdate_path() + ": Can't create trace file '" +
                       dir.file("no/such/dir/trace") + "': No such file or directory\n")
      << r.err;
  EXPECT_TRUE(sim.commands().empty());

  // It holds the user id and the host name: readable by its owner only.
  dir.write("old.trace", "left over\n");
  chmod(dir.file("old.trace").c_str(), 0644);
  traced_run({sim.address(), "NOSUCHPRODUCT"}, dir.file("old.trace"));
  struct stat st {};
  ASSERT_EQ(stat(dir.file("old.trace").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(
      read_file(dir.file("old.trace")).rfind("0\t0.000\ttrace\tformat=2 program=romupdate ", 0),
      0u);
}

namespace {

// A trace edited line by line: `edit` gets the kind and the text of each
// event and may change the text or the time; the header stays.
std::string edited(
    const std::string &trace,
    const std::function<void(const std::string &kind, std::string &text, double &shift)> &edit) {
  std::istringstream in(trace);
  std::string line, out;
  double shift = 0;
  while (std::getline(in, line)) {
    size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    std::string kind = line.substr(b + 1, c - b - 1), text = line.substr(c + 1);
    if (kind != "trace") {
      edit(kind, text, shift);
    }
    char time[32];
    snprintf(time, sizeof time, "%.3f", atof(line.substr(a + 1, b - a - 1).c_str()) + shift);
    out += line.substr(0, a) + "\t" + time + "\t" + kind + "\t" + text + "\n";
  }
  return out;
}

// The trace of a good update (empty when the update failed), and the
// simulator's address it ran against.
std::string good_update_trace(const TempDir &dir, std::string &address) {
  Sim field({"--reboot-time", "0.2", "--target", "38100a", "--hwid", "2FFFF0=5806"});
  address = field.address();
  if (traced_run({address, "T5806"}, dir.file("field.trace")).status != 0) {
    return "";
  }
  field.stop();
  return read_file(dir.file("field.trace"));
}

}  // namespace

// Field runs of every shape replay as they ran: status, output, waits and
// the commands the target received, with the kernel's own choices (a loss
// seen on a send or a receive) announced by the replay and left out.
TEST(Trace, FieldRunsOfEveryShapeReplay) {
  using edit_fn = std::function<void(const std::string &, std::string &, double &)>;
  struct shape {
    const char *name;
    std::vector<std::string> sim;
    int status;
    edit_fn edit = nullptr;
    int runs = 1;
  } shapes[] = {
      // The target takes the reopening's connection and drops it: the rest
      // of the opening goes into a dead connection, and the next attempt
      // gets in.
      {"connection dropped in the reopening", {"--close-at", "po -p $@2"}, 0},
      {"connection dropped at the lock probe", {"--close-at", "lanlk -e@2"}, 0},
      // How each connection ended: an orderly end read as such, and a
      // download broken off in the client's send.
      {"connection ended at ver", {"--close-at", "ver"}, 1},
      {"connection dropped in the download", {"--download-drop-after", "1000@2"}, 1},
      // A long reboot whose refused attempts each took a second in the
      // field: counted, not timed.
      {"slow refusals",
       {"--reboot-time", "0.5"},
       0,
       [](const std::string &kind, std::string &text, double &shift) {
         if (kind == "openfail" && text.rfind("command port connect failed", 0) == 0) {
           shift += 1.0;
         }
       }},
      // Another user on another host.
      {"another user and host",
       {},
       0,
       [](const std::string &kind, std::string &text, double &) {
         for (auto [from, to] :
              {std::pair<std::string, std::string>{"user: ", "4242"}, {"host name: ", "bench7"}}) {
           size_t at = text.find(from);
           if (kind == "cmd" && text.rfind("mac lockinfo=", 0) == 0 && at != std::string::npos) {
             at += from.size();
             text.replace(at, text.find('"', at) - at, to);
           }
         }
       }},
      {"updates against a reboot time of 0", {"--reboot-time", "0"}, 0, nullptr, 20},
  };
  for (auto &s : shapes) {
    SCOPED_TRACE(s.name);
    for (int n = 0; n < s.runs; ++n) {
      TempDir dir;
      std::vector<std::string> options = {"--reboot-time", "0.2",    "--target",
                                          "38100a",        "--hwid", "2FFFF0=5806"};
      options.insert(options.end(), s.sim.begin(), s.sim.end());
      Sim field(options);
      std::vector<std::string> args = {"-v", field.address(), "T5806"};
      RunResult recorded = traced_run(args, dir.file("field.trace"));
      ASSERT_EQ(recorded.status, s.status) << recorded.out << recorded.err;
      std::vector<std::string> received = field.commands();
      field.stop();
      if (s.edit) {
        dir.write("field.trace", edited(read_file(dir.file("field.trace")), s.edit));
      }
      EXPECT_EQ(
          replay_differences(args, field.address(), dir.file("field.trace"), recorded, received),
          "")
          << "run " << n + 1;
    }
  }
}

// The replay says whose run it plays, and a control port that refused the
// recorded client after its command port took it refuses the same way.
TEST(Trace, ReplaySaysWhoseRunAndRefusesTheControlPort) {
  TempDir dir;
  std::string address = reserve_loopback();
  dir.write("field.trace",
            "0\t0.000\ttrace\tformat=1 program=romupdate version=1 platform=unix start=x\n"
            "1\t0.000\topen\t" +
                address +
                "\n"
                "1\t0.001\topenfail\tcontrol port connected failed Connection refused\n"
                "1\t0.001\texit\t1\n");
  Sim replay({"--replay", dir.file("field.trace")}, address);
  RunResult r = run({"-v", address, "T5806"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "control port connected failed Connection refused\n");
  replay.stop();

  std::string field, trace = good_update_trace(dir, field);
  ASSERT_FALSE(trace.empty());
  size_t at = trace.find("user: ");
  ASSERT_NE(at, std::string::npos);
  trace.replace(at + 6, trace.find('"', at) - at - 6, "4242");
  dir.write("other.trace", trace);  // another user
  RunOptions o;
  o.program = sim_path();
  o.fast_sleep = false;
  o.signal_when_output = "listening on";
  o.signal = SIGTERM;
  r = run({"--address", field, "--replay", dir.file("other.trace")}, o);
  EXPECT_TRUE(contains(r.out, ", the run of user 4242 on host ")) << r.out;
}

// A run interrupted in its download leaves a trace that ends after the
// go-ahead: the data that follows is a stream, never command lines, and
// none of its bytes reaches the transcript.
TEST(Trace, ReplayOfAnInterruptedDownloadReadsNoImageAsCommands) {
  TempDir dir;
  std::string address, trace = good_update_trace(dir, address);
  ASSERT_FALSE(trace.empty());
  size_t go = trace.find("\tgo\t", trace.find("lcd -qfb"));
  ASSERT_NE(go, std::string::npos);
  dir.write("field.trace", trace.substr(0, trace.find('\n', go) + 1) + "2\t9.000\texit\t1\n");
  size_t recorded = 0;
  for (size_t p = 0; (p = trace.find("\tcmd\t", p)) < go; ++p) {
    ++recorded;
  }

  Sim replay({"--replay", dir.file("field.trace"), "--stall-time", "0.2"}, address);
  run({address, "T5806"});
  replay.stop();
  // The replayed run was not interrupted: after the recorded commands only
  // its exit routine's reboot command may follow.
  size_t commands = 0, divergences = 0;
  for (auto &t : replay.transcript()) {
    commands += t.kind == "cmd";
    divergences += t.kind == "diverge";
  }
  EXPECT_GE(commands, recorded);
  EXPECT_LE(commands, recorded + 1);
  EXPECT_LE(divergences, 1u);
}

// The replay reads its trace as it goes: a trace far larger than the
// replay's memory, most of it one long answer, is played in bounded memory.
TEST(Trace, ReplayMemoryFollowsTheLongestEventNotTheFile) {
  TempDir dir;
  std::string address, trace = good_update_trace(dir, address);
  ASSERT_FALSE(trace.empty());
  size_t ver = trace.find("\tcmd\tver\n");
  ASSERT_NE(ver, std::string::npos);
  size_t after = trace.find('\n', ver) + 1;
  std::string line =
      "1\t0.010\treply\tXR emulation system detail " + std::string(100, 'x') + "\\x0D\\x0A\n";
  {
    std::ofstream out(dir.file("long.trace"), std::ios::binary);
    out << trace.substr(0, after);
    for (size_t bytes = 0; bytes < (96u << 20); bytes += line.size()) {
      out << line;
    }
    out << trace.substr(after);
  }
  Sim replay({"--replay", dir.file("long.trace")}, address);
  run({address, "T5806"}, {.timeout = 120});
  replay.stop();
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 48 * 1024)
      << "kilobytes at most, for a trace of " << (96u << 20) / 1024 << " KiB";
}
