// The faults of the soak: every kind, at a point drawn from a good run of
// the class, all from one seed so that a run can be made again.
#include <algorithm>
#include <filesystem>
#include <random>

#include "soak/soak.h"
#include "words.h"  // the simulator splits a line into commands this way

namespace soak {

namespace {

bool starts_with(const std::string &s, const std::string &prefix) {
  return s.rfind(prefix, 0) == 0;
}

// A rule of the form CMD=TEXT ends its CMD at the first "=": a command
// that holds one is named by what comes before it.
std::string before_equals(const std::string &command) {
  return command.substr(0, command.find('='));
}

// The simulator counts every command that begins with the rule's text, so
// the rule for the k-th command names how many such came before it.
std::string rule_for(Plan &p, const std::string &option, size_t k, bool for_equals) {
  const std::vector<std::string> &commands = p.base->commands;
  e2e::StruckCommand &s = p.struck;
  s.option = option;
  s.command = for_equals ? before_equals(commands[k]) : commands[k];
  s.nth = 1;
  for (size_t i = 0; i < k; ++i) {
    s.nth += starts_with(commands[i], s.command) ? 1 : 0;
  }
  return s.command + "@" + std::to_string(s.nth);
}

// Where the finishing commands begin: the finishing "pf -f", then the final
// reboot or, with -b, the release.  The program does not look at their
// answers by design.
size_t finishing_start(const std::vector<std::string> &commands) {
  for (size_t k = commands.size(); k-- > 0;) {
    if (starts_with(commands[k], "pf -f")) {
      return k;
    }
  }
  return commands.size();
}

// Nothing is read after the final reboot command (nor, on a LAN card,
// after the "pf -f" written just before it): a target that swallows those
// unanswered cannot be told from one that carries them out, so no drop or
// stall is put there.
size_t last_answered_end(const Baseline &b) {
  return b.commands.size() - b.target->unanswered_tail;
}

template <class T>
const T &pick(std::mt19937_64 &rng, const std::vector<T> &v) {
  return v[std::uniform_int_distribution<size_t>(0, v.size() - 1)(rng)];
}

size_t below(std::mt19937_64 &rng, size_t n) {
  return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
}

}  // namespace

const std::vector<std::string> kFaultKinds = {
    "drop", "reset", "stall+interrupt", "refusal", "error lines", "status byte", "never-return",
};

std::vector<Baseline> measure_baselines(std::string &error) {
  std::vector<Baseline> out;
  for (const e2e::Scenario &s : e2e::target_classes()) {
    Baseline b;
    b.target = &s;
    e2e::Sim sim(s.sim_options());
    e2e::RunResult r = e2e::run(s.arguments(sim.address()), {.timeout = 60});
    if (r.status != 0) {
      error = s.name + ": the good run failed:\n" + r.err;
      return {};
    }
    for (const std::string &line : sim.commands()) {
      for (const std::string &c : split_commands(line)) {
        b.commands.push_back(c);
      }
    }
    for (const std::string &file : s.downloads) {
      // The stream is the file from behind its 28-byte header, then the two
      // zero bytes that end it.
      auto size = std::filesystem::file_size(e2e::lib_image(file));
      b.streams.push_back(static_cast<unsigned long>(size) - 28 + 2);
    }
    out.push_back(std::move(b));
  }
  return out;
}

Plan plan_run(uint64_t seed, const std::vector<Baseline> &baselines) {
  std::mt19937_64 rng(seed);
  Plan p;
  p.seed = seed;
  p.base = &baselines[below(rng, baselines.size())];
  p.kind = pick(rng, kFaultKinds);
  const std::vector<std::string> &commands = p.base->commands;
  auto command_below = [&](const std::string &option, size_t end, bool for_equals = false) {
    return rule_for(p, option, below(rng, end), for_equals);
  };

  if (p.kind == "drop") {
    std::string rule = command_below("--close-at", last_answered_end(*p.base));
    p.sim = {"--close-at", rule};
    p.what = "connection dropped at '" + rule + "'";
  } else if (p.kind == "reset") {
    // The target closes with the rest of the stream unread, which resets
    // the connection under the sender.
    size_t k = below(rng, p.base->streams.size());
    unsigned long length = p.base->streams[k];
    unsigned long offset = std::uniform_int_distribution<unsigned long>(0, length + 1)(rng);
    std::string rule = std::to_string(offset) + "@" + std::to_string(k + 1);
    p.sim = {"--download-drop-after", rule};
    p.what = "download " + std::to_string(k + 1) + " cut after " + std::to_string(offset) + " of " +
             std::to_string(length) + " bytes";
  } else if (p.kind == "stall+interrupt") {
    std::string rule = command_below("--hang-at", last_answered_end(*p.base));
    p.sim = {"--hang-at", rule};
    p.interrupt_after = std::uniform_real_distribution<double>(0.2, 2.0)(rng);
    char after[32];
    snprintf(after, sizeof after, "%.2f", p.interrupt_after);
    p.what = "target stalls at '" + rule + "', interrupt after " + after + " s";
  } else if (p.kind == "refusal") {
    p.target_speaks = true;
    switch (below(rng, 3)) {
      case 0: {
        // Only commands whose answers the program reads.
        std::string rule = command_below("--reject", finishing_start(commands), true);
        std::string command = rule.substr(0, rule.rfind('@'));
        p.sim = {"--reject", rule + "=!ERROR: " + command + ": refused"};
        p.what = "target refuses '" + rule + "'";
        break;
      }
      case 1:
        p.sim = {"--locked"};
        p.what = "target locked by another user interface";
        break;
      default:
        p.sim = {"--come-back-locked"};
        p.what = "target comes back from each reboot locked by another user interface";
        break;
    }
  } else if (p.kind == "error lines") {
    p.target_speaks = true;
    switch (below(rng, 3)) {
      case 0: {
        std::string command = before_equals(pick(rng, commands));
        p.sim = {"--message", command + "=!ERROR: soak: " + command};
        p.what = "an !ERROR line in every reply to '" + command + "'";
        break;
      }
      case 1:
        p.sim = {"--download-message", "!ERROR: soak: after the download"};
        p.what = "an !ERROR line after every download";
        break;
      default: {
        std::string command = before_equals(pick(rng, commands));
        std::string lines = std::to_string(std::uniform_int_distribution<int>(1, 5000)(rng));
        p.sim = {"--message-flood", command + "=" + lines};
        p.what = lines + " message lines in every reply to '" + command + "'";
        break;
      }
    }
  } else if (p.kind == "status byte") {
    p.target_speaks = true;
    size_t k = below(rng, p.base->streams.size());
    int status = std::uniform_int_distribution<int>(0, 254)(rng);
    status += status >= 1 ? 1 : 0;  // anything but the good status, 1
    std::string rule = std::to_string(status) + "@" + std::to_string(k + 1);
    p.sim = {"--download-status", rule};
    p.what =
        "download " + std::to_string(k + 1) + " answered with status " + std::to_string(status);
  } else {
    p.sim = {"--never-return"};
    p.what = "target never comes back from a reboot";
  }
  return p;
}

}  // namespace soak
