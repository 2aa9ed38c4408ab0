// The lock marker as the target shows it: running "lockinfo" on a held
// target echoes who holds it, one item a line:
//
//   user: 1000
//   userinterface: 4 (gateway)
//   host name: bench7
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct lock_holder {
  std::string user;
  std::string user_interface;
  std::string host;
  // All three items were found, each once.  A marker that is not complete
  // never counts as anyone's own.
  bool complete = false;
};

lock_holder read_lock_marker(const std::vector<std::string> &lines);

// Whether the marker names this user on this host, as romupdate running
// here would have written it.
bool held_by(const lock_holder &holder, std::string_view user, std::string_view host);

// Whether the marker names the gateway user interface, the one romupdate
// registers as.
bool names_gateway(const lock_holder &holder);

// "user 1000, user interface 4 (gateway), host bench7", or the marker's own
// lines when it is not complete; ready to print, its control bytes shown as
// visible_text() shows them.
std::string describe_holder(const lock_holder &holder, const std::vector<std::string> &lines);
