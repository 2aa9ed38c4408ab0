#include "gtw/lock_marker.h"

#include "gtw/visible.h"

namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// Takes the value of "KEY: value" into *value; a key seen twice spoils the
// marker, since it could then name two holders.
bool take_item(std::string_view line, std::string_view key, std::string *value, int *seen) {
  if (line.substr(0, key.size()) != key) {
    return false;
  }
  *value = std::string(trimmed(line.substr(key.size())));
  ++*seen;
  return true;
}

}  // namespace

lock_holder read_lock_marker(const std::vector<std::string> &lines) {
  lock_holder holder;
  int users = 0, interfaces = 0, hosts = 0, others = 0;
  for (const std::string &text : lines) {
    std::string_view line = trimmed(text);
    if (!take_item(line, "user:", &holder.user, &users) &&
        !take_item(line, "userinterface:", &holder.user_interface, &interfaces) &&
        !take_item(line, "host name:", &holder.host, &hosts)) {
      ++others;
    }
  }
  holder.complete = users == 1 && interfaces == 1 && hosts == 1 && others == 0;
  return holder;
}

bool held_by(const lock_holder &holder, std::string_view user, std::string_view host) {
  return holder.complete && !user.empty() && !host.empty() && holder.user == user &&
         holder.host == host;
}

bool names_gateway(const lock_holder &holder) {
  return holder.complete && holder.user_interface == "4 (gateway)";
}

// Whoever wrote the marker chose its bytes: they are shown, never obeyed by
// the terminal that prints the description.
std::string describe_holder(const lock_holder &holder, const std::vector<std::string> &lines) {
  if (holder.complete) {
    return "user " + visible_text(holder.user) + ", user interface " +
           visible_text(holder.user_interface) + ", host " + visible_text(holder.host);
  }
  std::string text = "a lock marker that reads:";
  for (const std::string &line : lines) {
    text += "\n    " + visible_text(line);
  }
  return text;
}
