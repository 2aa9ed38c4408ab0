// The query of one instrument: the lock probe of every program that takes a
// target's lock, then "ver", inside the one "lanlk -e" ... "lanlk -d"
// bracket that the probe opens.  The inventory never defines the lock
// marker, so the bracket is all there is to give back: on a normal end, on
// a failed command, and from the interrupt routine.
#include "query.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "bounds.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "gtw/lock_clear.h"
#include "gtw/lock_marker.h"
#include "platform/platform.h"

namespace {

// A version text is a few lines; a reply of thousands is not worth keeping.
constexpr size_t MAX_KEPT_LINES = 64;

// Set while the probe's LAN lock may be held on gtw's command connection.
// The interrupt routine reads it; it runs on another thread in the Windows
// build.
volatile sig_atomic_t holding_lan_lock = 0;

char interrupt_text[SIGNAL_TEXT_SIZE];

void collect_line(const char *line, void *arg) {
  auto *lines = static_cast<std::vector<std::string> *>(arg);
  if (lines->size() < MAX_KEPT_LINES) {
    lines->emplace_back(line);
  }
}

void take_reasons(instrument_report *report) {
  while (char *text = gtw_get_message()) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) {
      n--;
    }
    report->reasons.emplace_back(text, n);
    free(text);
  }
}

// Ends the bracket.  false when the connection is gone: then the target
// may not have seen the end, and the query did not finish.
bool give_back(instrument_report *report) {
  bool ok = (gtw_send_command(&gtw, GTW_LOCK_END, nullptr, nullptr) & GTW_FAILED) == 0;
  holding_lan_lock = 0;
  if (ok) {
    gtw_flush_messages();
  } else {
    take_reasons(report);
  }
  gtw_close(&gtw, 0);
  return ok;
}

// The holder on one line: an incomplete marker's own lines follow each
// other with " / ".
std::string one_line(std::string text) {
  const char *joint = " ";
  for (size_t at = text.find("\n    "); at != std::string::npos; at = text.find("\n    ", at)) {
    text.replace(at, 5, joint);
    joint = " / ";
  }
  return text;
}

// Classifies the target by each line of its version text, as an update
// does, and keeps the lines for the report.
void version_line(const char *line, void *arg) {
  ver_reply_line(line, nullptr);
  collect_line(line, arg);
}

void on_interrupt(int) {
  if (holding_lan_lock) {
    // No reply is awaited: the process ends here.  The command goes out in
    // one send, like every command.
    plat_send(gtw.command_socket, GTW_LOCK_END, sizeof GTW_LOCK_END - 1);
  }
  plat_write_stderr(interrupt_text);
  plat_exit_now(1);
}

}  // namespace

void install_query_interrupts() {
  snprintf(interrupt_text, sizeof interrupt_text, "%s: Interrupt\n", program_name);
  plat_install_interrupts(on_interrupt);
}

instrument_report query_instrument(const char *address) {
  instrument_report report;
  report.address = address;
  gtw_flush_messages();
  if (gtw_connect(&gtw, address, GTW_OPEN_LOCK) != 0) {
    take_reasons(&report);
    return report;
  }
  report.reachable = instrument_report::reach::lost;

  holding_lan_lock = 1;
  const std::vector<std::string> marker = gtw_probe_lock(&gtw);

  if (!marker.empty()) {
    report.locked = true;
    report.holder = one_line(describe_holder(read_lock_marker(marker), marker));
    if (give_back(&report)) {
      report.lock_known = true;
      report.reachable = instrument_report::reach::yes;
    }
    return report;
  }

  yak = quokka = marlin = 0;
  // A refused "ver" leaves the class open, as it does for an update.
  gtw_send_command(&gtw, "ver\n", version_line, &report.version);
  gtw_flush_messages();
  if (give_back(&report)) {
    report.lock_known = true;
    report.asked = true;
    report.yak = yak;
    report.quokka = quokka;
    report.marlin = marlin;
    report.reachable = instrument_report::reach::yes;
  }
  return report;
}
