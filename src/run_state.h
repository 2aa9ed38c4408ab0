// Process-wide state of a run, and the ways out of it, for every layer.
// Nothing here depends on anything above it: the driver defines these, and
// the configuration, file and connection layers use them without reaching
// up into the driver.
#pragma once

#include <csignal>
#include <cstdio>

#include "bounds.h"

extern const char *program_name;  // argument zero

// One-byte flags, zero at start.
extern unsigned char verboseflag;  // progress messages
extern unsigned char bdm_flag;     // -b: target behind an nwire box
// A handled signal arrived.  Written by the interrupt routine, which in the
// Windows build runs on the console's own thread.
extern volatile sig_atomic_t interrupted;
extern unsigned char init_r;           // a configuration carried noinitr
extern unsigned char programming_lan;  // the 38126 LAN-card product
extern unsigned char yak;              // target is a processor probe
extern unsigned char quokka;           // target is a 38100B mainframe
extern unsigned char marlin;           // target is a 38100A mainframe

// 0 no connection; 1 open, not rebooted; 2 reboot written or programming.
extern volatile int interface_started;

// The target command being composed.
extern char cmdstring[CMDSTRING_SIZE];

// Ends the run: gives the target back (releases its lock or reboots it, as
// far as the run got), reports the result with progress messages on, and
// exits with `status`.
[[noreturn]] void exit_romupdate(int status);
// Prints "<program>: " and the message to standard error; the run goes on.
void warn(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// As warn, then ends the run with status 1.
[[noreturn]] void fail(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Prints the target's queued messages (the reasons it gave), then ends the
// run with status 1.
[[noreturn]] void fail_with_messages();
// Progress messages, shown only with progress messages on: the one place
// that decides.  say() writes to standard error, say_out() to standard
// output, each as printf does.
void say(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void say_out(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Shows the prompt and returns the line typed, without its line end, for the
// caller to free; ends the run at the end of the input.
char *prompt_line(const char *prompt);
