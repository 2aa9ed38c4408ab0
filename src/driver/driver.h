// The steps of a run, as the main routine calls them.
#pragma once

#include "config/config.h"
#include "driver/program_plan.h"

// The whole run; never returns.
[[noreturn]] void romupdate_main(int argc, char **argv);

// Step 5: "ver" and the class flags.
void identify_target();
// Step 7: the LAN-card product on a 38100B.
void refuse_lan_on_quokka();
// Step 10: reboot, reconnect, debug macros.
void reboot_and_reconnect(const product_config *table, const char *address);
// Before the first reboot: the plan.  Finds, walks and fits every image the
// run may write, and holds it open, so that a bad one ends the run before
// anything on the target has changed.  Prints nothing when all is well.
run_plan check_images(const product_config *table, int count);
// Why the target's class (the flags of identify_target) rules the entry out
// whatever its hardware says, as a progress message; null when it may apply.
const char *class_excludes(const product_config &e);
// Step 11: program the entries of the plan and finish.
[[noreturn]] void program_entries(product_config *table, const run_plan &plan);
// The finishing command, last of the programming: ends the run when it did
// not go out, or when the target answered it with an error.
void send_finish(const char *command);

// Step 1: options -v and -b.  Returns the index of the first operand; a bad
// option prints the usage text and ends the process with status 1.
int parse_options(int argc, char **argv);

// Composes the interrupt routine's messages for the current program name,
// so that the routine itself only writes fixed texts.
void prepare_interrupt_texts();
// The target's address, kept for the exit routine's recovery and its
// advice; composes the advice the interrupt routine writes.
void remember_target(const char *address);
// The exit routine could not release (reboot false) or reboot the target
// over the run's connection: reconnects for a short while, removes this
// run's own lock marker and then releases or reboots; says plainly what
// state the target was left in when it cannot.
void recover_target(bool reboot);
// The exit routine's work on the target is done (the reboot command went
// out, or the lock was given back): an interrupt after this has no advice
// to give.
void target_given_back();
// The line an interrupted run prints about the target it leaves as it is,
// for the run's state; "" before the address is known and once the target
// was given back.
const char *interrupted_advice();
// The interrupt routine: ends the run with status 1, connection untouched.
[[noreturn]] void interrupt_handler(int sig);
// Seconds the target is given to come back from the final reboot.
unsigned reboot_wait_seconds();
