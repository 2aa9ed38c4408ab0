#include "gtw/lock_marker.h"

#include <gtest/gtest.h>

namespace {

using lines_t = std::vector<std::string>;

const lines_t ours = {"user: 1000", "userinterface: 4 (gateway)", "host name: vm"};

TEST(LockMarker, OnlyAMarkerNamingThisUserOnThisHostIsOurs) {
  struct {
    lines_t lines;
    bool ours;
  } cases[] = {
      {ours, true},
      {{"host name: vm ", "  user: 1000", "userinterface: 1 (terminal)"},
       true},                                                                   // order and blanks
      {{"user: 1001", "userinterface: 4 (gateway)", "host name: vm"}, false},   // another user
      {{"user: 1000", "userinterface: 4 (gateway)", "host name: vm2"}, false},  // another host
      {{"user: 100", "userinterface: 4 (gateway)", "host name: vm"}, false},    // a prefix of ours
      {{"user: 1000", "host name: vm"}, false},                                 // incomplete
      {{"user: 1000", "userinterface: 4 (gateway)", "host name: vm", "user: 4242"}, false},
      {{"user: 1000", "userinterface: 4 (gateway)", "host name: vm", "extra"}, false},
      {{"locked"}, false},
  };
  for (const auto &c : cases) {
    lock_holder holder = read_lock_marker(c.lines);
    EXPECT_EQ(held_by(holder, "1000", "vm"), c.ours) << describe_holder(holder, c.lines);
  }
  // The Windows build's user, and a host name this side could not read.
  EXPECT_TRUE(
      held_by(read_lock_marker({"user: msdos", "userinterface: 4 (gateway)", "host name: pc"}),
              "msdos", "pc"));
  EXPECT_FALSE(held_by(
      read_lock_marker({"user: 1000", "userinterface: 4 (gateway)", "host name: "}), "1000", ""));
}

TEST(LockMarker, DescriptionNamesTheHolderOrQuotesTheMarker) {
  EXPECT_EQ(describe_holder(read_lock_marker(ours), ours),
            "user 1000, user interface 4 (gateway), host vm");
  lines_t odd = {"held by the bench", "since Monday"};
  EXPECT_EQ(describe_holder(read_lock_marker(odd), odd),
            "a lock marker that reads:\n    held by the bench\n    since Monday");

  // Whoever wrote the marker cannot write to the terminal through it.
  lines_t hostile = {"user: 4242", "userinterface: 1 (terminal)",
                     "host name: b7\x1b[2K\r10.0.0.1 is free\x1b[8m"};
  EXPECT_EQ(describe_holder(read_lock_marker(hostile), hostile),
            "user 4242, user interface 1 (terminal), host "
            "b7\\x1B[2K\\x0D10.0.0.1 is free\\x1B[8m");
  hostile.push_back("\2331A");  // the one-byte CSI (0x9B): cursor up
  EXPECT_EQ(describe_holder(read_lock_marker(hostile), hostile).substr(25),
            "\n    user: 4242\n    userinterface: 1 (terminal)\n    host name: "
            "b7\\x1B[2K\\x0D10.0.0.1 is free\\x1B[8m\n    \\x9B1A");
}

}  // namespace
