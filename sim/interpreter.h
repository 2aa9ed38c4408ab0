// The target's command interpreter: one command (one piece of a line split
// at ";") against the target state.  Commands the update program does not
// read an answer from are accepted without output, as are commands the
// simulator does not know.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "target.h"

struct command_outcome {
  enum class action {
    none,
    reboot,    // "init -r" / "init -p": drop every connection, come back later
    download,  // "lcd -qfb COUNT" / "lcd -qb COUNT": a record stream follows
  };
  std::string reply;  // reply lines, each ended by "\r\n"
  action what = action::none;
  bool flash = false;  // download into flash (else into RAM)
  uint32_t count = 0;  // announced byte count of the download
};

command_outcome run_command(target_state &target, std::string_view command);

// Whether the command reboots the target: exactly "init -r" or "init -p".
bool is_reboot_command(std::string_view command);
