// The hardware questions of the programming sequence: whether an entry
// applies to the hardware the target has ("pf -i", or the identity register
// of an nwire box), and the verdicts on the answers.
#pragma once

#include "config/config.h"
#include "driver/romupdate.h"

// The target's answer to an entry's hardware question.  Each entry's
// question is asked once; the flash card's entries ask theirs before the
// card is erased, so that nothing is erased for an entry that will not be
// programmed.
struct hardware_answer {
  bool asked = false;
  reply_number value{VALUE_UNSET, false};
};

enum class verdict { program, skip };

// Sends a command, showing its reply with progress messages on; any message
// line or failure ends the run.
void send_with_progress(const char *command);

// Whether the entry's hardware check needs an answer from the target.
bool asks_hardware(const product_config &e);
// Asks it.  A failed identifier query ends the run; the nwire box's
// preparing commands may complain, only its register read decides.
hardware_answer ask_hardware(const product_config &e);
// Whether an entry that the class allows will be programmed, by the answer
// its question drew (or would draw).  A mismatch either skips the entry or
// ends the run; in neither case is the entry written.
bool will_program(const product_config &e, const hardware_answer &answer);

// The hardware check of a directly connected target.  `last_chance` is set
// for the last entry of the table while nothing has been programmed: a
// mismatch then means the hardware is missing, and ends the run.
verdict check_hardware(const product_config &e, const hardware_answer &answer, bool last_chance);
// The identity check of a target behind an nwire box: a register of the
// box, masked, must hold the entry's value.
verdict check_nwire_identity(const product_config &e, const hardware_answer &answer);
