// Finding out what the target is, and rebooting it before programming.
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "driver/progress.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "gtw/trace.h"
#include "platform/platform.h"

namespace {

// The target comes back from a reboot within two minutes or not at all.
constexpr int kReconnectAttempts = 60;
constexpr unsigned kReconnectPause = 2;

// Sends a command whose reply is not wanted; any message line or failure
// ends the run.
void send_or_fail(const char *command) {
  if (gtw_send_command(&gtw, command, ignore_reply_line, nullptr) != 0) {
    fail_with_messages();
  }
}

}  // namespace

// Classifies the target from its version text.  Every line is looked at, so
// a later line can undo an earlier one: a processor probe line clears the
// 38100B class, a later 38100B line sets it again.
void ver_reply_line(const char *line, void *) {
  if (strstr(line, "T5821") != nullptr) {
    yak = 1;
    quokka = 0;
    say("Mainframe is a processor probe\n");
    return;
  }
  const char *at = strstr(line, "38100");
  while (at != nullptr) {
    if (strncmp(at, "38100B", 6) == 0) {
      say("Mainframe is a 38100B\n");
      quokka = 1;
      return;
    }
    if (strncmp(at, "38100 B ", 8) == 0) {
      say("Mainframe is a 38100 B\n");
      quokka = 1;
      return;
    }
    if (strncmp(at, "38100 Series", 12) == 0) {
      say("Mainframe is a 38100A\n");
      marlin = 1;
      return;
    }
    at = strchr(at + 1, '3');
  }
}

void identify_target() {
  say("Checking System firmware revision...\n");
  // A target that refuses "ver" simply stays unclassified.
  gtw_send_command(&gtw, "ver\n", ver_reply_line, nullptr);
}

void refuse_lan_on_quokka() {
  if (!programming_lan || !quokka) {
    return;
  }
  fputs("\n38126 is incompatable and unnecessary with 38100B hardware.\n", stderr);
  exit_romupdate(1);
}

void reboot_and_reconnect(const product_config *table, const char *address) {
  if (!bdm_flag) {
    say("\nRebooting Flash Target System...");
    // The first entry decides: a processor probe's own firmware is
    // programmed from a power-on style reset.
    const char *command = table[0].initr ? "init -r\n" : "init -p\n";
    say("with %s\n", command);
    gtw_write_command(&gtw, command);
    interface_started = 2;
    gtw_close(&gtw, 0);

    bool back = false;
    for (int attempt = 0; attempt < kReconnectAttempts && !back; ++attempt) {
      reconnect_progress(attempt + 1, kReconnectAttempts);
      trace_sleep(kReconnectPause);
      plat_sleep(kReconnectPause);
      int result = gtw_open(&gtw, address, GTW_OPEN_LOCK);
      if (result == 0) {
        // The refusals of the target while it was still booting.
        gtw_flush_messages();
        back = true;
      } else if ((result & GTW_FAILED) == 0) {
        // Opened, locked, but with messages: not a clean start.  Give the
        // lock back before the next attempt rather than leave this
        // connection open behind the next one.
        gtw_close(&gtw, 1);
      }
    }
    clear_progress();
    if (!back) {
      fail_with_messages();
    }
  }
  interface_started = 2;
  send_or_fail("mac enableXR38100debug={}\n");
  send_or_fail("mac enableXRdebug={}\n");
}
