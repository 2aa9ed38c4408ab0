// The simulator as a child process on loopback addresses of its own, driven
// by raw sockets the way the update program drives a target.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "formats/image/image.h"
#include "harness/child.h"

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// One of this suite's loopback addresses (127.0.20.1 - 127.0.20.60), held
// through a lock file for the life of the process so that parallel test
// processes never share one.
std::string reserve_address() {
  const char *dir = "/tmp/romupdate-loopback";
  mkdir(dir, 0777);
  static int next = static_cast<int>(getpid() % 60);
  for (int tries = 0; tries < 60; ++tries) {
    int i = next;
    next = (next + 1) % 60;
    std::string address = "127.0.20." + std::to_string(1 + i);
    int fd = open((std::string(dir) + "/" + address).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      continue;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return address;  // held until exit
    }
    close(fd);
  }
  throw std::runtime_error("no free loopback address in 127.0.20.1-60");
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class sim_child {
 public:
  explicit sim_child(std::vector<std::string> options, std::string address = "") {
    char templ[] = "/tmp/romupdate-sim-test-XXXXXX";
    if (!mkdtemp(templ)) {
      throw std::runtime_error("mkdtemp");
    }
    dir_ = templ;
    log_ = dir_ + "/transcript.log";
    dump_ = dir_ + "/flash.X";
    for (int attempt = 0; attempt < 10 && !running(); ++attempt) {
      address_ = address.empty() ? reserve_address() : address;
      std::vector<std::string> args = {ROMUPDATE_SIM_BIN, "--address", address_, "--log", log_,
                                       "--dump-flash",    dump_};
      args.insert(args.end(), options.begin(), options.end());
      status_ = start(args);
      if (!address.empty()) {
        break;
      }
    }
  }
  ~sim_child() {
    // Whatever a test did, the simulator must still be alive and stop
    // cleanly: a crash or a sanitizer report in the child fails the test.
    if (running() && stop() != 0) {
      ADD_FAILURE() << "the simulator exited with " << status_ << ": " << err();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Starts the program; returns -1 once it is listening, else its exit status.
  int start(const std::vector<std::string> &args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    child_process::Child child({.args = args, .out = out[1], .err_file = dir_ + "/stderr"});
    close(out[1]);
    first_line_ = child_process::read_until(out[0], "\n", 10);
    close(out[0]);
    if (first_line_.find("listening on") != std::string::npos) {
      child_ = std::move(child);
      return -1;
    }
    child.finish(10);
    return child.status_or_signal();
  }

  // SIGTERM, then the exit status.
  int stop() {
    if (!child_.running()) {
      return status_;
    }
    child_.stop(10);
    status_ = child_.status_or_signal();
    return status_;
  }

  bool running() const { return child_.running(); }
  int exit_status() const { return status_; }
  const std::string &address() const { return address_; }
  const std::string &first_line() const { return first_line_; }
  const std::string &dump_path() const { return dump_; }
  std::string err() const { return read_file(dir_ + "/stderr"); }
  std::string log() const { return read_file(log_); }

  // The transcript's events as KIND and TEXT, with their session.
  std::vector<std::vector<std::string>> events() const {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> fields;
      size_t start = 0;
      for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
      }
      fields.push_back(line.substr(start));
      lines.push_back(fields);
    }
    return lines;
  }
  bool logged(const std::string &session, const std::string &kind, const std::string &text) const {
    for (auto &e : events()) {
      if (e.size() == 4 && e[0] == session && e[2] == kind && e[3] == text) {
        return true;
      }
    }
    return false;
  }

 private:
  std::string dir_, log_, dump_, address_, first_line_;
  child_process::Child child_;
  int status_ = -1;
};

int connect_to(const std::string &address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A client like the update program's connection: command and control
// connections, the six opening bytes, a reply read up to the prompt.
class client {
 public:
  explicit client(const std::string &address, bool with_control = true) {
    cmd_ = connect_to(address, 3810);
    if (cmd_ < 0) {
      throw std::runtime_error("cannot connect to " + address);
    }
    if (!with_control) {
      return;
    }
    ctl_ = connect_to(address, 3811);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(cmd_, reinterpret_cast<sockaddr *>(&local), &len);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    local_end_ = std::string(text) + ":" + std::to_string(ntohs(local.sin_port));
    send(ctl_, &local.sin_addr, 4, MSG_NOSIGNAL);
    send(ctl_, &local.sin_port, 2, MSG_NOSIGNAL);
  }
  ~client() { close_all(); }
  void close_all() {
    if (cmd_ >= 0) {
      close(cmd_);
    }
    if (ctl_ >= 0) {
      close(ctl_);
    }
    cmd_ = ctl_ = -1;
  }

  void put(const std::string &bytes) { ::send(cmd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Whatever arrives on `fd` until `done` says so, the peer closes, or the
  // time runs out.  *closed tells whether the peer closed.
  static std::string read_until(int fd, const std::function<bool(const std::string &)> &done,
                                double timeout, bool *closed = nullptr) {
    return child_process::read_until(fd, done, timeout, closed);
  }
  static bool ends_in_prompt(const std::string &s) {
    return s.size() >= 2 && s[s.size() - 2] == 'R' && (s.back() == '>' || s.back() == '$');
  }

  std::string reply(double timeout = 5) { return read_until(cmd_, ends_in_prompt, timeout); }
  // Sends an "lcd" line and returns what arrives up to the go-ahead byte.
  std::string download(const std::string &line) {
    put(line);
    return bytes(1);
  }
  std::string exchange(const std::string &line) {
    put(line);
    return reply();
  }
  std::string bytes(size_t n, double timeout = 5) {
    return read_until(
        cmd_, [n](const std::string &s) { return s.size() >= n; }, timeout);
  }
  // Whether the simulator closes the command connection within `timeout`.
  bool dropped(double timeout = 5) {
    bool closed = false;
    read_until(
        cmd_, [](const std::string &) { return false; }, timeout, &closed);
    return closed;
  }
  bool control_dropped(double timeout = 5) {
    bool closed = false;
    read_until(
        ctl_, [](const std::string &) { return false; }, timeout, &closed);
    return closed;
  }
  std::string control_text(size_t n) {
    return read_until(
        ctl_, [n](const std::string &s) { return s.size() >= n; }, 5);
  }
  const std::string &local_end() const { return local_end_; }
  int fd() const { return cmd_; }

 private:
  int cmd_ = -1;
  int ctl_ = -1;
  std::string local_end_;
};

std::string record(uint32_t address, const std::string &data) {
  std::string r("\x01\x01", 2);
  r += static_cast<char>(data.size() >> 8);
  r += static_cast<char>(data.size() & 0xFF);
  r += static_cast<char>((address >> 8) & 0xFF);
  r += static_cast<char>(address & 0xFF);
  r += static_cast<char>(address >> 24);
  r += static_cast<char>((address >> 16) & 0xFF);
  r += data;
  if (data.size() % 2) {
    r += '\0';
  }
  return r;
}
const std::string kEnd("\0\0", 2);

}  // namespace

TEST(SimProcess, AnnouncesItselfAndRefusesAnAddressInUse) {
  sim_child first({});
  ASSERT_TRUE(first.running()) << first.err();
  EXPECT_EQ(first.first_line(), "romupdate-sim: listening on " + first.address() + ":3810\n");
  sim_child second({}, first.address());
  EXPECT_FALSE(second.running());
  EXPECT_EQ(second.exit_status(), 1);
  EXPECT_NE(second.err().find("cannot listen on " + first.address() + ":3810"), std::string::npos)
      << second.err();

  sim_child bad({"--port", "99999"});
  EXPECT_EQ(bad.exit_status(), 1);
  EXPECT_NE(bad.err().find("--port"), std::string::npos) << bad.err();
}

TEST(SimProcess, SessionsPromptsAndTranscript) {
  sim_child sim({"--target", "38100a", "--control-message", "ver=!from control", "--message",
                 "ver=!note", "--message-flood", "echo=2"});
  ASSERT_TRUE(sim.running()) << sim.err();
  client c(sim.address());
  EXPECT_EQ(c.exchange("lanlk -e;lockinfo\r\n"), "R>");
  EXPECT_EQ(c.exchange("po -p $\n"), "R$");
  EXPECT_EQ(c.exchange("ver\n"),
            "XR 38100 Series Emulation System\r\nSystem firmware A.03.10\r\n!note\r\nR$");
  EXPECT_EQ(c.control_text(15), "!from control\r\n");
  // Two lines in one send: one prompt each, in order.
  c.put("pf -i 0\npo -p >\n");
  EXPECT_EQ(c.read_until(
                c.fd(), [](const std::string &s) { return s.ends_with("R>"); }, 5),
            "0\r\nR$R>");
  client second(sim.address(), false);
  EXPECT_EQ(second.exchange("\n"), "R>");  // the prompt is the target's, shared

  std::regex line_form(R"((\d+)\t(\d+\.\d{3})\t(trace|cmd|ctl|data|reboot|drop)\t(.*))");
  std::istringstream log(sim.log());
  std::string line;
  int lines = 0;
  while (std::getline(log, line)) {
    ++lines;
    EXPECT_TRUE(std::regex_match(line, line_form)) << line;
  }
  EXPECT_EQ(lines, 8);  // the header and seven events
  EXPECT_EQ(sim.events().at(0).at(2), "trace");
  EXPECT_TRUE(sim.logged("1", "ctl", c.local_end())) << sim.log();
  EXPECT_TRUE(sim.logged("1", "cmd", "lanlk -e;lockinfo")) << sim.log();  // without "\r"
  EXPECT_TRUE(sim.logged("1", "cmd", "pf -i 0")) << sim.log();
  EXPECT_TRUE(sim.logged("2", "cmd", "")) << sim.log();

  // Flooded replies to lines sent ahead: each flood behind its own reply and
  // before its own prompt.
  c.put("echo \"a\"\necho \"b\"\n");
  std::string flood = "!note: line 1 of a flood of 2\r\n!note: line 2 of a flood of 2\r\n";
  EXPECT_EQ(c.read_until(
                c.fd(),
                [&flood](const std::string &s) { return s.ends_with("b\r\n" + flood + "R>"); }, 5),
            "a\r\n" + flood + "R>b\r\n" + flood + "R>");
}

TEST(SimProcess, ClientsVanishingMidLineAndMidDownloadLeaveNoTrace) {
  sim_child sim({"--target", "38100b"});
  ASSERT_TRUE(sim.running()) << sim.err();
  {
    client c(sim.address());
    c.put("pf -e 010000000 0");  // never finished: must not run
  }
  {
    client c(sim.address());
    EXPECT_EQ(c.download("lcd -qfb 10\n"), "\x06");
    c.put(record(0x10000000, "abcdefgh").substr(0, 11));
  }
  {
    client c(sim.address());
    EXPECT_EQ(c.download("lcd -qfb 10\n"), "\x06");
    c.put(record(0x10000000, "abcdefgh") + kEnd.substr(0, 1));  // all but the end marker
  }
  client c(sim.address());
  EXPECT_EQ(c.exchange("pf -a 010000000 0100000\n"),
            "Available\r\n"
            "R>");
  EXPECT_EQ(c.download("lcd -qfb 8\n"), std::string("\x06"));
  c.put(record(0x10000000, "abcdefgh") + kEnd);
  EXPECT_EQ(c.reply(), "\x01R>");
  EXPECT_EQ(c.exchange("pf -a 010000000 0100000\n"), "Used\r\nR>");
  EXPECT_TRUE(sim.logged("2", "data", "client closed after 11 bytes")) << sim.log();
  EXPECT_TRUE(sim.logged("3", "data", "client closed after 17 bytes")) << sim.log();
  EXPECT_TRUE(sim.logged("4", "data", "8 bytes, 1 records, status 1")) << sim.log();
  for (auto &e : sim.events()) {
    EXPECT_FALSE(e[0] == "1" && e[2] == "cmd") << "an unfinished line ran: " << e[3];
  }
}

TEST(SimProcess, DownloadVerdictsReachTheClient) {
  sim_child sim({"--stall-time", "0.2", "--download-status", "5@3", "--download-drop-after", "4@4",
                 "--download-message", "!downloaded"});
  ASSERT_TRUE(sim.running()) << sim.err();
  client c(sim.address());
  // 1: the records span more than announced.
  EXPECT_EQ(c.download("lcd -qfb 4\n"), "\x06");
  c.put(record(0x400000, "ab") + record(0x400004, "cd") + kEnd);
  std::string r = c.reply();
  EXPECT_EQ(r.substr(0, 2), std::string("\0\0", 2));
  EXPECT_EQ(r.find("!ERROR: download rejected: the records span 06 bytes"), 2u) << r;
  EXPECT_TRUE(r.ends_with("!downloaded\r\nR>")) << r;

  // 2: a stream that stops short is answered once it has stalled.
  EXPECT_EQ(c.download("lcd -qb 6\n"), "\x06");
  auto start = clock_type::now();
  c.put(record(0x400000, "abcdef").substr(0, 9));
  r = c.reply();
  EXPECT_GE(since(start), 0.15);
  EXPECT_NE(r.find("!ERROR: download rejected: the record stream ended inside a record\r\n"),
            std::string::npos)
      << r;

  // 3: a good stream with a forced status carries no rejection message.
  EXPECT_EQ(c.download("lcd -qfb 2\n"), "\x06");
  c.put(record(0x400000, "ab") + kEnd);
  EXPECT_EQ(c.reply(), std::string("\x05\0!downloaded\r\nR>", 17));

  // 4: dropped four bytes into the stream.
  EXPECT_EQ(c.download("lcd -qfb 2\n"), "\x06");
  c.put(record(0x400000, "ab") + kEnd);
  EXPECT_TRUE(c.dropped());
  EXPECT_TRUE(sim.logged("1", "data", "dropped after 4 bytes")) << sim.log();
  EXPECT_TRUE(sim.logged("1", "data", "2 bytes, 1 records, status 5")) << sim.log();

  client after(sim.address());
  EXPECT_EQ(after.exchange("pf -a 0400000 2\n"), "Available\r\nR>");  // nothing was committed
}

TEST(SimProcess, RebootRefusesConnectionsThenComesBackClean) {
  sim_child sim({"--reboot-time", "0.2"});
  ASSERT_TRUE(sim.running()) << sim.err();
  client c(sim.address());
  c.exchange("po -p $\n");
  c.exchange("mac lockinfo={echo \"user: 1\" \\0A}\n");
  EXPECT_EQ(c.download("lcd -qfb 2\n"), "\x06");
  c.put(record(0x10000000, "ab") + kEnd);
  EXPECT_EQ(c.reply(), "\x01R$");
  client bystander(sim.address());

  auto start = clock_type::now();
  c.put("init -r\n");
  EXPECT_TRUE(c.dropped());
  EXPECT_TRUE(bystander.dropped());
  EXPECT_EQ(connect_to(sim.address(), 3810), -1);
  EXPECT_EQ(connect_to(sim.address(), 3811), -1);
  int fd = -1;
  while (fd < 0 && since(start) < 5) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    fd = connect_to(sim.address(), 3810);
  }
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_GE(since(start), 0.15);

  client back(sim.address());
  EXPECT_EQ(back.exchange("lanlk -e;lockinfo\n"), "R>");
  EXPECT_EQ(back.exchange("pf -a 010000000 2\n"), "Used\r\nR>");  // the flash survives
  EXPECT_TRUE(sim.logged("1", "reboot", "init -r")) << sim.log();
}

TEST(SimProcess, NeverReturnStaysDown) {
  sim_child sim({"--reboot-time", "0", "--never-return"});
  ASSERT_TRUE(sim.running()) << sim.err();
  client c(sim.address());
  c.put("init -p\n");
  EXPECT_TRUE(c.dropped());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(connect_to(sim.address(), 3810), -1);
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProcess, CloseAtAndHangAt) {
  sim_child sim({"--close-at", "pf -i@2", "--hang-at", "ver"});
  ASSERT_TRUE(sim.running()) << sim.err();
  client c(sim.address());
  EXPECT_EQ(c.exchange("pf -i 0\n"), "0\r\nR>");
  c.put("lanlk -e;pf -i 0\n");
  EXPECT_TRUE(c.dropped());
  EXPECT_TRUE(c.control_dropped());
  EXPECT_TRUE(sim.logged("1", "drop", "pf -i 0")) << sim.log();

  client hung(sim.address());
  hung.put("ver\n");
  EXPECT_EQ(hung.reply(0.3), "");
  hung.put("pf -i 0\n");
  EXPECT_EQ(hung.reply(0.2), "");

  client other(sim.address());  // the hang holds up nobody else
  EXPECT_EQ(other.exchange("ver;pf -i 0\n"),
            "XR 38100B Emulation System\r\nSystem firmware A.03.10\r\n0\r\nR>");
}

TEST(SimProcess, HostileInputIsSurvived) {
  sim_child sim({"--stall-time", "0.1"});
  ASSERT_TRUE(sim.running()) << sim.err();
  {
    client c(sim.address());
    EXPECT_EQ(c.exchange(std::string("\0\xff\x01;;;{{{\"\n", 11)), "R>");
    EXPECT_EQ(c.exchange(std::string(5000, 'x')), "!ERROR: command line too long\r\nR>");
    c.put(std::string(3000, 'y') + "\nver\n");  // the rest of the long line is dropped
    EXPECT_EQ(c.reply(), "XR 38100B Emulation System\r\nSystem firmware A.03.10\r\nR>");
    c.put(std::string(4097, 'w') + "\npf -i 0\n");  // too long even when it arrives whole
    EXPECT_EQ(c.read_until(
                  c.fd(), [](const std::string &s) { return s.ends_with("0\r\nR>"); }, 5),
              "!ERROR: command line too long\r\nR>0\r\nR>");
    EXPECT_EQ(c.exchange("mac x={echo \"" + std::string(3000, 'z') + "\"}\n"), "R>");
    EXPECT_EQ(c.download("lcd -qfb FFFFFFFF\n"), "\x06");
    std::string junk(20000, '\xFF');
    c.put(junk);  // a record count above 250 at once: the rest is swallowed
    EXPECT_NE(c.reply().find("!ERROR: download rejected: record 1 has a byte count of 65535"),
              std::string::npos);
  }
  // A crowd of silent clients and half-open control connections.
  std::vector<std::unique_ptr<client>> crowd;
  for (int i = 0; i < 70; ++i) {
    try {
      crowd.push_back(std::make_unique<client>(sim.address(), i % 2 == 0));
    } catch (const std::exception &) {
    }
  }
  for (int i = 0; i < 10; ++i) {
    int fd = connect_to(sim.address(), 3811);
    if (fd >= 0) {
      send(fd, "\x7f", 1, MSG_NOSIGNAL);
      close(fd);
    }
  }
  crowd.clear();
  client c(sim.address());
  EXPECT_EQ(c.exchange("pf -i 0\n"), "0\r\nR>");
}

TEST(SimProcess, StopsOnSigtermAndDumpsTheFlash) {
  sim_child sim({});
  ASSERT_TRUE(sim.running()) << sim.err();
  {
    client c(sim.address());
    EXPECT_EQ(c.download("lcd -qfb 3\n"), "\x06");
    c.put(record(0x10040000, "xyz") + kEnd);
    EXPECT_EQ(c.reply(), "\x01R>");
    c.put("pf -i 0");  // left hanging in the middle of a line
    EXPECT_EQ(sim.stop(), 0);
  }
  flash_memory m;
  std::string error;
  ASSERT_TRUE(read_abs_file(sim.dump_path(), m, nullptr, &error)) << error;
  EXPECT_EQ(m.size(), 3u);
  uint8_t b = 0;
  EXPECT_TRUE(m.read(0x10040002, &b));
  EXPECT_EQ(b, 'z');
}

// A replayed download that runs longer than the recorded one is swallowed to
// its end, or until it stalls, like any broken stream: none of its bytes is
// read as a command line, and the client hears of the divergence once.
TEST(SimProcess, ReplayedDownloadLongerThanRecordedIsSwallowed) {
  char trace[] = "/tmp/romupdate-sim-trace-XXXXXX";
  int fd = mkstemp(trace);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(trace, std::ios::binary)
      << "0\t0.000\ttrace\tformat=2 program=romupdate version=1 platform=unix "
         "start=2024-01-01T00:00:00Z\n"
         "1\t0.010\tcmd\tlcd -qfb 2\n"
         "1\t0.020\tgo\t\\x06\n"
         "1\t0.030\tdata\t12 bytes of t.X\n"
         "1\t0.040\tstatus\t\\x01\n"
         "1\t0.040\treply\tR>\n";
  std::string records;
  for (uint32_t at = 0x400000; records.size() < 5000; at += 250) {
    records += record(at, std::string(250, '\n'));
  }
  for (bool ended : {true, false}) {
    SCOPED_TRACE(ended ? "the stream ends" : "the stream stalls");
    sim_child sim({"--replay", trace, "--stall-time", "0.2"});
    ASSERT_TRUE(sim.running()) << sim.err();
    client c(sim.address());
    EXPECT_EQ(c.download("lcd -qfb 2\n"), "\x06");
    std::string stream = ended ? records + kEnd : records;
    for (size_t at = 0; at < stream.size(); at += 1024) {
      c.put(stream.substr(at, 1024));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(c.reply(), std::string("\0\0!ERROR: replay diverged from the trace\r\nR>", 44));
    EXPECT_EQ(c.bytes(1, 0.1), "");  // nothing more
    int commands = 0, divergences = 0;
    for (auto &e : sim.events()) {
      commands += e.size() == 4 && e[2] == "cmd";
      divergences += e.size() == 4 && e[2] == "diverge";
    }
    EXPECT_EQ(commands, 1) << sim.log();
    EXPECT_EQ(divergences, 1) << sim.log();
    std::string received = "received " + std::to_string(stream.size());
    EXPECT_NE(sim.log().find("expected 12 bytes (trace line 4), " + received), std::string::npos)
        << sim.log();
  }
  std::remove(trace);
}
