// The one way out of a run: exit_romupdate, and the interrupt routine that
// ends a run from inside a signal.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "driver/progress.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "gtw/trace.h"
#include "platform/platform.h"

namespace {

const char kFailed[] = "Flash programming FAILED\n";
const char kSucceeded[] = "Flash programming SUCCEEDED\n";

// Composed once at start-up: the interrupt routine may not format or
// allocate, it only writes these.
char interrupt_text[SIGNAL_TEXT_SIZE];
char terminate_text[SIGNAL_TEXT_SIZE];

// Set while the exit routine acts on the target, so that a second pass
// (never expected) cannot reboot or release twice.
bool exiting;

void compose_signal_text(char *buf, const char *what) {
  int n = snprintf(buf, SIGNAL_TEXT_SIZE, "%s: %s\n", program_name, what);
  // A program name too long for the buffer still gets its line end.
  if (n < 0 || n >= SIGNAL_TEXT_SIZE) {
    buf[SIGNAL_TEXT_SIZE - 2] = '\n';
    buf[SIGNAL_TEXT_SIZE - 1] = '\0';
  }
}

// An interrupted run may have been stopped anywhere, inside stdio or the
// allocator included: only async-signal-safe writes and _exit from here.
[[noreturn]] void exit_interrupted(int status) {
  plat_write_stderr(interrupted_advice());
  if (verboseflag) {
    plat_write_stderr(status ? kFailed : kSucceeded);
  }
  trace_exit(status);
  plat_exit_now(status);
}

// Gives the lock back over the run's connection, or over a new one when
// that one is gone.
void release() {
  if (!gtw_connection_lost(&gtw) && gtw_close(&gtw, 1)) {
    target_given_back();
    return;
  }
  recover_target(false);
}

// The target drops the connection as it reboots; no reply is read.  A
// reboot command that cannot go out (the target dropped the connection
// earlier, or never came back from the first reboot) would leave the target
// locked and unrebooted: the target is reached again instead.
void reboot() {
  if (!gtw_connection_lost(&gtw) && gtw_write_command(&gtw, "init -p\n") > 0) {
    target_given_back();
    trace_sleep(reboot_wait_seconds());
    plat_sleep(reboot_wait_seconds());
    return;
  }
  recover_target(true);
}

void release_or_reboot() {
  switch (interface_started) {
    case 1:
      // Still locked and not rebooted: give the lock back.
      release();
      break;
    case 2:
      say("\nRebooting Flash Target System...\n");
      if (bdm_flag) {
        release();
      } else {
        reboot();
      }
      break;
    default:
      break;
  }
}

}  // namespace

unsigned reboot_wait_seconds() { return (quokka || yak) ? 8 : 20; }

void prepare_interrupt_texts() {
  compose_signal_text(interrupt_text, "Interrupt");
  compose_signal_text(terminate_text, "Terminate");
}

void exit_romupdate(int status) {
  if (interrupted) {
    exit_interrupted(status);
  }
  if (!exiting) {
    exiting = true;
    release_or_reboot();
  }
  say("%s", status ? kFailed : kSucceeded);
  fflush(stdout);
  fflush(stderr);
  trace_exit(status);
  exit(status);
}

void interrupt_handler(int sig) {
  interrupted = 1;
  clear_progress_on_interrupt();
  if (sig == SIGINT) {
    plat_write_stderr(interrupt_text);
  } else if (sig == SIGTERM) {
    plat_write_stderr(terminate_text);
  }
  // Hangup and quit end the run without a message.
  exit_romupdate(1);
}
