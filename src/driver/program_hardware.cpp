// The hardware questions of the programming sequence and their verdicts.
#include "driver/program_hardware.h"

#include <cstdio>

#include "driver/program_compose.h"
#include "gtw/gtw.h"

namespace {

// First identifiers with a meaning of their own.
constexpr uint32_t kId38100B = 0x38100B;   // 38100B-only code, no query
constexpr uint32_t kIdFlashCard = 0xFF20;  // flash ROM option card

bool identifier_matches(const product_config &e, const reply_number &id) {
  if (!id.seen) {
    return false;
  }
  for (int i = 0; i < e.romident_count && i < MAX_ROMIDENTS; ++i) {
    if (e.romident[i] == id.value) {
      return true;
    }
  }
  return false;
}

bool identity_matches(const product_config &e, const reply_number &reg) {
  return reg.seen && (reg.value & e.vppmask) == e.vppvalue;
}

[[noreturn]] void no_such_hardware(const product_config &e, uint32_t read_id, bool flash_card) {
  fputs(hardware_id_list(e).c_str(), stderr);
  if (flash_card) {
    fprintf(stderr, " required--this system contains %lXH\n", static_cast<unsigned long>(read_id));
    fputs("\nA flash ROM option card is required for this update\n", stderr);
    fputs("Either it is not installed, or it has failed\n\n", stderr);
  } else {
    fprintf(stderr, " required--this system contains %lX\n", static_cast<unsigned long>(read_id));
    fputs("\nHardware required for this update is either not installed or has failed\n\n", stderr);
  }
  exit_romupdate(1);
}

}  // namespace

void send_with_progress(const char *command) {
  gtw_line_routine routine = verboseflag ? print_reply_line : ignore_reply_line;
  if (gtw_send_command(&gtw, command, routine, nullptr) != 0) {
    fail_with_messages();
  }
}

bool asks_hardware(const product_config &e) {
  if (bdm_flag) {
    return e.vppctladdr != VALUE_UNSET;
  }
  const uint32_t first_id = e.romident[0];
  return first_id != kId38100B && !(first_id == kIdFlashCard && quokka);
}

hardware_answer ask_hardware(const product_config &e) {
  hardware_answer answer;
  answer.asked = true;
  if (!bdm_flag) {
    snprintf(cmdstring, sizeof cmdstring, "pf -i 0%lX\n",
             static_cast<unsigned long>(e.romidentloc));
    // A reply without a number is no identifier, and matches none.
    if (gtw_send_command(&gtw, cmdstring, hex_reply_line, &answer.value) != 0) {
      fail_with_messages();
    }
    return answer;
  }
  static const char *const prepare[] = {"rst\n", "b\n", "m -a4 -d4 0a6c@reg=70087b3f\n",
                                        "m -a4 -d4 0a6e@reg=7b3f1200\n"};
  for (const char *command : prepare) {
    if (gtw_send_command(&gtw, command, ignore_reply_line, nullptr) != 0) {
      print_messages();
    }
  }
  snprintf(cmdstring, sizeof cmdstring, "m -a2 -d2 %x\n", static_cast<unsigned>(e.vppctladdr));
  answer.value = reply_number{0, false};
  if (gtw_send_command(&gtw, cmdstring, second_token_reply_line, &answer.value) != 0) {
    print_messages();
  }
  return answer;
}

bool will_program(const product_config &e, const hardware_answer &answer) {
  if (!answer.asked) {
    return true;
  }
  return bdm_flag ? identity_matches(e, answer.value) : identifier_matches(e, answer.value);
}

verdict check_hardware(const product_config &e, const hardware_answer &answer, bool last_chance) {
  const uint32_t first_id = e.romident[0];
  if (first_id == kId38100B) {
    return verdict::program;  // only a 38100B gets here
  }
  if (first_id == kIdFlashCard && quokka) {
    say("Translating addresses for new flash rom location\n");
    snprintf(cmdstring, sizeof cmdstring, "pf -o 0F5C0000\n");
    send_with_progress(cmdstring);
    return verdict::program;
  }
  if (identifier_matches(e, answer.value)) {
    return verdict::program;
  }
  if (first_id == kIdFlashCard) {
    no_such_hardware(e, answer.value.value, true);
  }
  if (last_chance) {
    no_such_hardware(e, answer.value.value, false);
  }
  say("Skipping executable for %X\n", static_cast<unsigned>(first_id));
  return verdict::skip;
}

verdict check_nwire_identity(const product_config &e, const hardware_answer &answer) {
  if (!answer.asked) {
    return verdict::program;
  }
  if (!identity_matches(e, answer.value)) {
    say("Skipping executable for %X\n\n", static_cast<unsigned>(e.romident[0]));
    return verdict::skip;
  }
  say("Executable for %X checks OK\n\n", static_cast<unsigned>(e.romident[0]));
  return verdict::program;
}
