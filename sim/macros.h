// The target's macros as far as the update program relies on them: a macro
// is defined with "mac NAME={BODY}", removed with "mac -d NAME", and running
// its name runs the "echo" commands of its body.  The lock marker "lockinfo"
// is such a macro: its echo prints who holds the target.
#pragma once

#include <string>
#include <string_view>

#include "target.h"

inline constexpr size_t SIM_MAX_MACROS = 256;

// The output of "echo ARGS": double-quoted strings are text, "\HH" is the
// byte with hexadecimal code HH, and byte 0x0A ("\0A") ends a line.  Blanks
// between the arguments only separate them.  Each line comes out ended by
// "\r\n"; text after the last "\0A" makes a line of its own.
std::string run_echo(std::string_view args);

// The output of running a macro body: its "echo" commands; anything else in
// a body has no visible effect.
std::string run_macro_body(std::string_view body);

// "mac ..." (the text after "mac"): defines or deletes a macro.  Returns the
// reply: empty, or a message line when the macro table is full.
std::string run_mac(target_state &target, std::string_view args);
