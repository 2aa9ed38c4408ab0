#include "gtw/lock_clear.h"

#include "bounds.h"

namespace {

// The marker may hold anything a user interface echoed; a few lines are
// plenty to say who it is.
constexpr size_t MAX_MARKER_LINES = 16;

void collect_line(const char *line, void *arg) {
  auto *lines = static_cast<std::vector<std::string> *>(arg);
  if (lines->size() < MAX_MARKER_LINES) {
    lines->emplace_back(line);
  }
}

// A failed command keeps its reasons queued for the caller.
bool command(gtw_conn *conn, const char *text) {
  if (gtw_send_command(conn, text, nullptr, nullptr) & GTW_FAILED) {
    return false;
  }
  gtw_flush_messages();
  return true;
}

}  // namespace

// Ordinary reply lines are the marker of whoever holds the target; a free
// target only complains in message lines.
std::vector<std::string> gtw_probe_lock(gtw_conn *conn) {
  std::vector<std::string> lines;
  gtw_send_command(conn, GTW_LOCK_PROBE, collect_line, &lines);
  gtw_flush_messages();
  return lines;
}

lock_clearing gtw_clear_lock(gtw_conn *conn, bool force, bool gateway_only) {
  lock_clearing c;
  c.lines = gtw_probe_lock(conn);
  if (c.lines.empty()) {
    c.result =
        command(conn, GTW_LOCK_END) ? lock_clearing::outcome::free : lock_clearing::outcome::lost;
    return c;
  }

  c.holder = read_lock_marker(c.lines);
  char host[GTW_HOSTNAME_SIZE];
  gtw_local_host(host, sizeof host);
  c.ours = held_by(c.holder, plat_text().user, host) && (!gateway_only || names_gateway(c.holder));
  if (!c.ours && !force) {
    command(conn, GTW_LOCK_END);
    c.result = lock_clearing::outcome::left;
    return c;
  }

  // What an orderly end of a run sends when it gives the target back, still
  // under the probe's "lanlk -e".
  if (!command(conn, GTW_MARKER_REMOVE) || !command(conn, GTW_PROMPT_RESET) ||
      !command(conn, GTW_LOCK_END)) {
    return c;
  }
  bool marker_left = !gtw_probe_lock(conn).empty();
  if (!command(conn, GTW_LOCK_END)) {
    return c;
  }
  c.result = marker_left ? lock_clearing::outcome::still_locked : lock_clearing::outcome::removed;
  return c;
}
