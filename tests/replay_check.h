// A traced run played again against the simulator's replay of its trace:
// the replayed run must be the recorded one.  Shared by the tests that walk
// the end-to-end scenarios and the fault matrix.
#pragma once

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace e2e {

// Where the recorded run's trace leaves a choice to the kernel, as the
// replay announces it: how a client that goes on sending into a connection
// the target has ended finds out, on a send or on a receive.  0: none; 1:
// commands went into a dead connection (the first loss is the target's
// doing, those after it the kernel's); 2: a download broke off in its send
// (every loss is the kernel's).
inline int kernel_choice(const std::string &trace) {
  std::istringstream in(read_file(trace));
  std::string line, lost_session;
  int choice = 0;
  while (std::getline(in, line)) {
    size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
    if (c == std::string::npos) {
      continue;
    }
    std::string session = line.substr(0, a), kind = line.substr(b + 1, c - b - 1);
    if (kind == "data" && contains(line, ", send failed")) {
      return 2;
    }
    if (kind == "lost") {
      lost_session = session;
    } else if ((kind == "cmd" || kind == "unsent") && session == lost_session) {
      choice = 1;
    }
  }
  return choice;
}

// Standard error with the kernel's choices of `kernel_choice` made alike.
inline std::string without_kernel_choice(const std::string &err, int choice) {
  static const std::regex loss(
      "^(gtw_read_prompt|gtw_send_command|.*\\.X): (connection closed by target|error on "
      "(send|recv): .*|Broken pipe|Connection reset by peer)$");
  std::istringstream in(err);
  std::string line, out;
  bool first = choice == 1;
  while (std::getline(in, line)) {
    if (choice && std::regex_match(line, loss)) {
      if (!first) {
        line = "(the connection was lost)";
      }
      first = false;
    }
    out += line + "\n";
  }
  return out;
}

// Runs `args` (the simulator's address in them) against a replay of
// `trace` on `address`, and compares status, standard output, standard
// error, waits and the commands the target received with the recorded
// run's.  Empty when they are the same, else what differs.
inline std::string replay_differences(const std::vector<std::string> &args,
                                      const std::string &address, const std::string &trace,
                                      const RunResult &recorded,
                                      const std::vector<std::string> &received,
                                      double timeout = 60) {
  // What the replay says before it listens: whose run it was, and the
  // kernel's choices it cannot make.
  RunOptions first;
  first.program = sim_path();
  first.fast_sleep = false;
  first.signal_when_output = "listening on";
  first.signal = SIGTERM;
  first.timeout = 10;
  RunResult announced = run({"--address", address, "--replay", trace}, first);
  int choice = kernel_choice(trace);
  std::string why;
  if (contains(announced.out, "the kernel chooses") != (choice != 0)) {
    why += "the replay's notice of the kernel's choices is wrong:\n" + announced.out;
  }
  Sim replay({"--replay", trace}, address);
  RunOptions o;
  o.timeout = timeout;
  RunResult r = run(args, o);
  std::vector<std::string> commands = replay.commands();
  replay.stop();
  auto differ = [&why](const char *what, const std::string &want, const std::string &got) {
    if (want != got) {
      why +=
          std::string(what) + " differs:\n--- recorded\n" + want + "\n--- replayed\n" + got + "\n";
    }
  };
  auto joined = [](const auto &items) {
    std::string s;
    for (const auto &item : items) {
      s += item;
      s += "\n";
    }
    return s;
  };
  std::vector<std::string> waits;
  for (unsigned s : recorded.sleeps) {
    waits.push_back(std::to_string(s));
  }
  std::vector<std::string> replayed_waits;
  for (unsigned s : r.sleeps) {
    replayed_waits.push_back(std::to_string(s));
  }
  differ("status", std::to_string(recorded.status), std::to_string(r.status));
  differ("standard output", recorded.out, r.out);
  differ("standard error", without_kernel_choice(recorded.err, choice),
         without_kernel_choice(r.err, choice));
  differ("waits", joined(waits), joined(replayed_waits));
  differ("commands", joined(received), joined(commands));
  for (auto &t : replay.transcript()) {
    if (t.kind == "diverge") {
      why += "diverged: " + t.text + "\n";
    }
  }
  return why;
}

}  // namespace e2e
