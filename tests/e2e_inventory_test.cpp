// romupdate-inventory against simulators: a lab of every class with a
// foreign lock and an address nobody answers, targets that drop the
// connection during the query, an interrupt while the query holds the LAN
// lock, and the products' fit and genrev.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>

#include "harness/harness.h"

using namespace e2e;

namespace {

RunResult inventory(const std::vector<std::string> &args, const std::string &cwd = "") {
  RunOptions o;
  o.program = ROMUPDATE_INVENTORY_BIN;
  o.cwd = cwd;
  o.timeout = 60;
  return run(args, o);
}

// What the inventory sends to a free target and to a held one: the probe,
// "ver" for the free one only, and the end of the probe's LAN lock.  No
// marker is defined, no prompt changed, nothing rebooted.
const std::vector<std::string> kFreeQuery = {"lanlk -e;lockinfo", "ver", "lanlk -d"};
const std::vector<std::string> kHeldQuery = {"lanlk -e;lockinfo", "lanlk -d"};

struct lab_class {
  const char *sim_target;
  const char *shown;
  const char *version;
  const char *t5806_genrev;  // T5806 needs A.03.05
};
const lab_class kClasses[] = {
    {"probe", "probe", "XR T5821 processor probe / Firmware revision A.03.10", "yes A.03.05"},
    {"38100b", "38100B", "XR 38100B Emulation System / System firmware A.03.10", "yes A.03.05"},
    {"38100a", "38100A", "XR 38100 Series Emulation System / System firmware A.03.10",
     "yes A.03.05"},
    {"unknown", "unknown", "XR emulation system / System firmware A.01.00", "no A.03.05"},
};

}  // namespace

TEST(Inventory, LabOf24WithAForeignLockAndAnUnreachableAddress) {
  std::vector<std::unique_ptr<Sim>> sims;
  std::vector<std::string> addresses, expected_tsv;
  expected_tsv.push_back(
      "address\treachable\tlock\tholder\tclass\trevision\tT5806 applies\tT5806 genrev\t"
      "version\n");
  const size_t locked_at = 9, unreachable_at = 17;
  for (size_t i = 0; i < 24; i++) {
    if (i == unreachable_at) {
      addresses.push_back(reserve_loopback());
      expected_tsv.push_back(addresses.back() + "\tno\t-\t-\t-\t-\t-\t-\t-\n");
      continue;
    }
    const lab_class &c = kClasses[i % 4];
    std::vector<std::string> options = {"--target", c.sim_target};
    if (i == locked_at) {
      options.push_back("--locked");
    }
    sims.push_back(std::make_unique<Sim>(options));
    addresses.push_back(sims.back()->address());
    expected_tsv.push_back(i == locked_at ? addresses.back() +
                                                "\tyes\tlocked\tuser 4242, user interface 1 "
                                                "(terminal), host bench7\t-\t-\t-\t-\t-\n"
                                          : addresses.back() + "\tyes\tfree\t-\t" + c.shown + "\t" +
                                                (i % 4 == 3 ? "A.01.00" : "A.03.10") + "\tyes\t" +
                                                c.t5806_genrev + "\t" + c.version + "\n");
  }

  std::vector<std::string> args = {"--tsv", "--product", "T5806"};
  args.insert(args.end(), addresses.begin(), addresses.end());
  RunResult tsv = inventory(args);
  EXPECT_EQ(tsv.status, 1) << tsv.err;
  std::string all;
  for (const std::string &line : expected_tsv) {
    all += line;
  }
  EXPECT_EQ(tsv.out, all);
  EXPECT_EQ(tsv.err, "romupdate-inventory: " + addresses[unreachable_at] +
                         ": command port connect failed, Connection refused\n"
                         "romupdate-inventory: " +
                         addresses[unreachable_at] + ": target not reached\n");

  // The table: the same cells, aligned, the last column unpadded.
  args.erase(args.begin());
  RunResult table = inventory(args);
  EXPECT_EQ(table.status, 1);
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = table.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(table.out.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 25u) << table.out;
  const size_t version_column = lines[0].find("version");
  for (size_t i = 1; i < lines.size(); i++) {
    EXPECT_EQ(lines[i].compare(0, addresses[i - 1].size() + 1, addresses[i - 1] + " "), 0)
        << lines[i];
    EXPECT_NE(lines[i].back(), ' ') << lines[i];
    EXPECT_EQ(lines[i].find_first_not_of(' ', version_column - 2), version_column) << lines[i];
  }
  EXPECT_TRUE(contains(lines[1 + locked_at], " locked  user 4242, user interface 1 (terminal)"))
      << lines[1 + locked_at];

  // Nothing was left locked but the foreign lock, which was not touched.
  for (size_t i = 0, s = 0; i < 24; i++) {
    if (i == unreachable_at) {
      continue;
    }
    const Sim &sim = *sims[s++];
    std::vector<std::string> once = i == locked_at ? kHeldQuery : kFreeQuery, twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(sim.commands(), twice) << sim.address();
  }
  RunResult after = inventory({"--tsv", addresses[0], addresses[locked_at], addresses[23]});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(count_of(after.out, "\tyes\tfree\t"), 2) << after.out;
  EXPECT_EQ(count_of(after.out, "\tyes\tlocked\t"), 1) << after.out;
}

TEST(Inventory, AConnectionLostDuringTheQueryIsNoAnswerAndLeavesNoLock) {
  struct {
    std::vector<std::string> sim;
    std::vector<std::string> sent;
  } cases[] = {
      {{"--close-at", "lanlk"}, {"lanlk -e;lockinfo"}},
      {{"--close-at", "ver"}, {"lanlk -e;lockinfo", "ver"}},
      {{"--close-at", "lanlk@2"}, kFreeQuery},
      {{"--locked", "--close-at", "lanlk@2"}, kHeldQuery},
  };
  for (const auto &c : cases) {
    Sim sim(c.sim);
    RunResult r = inventory({"--tsv", "--product", "T5806", sim.address()});
    EXPECT_EQ(r.status, 1) << c.sim[1];
    EXPECT_TRUE(contains(r.out, "\n" + sim.address() + "\tlost\t-\t-\t-\t-\t-\t-\t-\n")) << r.out;
    EXPECT_TRUE(contains(r.err, sim.address() + ": the connection failed during the query\n"))
        << r.err;
    EXPECT_EQ(sim.commands(), c.sent) << c.sim[1];
    // The target was not left locked by the query: the next one finds it as
    // it was.
    r = inventory({"--tsv", sim.address()});
    EXPECT_EQ(r.status, 0) << c.sim[1] << r.err;
    EXPECT_TRUE(contains(
        r.out, sim.address() + (c.sim[0] == "--locked" ? "\tyes\tlocked\t" : "\tyes\tfree\t")))
        << r.out;
  }
}

// A target played by the test itself: it answers the probe as a free
// target, takes "ver" and never answers it, so that the inventory is
// interrupted while it holds the probe's LAN lock.
TEST(Inventory, AnInterruptGivesTheLanLockBack) {
  const std::string address = reserve_loopback();
  auto listener = [&](int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    listen(fd, 1);
    return fd;
  };
  int command_listener = listener(3810), control_listener = listener(3811);
  auto read_line = [](int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') {
      line += c;
    }
    return line;
  };

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(ROMUPDATE_INVENTORY_BIN, ROMUPDATE_INVENTORY_BIN, address.c_str(), (char *)nullptr);
    _exit(127);
  }
  int command = accept(command_listener, nullptr, nullptr);
  int control = accept(control_listener, nullptr, nullptr);
  EXPECT_EQ(read_line(command), "lanlk -e;lockinfo");
  ASSERT_EQ(write(command, "!ERROR: no such macro: lockinfo\r\nR>", 35), 35);
  EXPECT_EQ(read_line(command), "ver");
  kill(pid, SIGINT);
  EXPECT_EQ(read_line(command), "lanlk -d");
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  for (int fd : {command, control, command_listener, control_listener}) {
    close(fd);
  }
}

TEST(Inventory, ProductsFitByClassAndWrongOnesAreUsageErrors) {
  Sim b({"--target", "38100b", "--version-text", "XR 38100B Emulation System\nSystem A.03.01"});
  // A version text that would retitle the operator's terminal.
  Sim probe({"--target", "probe", "--version-text", "XR T5821 processor probe\x1b]0;owned\x07\tx"});
  RunResult r =
      inventory({"--tsv", "--product", "T5806", "--product=38126", b.address(), probe.address()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\tT5806 applies\tT5806 genrev\t38126 applies\t38126 genrev\t"))
      << r.out;
  // The LAN card is refused on a 38100B; T5806 wants A.03.05; a version text
  // without a revision leaves the comparison open.
  EXPECT_TRUE(
      contains(r.out, b.address() + "\tyes\tfree\t-\t38100B\tA.03.01\tyes\tno A.03.05\tno\t-\t"))
      << r.out;
  EXPECT_TRUE(contains(r.out, probe.address() +
                                  "\tyes\tfree\t-\tprobe\t?\tyes\tunknown A.03.05\tyes\tunknown "
                                  "A.03.00\tXR T5821 processor probe\\x1B]0;owned\\x07\\x09x\n"))
      << r.out;

  for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                               {"--product"},
                                               {"--frobnicate", b.address()},
                                               {""},
                                               {"--product", "NoSuchProduct", b.address()}}) {
    RunResult bad = inventory(args);
    EXPECT_EQ(bad.status, 2) << testing::PrintToString(args) << bad.err;
    EXPECT_TRUE(bad.err.empty() || count_of(bad.err, "\n") == 1) << bad.err;
  }
  // A product that cannot be read costs no connection.
  EXPECT_EQ(b.commands(), kFreeQuery);

  // A product file from the current directory, read for each kind of board,
  // complains once.
  TempDir here;
  here.write("P.cfg", "romident 5806\nromident #x\nbinname lib/p.X\n");
  r = inventory({"--tsv", "--product", "P", b.address()}, here.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "romupdate-inventory: No value for 'romident': skipping\n");
  EXPECT_TRUE(contains(r.out, "\t38100B\tA.03.01\tyes\tyes A.03.00\t")) << r.out;
}

// A reader of the messages that has gone away must not end the inventory
// in the middle of the lab: the instruments after the one that failed are
// still asked, and the status says that one did not answer.
TEST(Inventory, MessagesToAReaderThatIsGoneStopNothing) {
  Sim failing({"--close-at", "ver"});
  Sim next;
  RunOptions o;
  o.program = "/bin/bash";
  o.timeout = 60;
  o.env["I"] = ROMUPDATE_INVENTORY_BIN;
  o.env["A"] = failing.address();
  o.env["B"] = next.address();
  // The reader of standard error quits at once; the pause makes sure it is
  // gone before the first message.
  RunResult r = run({"-c", R"(exec 4> >(:); sleep 0.3; "$I" --tsv "$A" "$B" 2>&4;)"
                           R"( echo "status $?")"},
                    o);
  EXPECT_TRUE(contains(r.out, "status 1\n")) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "\n" + next.address() + "\tyes\tfree\t")) << r.out;
  EXPECT_EQ(next.commands(), kFreeQuery);
}
