// Coming back to a target whose connection was lost, so that a run that
// broke off does not leave it locked and unrebooted: the exit routine's
// commands went into a dead connection, and the lock marker this run set
// would refuse every later run.
#include <csignal>
#include <cstdio>
#include <string>

#include "driver/driver.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "gtw/lock_clear.h"
#include "gtw/trace.h"
#include "platform/platform.h"

namespace {

// Five attempts two seconds apart, as after the reboot: a connection that
// broke on the way (a switch, a cable, a busy target) is usually back within
// a few seconds, and a target that is gone for longer is not worth holding
// the operator, or a fleet's slot, for.  About ten seconds in all.
constexpr int kRecoverAttempts = 5;
constexpr unsigned kRecoverPause = 2;

const char *target_address;
// Read by the interrupt routine.
volatile sig_atomic_t given_back = 0;

// Composed once the address is known: the interrupt routine only writes.
char advice_release[ADVICE_TEXT_SIZE];
char advice_reboot[ADVICE_TEXT_SIZE];

const char *not_done(bool reboot) { return reboot ? "rebooted" : "released"; }

void compose_advice(char *buf, bool reboot) {
  int n = snprintf(buf, ADVICE_TEXT_SIZE,
                   "%s: interrupted: %s was not %s and its lock may remain; "
                   "romupdate-unlock %s clears it\n",
                   program_name, target_address, not_done(reboot), target_address);
  if (n < 0 || n >= ADVICE_TEXT_SIZE) {
    buf[ADVICE_TEXT_SIZE - 2] = '\n';
    buf[ADVICE_TEXT_SIZE - 1] = '\0';
  }
}

// The target is in an unknown state and may still carry this run's marker.
void advise(bool reached, bool reboot) {
  if (reached) {
    fprintf(stderr, "%s: %s was not %s and its lock may remain; romupdate-unlock %s clears it\n",
            program_name, target_address, not_done(reboot), target_address);
  } else {
    fprintf(stderr,
            "%s: could not reach %s again: it was not %s and its lock may remain; "
            "romupdate-unlock %s clears it\n",
            program_name, target_address, not_done(reboot), target_address);
  }
}

bool reconnect() {
  for (int attempt = 0; attempt < kRecoverAttempts; ++attempt) {
    trace_sleep(kRecoverPause);
    plat_sleep(kRecoverPause);
    if (gtw_connect(&gtw, target_address, GTW_OPEN_LOCK) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

void remember_target(const char *address) {
  target_address = address;
  compose_advice(advice_release, false);
  compose_advice(advice_reboot, true);
}

void target_given_back() { given_back = 1; }

const char *interrupted_advice() {
  if (!target_address || given_back) {
    return "";
  }
  return interface_started == 2 && !bdm_flag ? advice_reboot : advice_release;
}

void recover_target(bool reboot) {
  if (!target_address) {
    return;
  }
  // The dead connection goes first; in lock mode nothing is sent on it.
  if (gtw.command_socket != PLAT_INVALID_SOCKET || gtw.control_socket != PLAT_INVALID_SOCKET) {
    gtw_close(&gtw, 0);
  }
  // What failed has been said; the attempts' refusals are not news.
  gtw_flush_messages();
  if (!reconnect()) {
    gtw_flush_messages();
    advise(false, reboot);
    return;
  }

  // Only a marker this program wrote: the same user may hold the target
  // from another user interface by now.
  lock_clearing c = gtw_clear_lock(&gtw, false, true);
  gtw_flush_messages();
  switch (c.result) {
    case lock_clearing::outcome::removed:
      say("Reconnected to %s and removed this run's lock marker\n", target_address);
      if (!reboot) {
        gtw_close(&gtw, 0);
        target_given_back();
        return;
      }
      if (gtw_write_command(&gtw, "init -p\n") < 0) {
        gtw_close(&gtw, 0);
        advise(true, true);
        return;
      }
      target_given_back();
      trace_sleep(reboot_wait_seconds());
      plat_sleep(reboot_wait_seconds());
      return;
    case lock_clearing::outcome::free:
      gtw_close(&gtw, 0);
      // Nobody holds it: rebooted meanwhile, or cleared by hand.  A free
      // target is left to whoever takes it next.
      if (reboot) {
        fprintf(stderr, "%s: %s was found unlocked after the connection was lost; not rebooted\n",
                program_name, target_address);
      }
      return;
    case lock_clearing::outcome::left:
      gtw_close(&gtw, 0);
      fprintf(stderr, "%s: %s was not %s: it is now locked by %s; that lock was left alone\n",
              program_name, target_address, not_done(reboot),
              describe_holder(c.holder, c.lines).c_str());
      return;
    case lock_clearing::outcome::still_locked:
    case lock_clearing::outcome::lost:
      gtw_close(&gtw, 0);
      advise(true, reboot);
      return;
  }
}
