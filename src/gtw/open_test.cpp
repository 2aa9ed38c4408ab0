#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gtw/gtw.h"
#include "gtw/lock_clear.h"
#include "gtw/gtw_test_support.h"

using gtw_test::take_messages;
using Strings = std::vector<std::string>;

namespace {

// The target's service port, as the layer finds it.
unsigned short command_port() {
  const servent *service = getservbyname("xr38100", "tcp");
  return service ? ntohs(static_cast<unsigned short>(service->s_port)) : 3810;
}

std::string local_host_name() {
  char name[128] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

int listen_on(const char *address, unsigned short port) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) {
    return -1;
  }
  int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  inet_pton(AF_INET, address, &where.sin_addr);
  if (bind(sock, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 || listen(sock, 4) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

// Waits at most a few seconds for the socket to become readable, so that a
// fake target never outlives a test that went wrong.
bool readable(int sock) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock, &set);
  timeval limit{5, 0};
  return select(sock + 1, &set, nullptr, nullptr, &limit) > 0;
}

int accept_within(int listener) {
  return readable(listener) ? accept(listener, nullptr, nullptr) : -1;
}

// A target on one of the loopback addresses: it takes the command and the
// control connection, reads the six opening bytes, records every command
// line and answers each with the text its script gives.  It ends when the
// program closes the command connection, or after a few idle seconds.
class fake_target {
 public:
  // A script's reply that ends in this makes the target close both
  // connections after sending the rest.
  static constexpr std::string_view HANG_UP = "<hang up>";
  using script = std::function<std::string(const std::string &command)>;

  fake_target(const char *address, script answer) : answer_(std::move(answer)) {
    command_listener_ = listen_on(address, command_port());
    control_listener_ = listen_on(address, static_cast<unsigned short>(command_port() + 1));
    if (command_listener_ >= 0 && control_listener_ >= 0) {
      thread_ = std::thread([this] { run(); });
    }
  }
  ~fake_target() { finish(); }

  bool ok() const { return thread_.joinable() || finished_; }

  // Waits for the target's end; the records below are complete afterwards.
  void finish() {
    if (thread_.joinable()) {
      thread_.join();
    }
    finished_ = true;
    for (int *sock : {&command_listener_, &control_listener_}) {
      if (*sock >= 0) {
        close(*sock), *sock = -1;
      }
    }
  }

  Strings commands;            // each command line, line end included
  std::string opening;         // the first bytes on the control connection
  sockaddr_in command_peer{};  // the program's end of the command connection

 private:
  void run() {
    int command = accept_within(command_listener_);
    int control = accept_within(control_listener_);
    if (command >= 0 && control >= 0) {
      socklen_t size = sizeof command_peer;
      getpeername(command, reinterpret_cast<sockaddr *>(&command_peer), &size);
      char bytes[6];
      size_t got = 0;
      while (got < sizeof bytes && readable(control)) {
        ssize_t n = recv(control, bytes + got, sizeof bytes - got, 0);
        if (n <= 0) {
          break;
        }
        got += static_cast<size_t>(n);
      }
      opening.assign(bytes, got);
      serve(command);
    }
    if (command >= 0) {
      close(command);
    }
    if (control >= 0) {
      close(control);
    }
  }

  void serve(int command) {
    std::string pending;
    char buffer[512];
    while (readable(command)) {
      ssize_t n = recv(command, buffer, sizeof buffer, 0);
      if (n <= 0) {
        return;
      }
      pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end + 1);
        pending.erase(0, end + 1);
        commands.push_back(line);
        std::string reply = answer_(line);
        bool hang_up = reply.ends_with(HANG_UP);
        if (hang_up) {
          reply.resize(reply.size() - HANG_UP.size());
        }
        if (send(command, reply.data(), reply.size(), MSG_NOSIGNAL) < 0 || hang_up) {
          return;
        }
      }
    }
  }

  script answer_;
  int command_listener_ = -1;
  int control_listener_ = -1;
  std::thread thread_;
  bool finished_ = false;
};

// A free target: the probe finds no marker, every other command succeeds.
std::string free_target(const std::string &command) {
  if (command == "lanlk -e;lockinfo\n") {
    return "!E: lockinfo: no such macro\nR>";
  }
  if (command == "po -p $\n" || command.rfind("mac lockinfo=", 0) == 0) {
    return "R$";
  }
  return "R>";
}

std::string lock_marker() {
  return "mac lockinfo={echo \"user: " + std::string(plat_text().user) +
         "\" \\0A \"userinterface: 4 (gateway)\" \\0A \"host name: " + local_host_name() +
         "\" \\0A  };lanlk -d\n";
}

class Open : public ::testing::Test {
 protected:
  void SetUp() override { gtw_flush_messages(); }
  void TearDown() override {
    plat_close_socket(conn.command_socket);
    plat_close_socket(conn.control_socket);
    gtw_flush_messages();
  }
  void expect_closed() {
    EXPECT_EQ(conn.command_socket, PLAT_INVALID_SOCKET);
    EXPECT_EQ(conn.control_socket, PLAT_INVALID_SOCKET);
  }
  gtw_conn conn;
};

TEST_F(Open, LockModeLocksAndReleases) {
  fake_target target("127.0.10.1", free_target);
  ASSERT_TRUE(target.ok());
  // Reasons left over from earlier attempts go with the probe's answers.
  gtw_add_message("an earlier failed attempt");

  EXPECT_EQ(gtw_open(&conn, "127.0.10.1", GTW_OPEN_LOCK), 0);
  EXPECT_EQ(conn.started, 0);
  EXPECT_NE(conn.command_socket, PLAT_INVALID_SOCKET);
  EXPECT_NE(conn.control_socket, PLAT_INVALID_SOCKET);
  EXPECT_TRUE(take_messages().empty());

  gtw_close(&conn, 1);
  expect_closed();
  target.finish();
  EXPECT_EQ(target.commands, (Strings{"lanlk -e;lockinfo\n", "po -p $\n", lock_marker(),
                                      "mac -d lockinfo\n", "po -p >\n"}));

  // The control connection is introduced by the command connection's
  // local address and port, in network byte order.
  ASSERT_EQ(target.opening.size(), 6u);
  EXPECT_EQ(memcmp(target.opening.data(), &target.command_peer.sin_addr.s_addr, 4), 0);
  EXPECT_EQ(memcmp(target.opening.data() + 4, &target.command_peer.sin_port, 2), 0);
}

TEST_F(Open, CloseWithoutReleaseSendsNothing) {
  fake_target target("127.0.10.2", free_target);
  ASSERT_TRUE(target.ok());
  ASSERT_EQ(gtw_open(&conn, "127.0.10.2", GTW_OPEN_LOCK), 0);
  gtw_close(&conn, 0);
  expect_closed();
  target.finish();
  EXPECT_EQ(target.commands, (Strings{"lanlk -e;lockinfo\n", "po -p $\n", lock_marker()}));
}

TEST_F(Open, LockedTargetIsLeftAlone) {
  fake_target target("127.0.10.3", [](const std::string &command) -> std::string {
    if (command == "lanlk -e;lockinfo\n") {
      return "user: 1234\nuserinterface: 4 (gateway)\nhost name: elsewhere\nR>";
    }
    return "R>";
  });
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(gtw_open(&conn, "127.0.10.3", GTW_OPEN_LOCK), GTW_MESSAGES | GTW_FAILED);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"127.0.10.3 is locked by another user interface"}));
  target.finish();
  EXPECT_EQ(target.commands, (Strings{"lanlk -e;lockinfo\n", "lanlk -d\n"}));

  // The record's sockets are closed for good: a late write through it does
  // not reach a file that took over the descriptor number.
  char name[] = "/tmp/gtw_stale_XXXXXX";
  int file = mkstemp(name);
  ASSERT_GE(file, 0);
  EXPECT_EQ(gtw_write_command(&conn, "init -p\n"), -1);
  EXPECT_EQ(gtw_send_command(&conn, "ver\n", nullptr, nullptr), GTW_FAILED);
  gtw_close(&conn, 1);
  EXPECT_EQ(lseek(file, 0, SEEK_END), 0);
  close(file);
  unlink(name);
}

TEST_F(Open, FailedLockCommandReleasesTheMarkerAndCloses) {
  fake_target target("127.0.10.4", [](const std::string &command) -> std::string {
    if (command == "po -p $\n") {
      return "!ERROR: po: bad option\nR>";
    }
    return free_target(command);
  });
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(gtw_open(&conn, "127.0.10.4", GTW_OPEN_LOCK),
            GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"!ERROR: po: bad option"}));
  target.finish();
  // The marker is still defined, and then released as a close does, so that
  // the next run does not find the target locked.
  EXPECT_EQ(target.commands, (Strings{"lanlk -e;lockinfo\n", "po -p $\n", lock_marker(),
                                      "mac -d lockinfo\n", "po -p >\n"}));

  // A refusal in the marker's own line, from the definition or from the
  // unlock behind it: the unlock is sent again and whatever marker there is
  // removed.  Leaving either would lock the target against the next run.
  for (const char *refusal : {"!ERROR: mac: no room\nR>", "!ERROR: lanlk: not locked\nR>"}) {
    fake_target refusing("127.0.10.14", [&](const std::string &command) -> std::string {
      if (command.rfind("mac lockinfo=", 0) == 0) {
        return refusal;
      }
      return free_target(command);
    });
    ASSERT_TRUE(refusing.ok());
    EXPECT_EQ(gtw_open(&conn, "127.0.10.14", GTW_OPEN_LOCK),
              GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
    expect_closed();
    refusing.finish();
    EXPECT_EQ(refusing.commands, (Strings{"lanlk -e;lockinfo\n", "po -p $\n", lock_marker(),
                                          "lanlk -d\n", "mac -d lockinfo\n", "po -p >\n"}))
        << refusal;
    gtw_flush_messages();
  }
}

TEST_F(Open, TargetVanishingDuringTheOpeningFails) {
  fake_target target("127.0.10.5", [](const std::string &command) -> std::string {
    if (command == "po -p $\n") {
      return "!half a reply<hang up>";
    }
    return free_target(command);
  });
  ASSERT_TRUE(target.ok());
  int result = gtw_open(&conn, "127.0.10.5", GTW_OPEN_LOCK);
  EXPECT_TRUE(result & GTW_FAILED);
  expect_closed();
  Strings messages = take_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "gtw_read_prompt: connection closed by target");
}

TEST_F(Open, StartModes) {
  struct {
    const char *address;
    int type;
    unsigned char release;
    const char *option;
    const char *end;
  } cases[] = {{"127.0.10.6", 1, 1, "", "end -r\n"},
               {"127.0.10.7", 2, 0, "-e", "end\n"},
               {"127.0.10.8", 3, 1, "-a", "end -r\n"}};
  for (const auto &c : cases) {
    fake_target target(c.address, [](const std::string &) -> std::string { return "R>"; });
    ASSERT_TRUE(target.ok());
    gtw_conn started;
    EXPECT_EQ(gtw_open(&started, c.address, c.type), 0) << c.type;
    EXPECT_EQ(started.started, 1);
    gtw_close(&started, c.release);
    target.finish();
    std::string start = std::string("start ") + c.option + " -u " + plat_text().user + " -h " +
                        local_host_name() + "\n";
    EXPECT_EQ(target.commands, (Strings{start, c.end})) << c.type;
  }
}

TEST_F(Open, FailedStartClosesTheConnection) {
  fake_target target("127.0.10.9", [](const std::string &) -> std::string {
    return "!ERROR: start: no interface\nR>";
  });
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(gtw_open(&conn, "127.0.10.9", 2), GTW_MESSAGES | GTW_FAILED | GTW_TARGET_ERROR);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"!ERROR: start: no interface"}));
}

TEST_F(Open, InvalidOpenType) {
  fake_target target("127.0.10.10", free_target);
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(gtw_open(&conn, "127.0.10.10", 4), GTW_MESSAGES | GTW_FAILED);
  EXPECT_EQ(conn.started, 1);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"invalid open type 4"}));
  target.finish();
  EXPECT_TRUE(target.commands.empty());
}

// The same user on the same host may hold the target from a debugger's user
// interface: only romupdate-unlock's rule takes that marker for its own, the
// rule for a marker a run of this program wrote does not.
TEST_F(Open, ClearingTakesOnlyTheMarkerItsRuleCallsOurs) {
  struct {
    const char *address;
    const char *user_interface;
    bool gateway_only;
    bool removed;
  } cases[] = {
      {"127.0.10.15", "1 (terminal)", true, false},
      {"127.0.10.16", "1 (terminal)", false, true},
      {"127.0.10.17", "4 (gateway)", true, true},
  };
  for (const auto &c : cases) {
    const std::string marker = "user: " + std::string(plat_text().user) +
                               "\nuserinterface: " + c.user_interface +
                               "\nhost name: " + local_host_name() + "\nR>";
    fake_target target(c.address, [&](const std::string &command) -> std::string {
      return command == "lanlk -e;lockinfo\n" ? marker : "R>";
    });
    ASSERT_TRUE(target.ok());
    ASSERT_EQ(gtw_connect(&conn, c.address, GTW_OPEN_LOCK), 0);
    lock_clearing cleared = gtw_clear_lock(&conn, false, c.gateway_only);
    gtw_close(&conn, 0);
    target.finish();
    EXPECT_EQ(cleared.ours, c.removed) << c.address;
    EXPECT_EQ(cleared.result == lock_clearing::outcome::left, !c.removed) << c.address;
    bool sent_removal = false;
    for (const std::string &command : target.commands) {
      sent_removal = sent_removal || command == "mac -d lockinfo\n";
    }
    EXPECT_EQ(sent_removal, c.removed) << c.address;
  }
}

TEST_F(Open, RefusedConnection) {
  EXPECT_EQ(gtw_open(&conn, "127.0.10.11", GTW_OPEN_LOCK), GTW_MESSAGES | GTW_FAILED);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"command port connect failed, Connection refused"}));
}

TEST_F(Open, RefusedControlConnection) {
  // The command port accepts (the listener's backlog completes the
  // connection); the control port has no listener.
  int listener = listen_on("127.0.10.13", command_port());
  ASSERT_GE(listener, 0);
  EXPECT_EQ(gtw_open(&conn, "127.0.10.13", GTW_OPEN_LOCK), GTW_MESSAGES | GTW_FAILED);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"control port connected failed Connection refused"}));
  close(listener);
}

TEST_F(Open, UnknownHost) {
  EXPECT_EQ(gtw_open(&conn, "no-such-target.invalid", GTW_OPEN_LOCK), GTW_MESSAGES | GTW_FAILED);
  expect_closed();
  EXPECT_EQ(take_messages(), (Strings{"no-such-target.invalid not found in /etc/hosts"}));

  // A host text too long for the message is cut, not overrun.
  std::string huge(3000, 'h');
  EXPECT_EQ(gtw_open(&conn, huge.c_str(), GTW_OPEN_LOCK), GTW_MESSAGES | GTW_FAILED);
  Strings messages = take_messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], std::string(1023, 'h'));
}

}  // namespace
