// Process-wide state of a run and the driver's routines that the other
// subsystems call.
#pragma once

#include <csignal>
#include <cstdint>

#include "bounds.h"

extern const char *program_name;       // argument zero

// One-byte flags, zero at start.
extern unsigned char verboseflag;      // progress messages
extern unsigned char bdm_flag;         // -b: target behind an nwire box
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

[[noreturn]] void exit_romupdate(int status);
char *prompt_line(const char *prompt);
void print_usage();

// A number read from a reply.  `seen` tells a reply that carried one from a
// reply that did not, so that no starting value can pass for an answer.
struct reply_number {
  uint32_t value;
  bool seen;
};

// Line routines (see gtw_line_routine).
void ignore_reply_line(const char *line, void *arg);
void print_reply_line(const char *line, void *arg);
void ver_reply_line(const char *line, void *arg);
void hex_reply_line(const char *line, void *arg);            // arg: reply_number*
void second_token_reply_line(const char *line, void *arg);   // arg: reply_number*
