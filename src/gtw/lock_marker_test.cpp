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
}

}  // namespace
