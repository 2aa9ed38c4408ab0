// The programming sequence, as the plan has it: the loader, the erase of the
// flash card, and for each entry the hardware check, the programming
// command and the image downloads; then the finishing command.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/flash_card.h"
#include "driver/driver.h"
#include "driver/program_compose.h"
#include "driver/program_hardware.h"
#include "driver/program_plan.h"
#include "driver/progress.h"
#include "driver/romupdate.h"
#include "files/files.h"
#include "gtw/gtw.h"

namespace {

// Every command is composed to fit the buffer; should one ever not fit, it
// is not sent cut short.
void require_composed(bool composed) {
  if (!composed) {
    fail("Command too long: '%.40s...'\n", cmdstring);
  }
}

// Sends the image from the file held since its check, and only as it was
// checked.
void download(const planned_image &image, unsigned char flash) {
  if (loadfile(&gtw, image.file, image.fit.count, flash, download_progress) != 0) {
    fail_with_messages();
  }
}

// A. The flash programming loader of a 38100A.
void download_loader(const planned_image &loader) {
  say_out("Downloading flash programming code: '%s'\n", loader.file.path());
  download(loader, 0);
}

// B. The flash card of a 38100B.  Its entries' questions are asked first:
// only the ranges of the entries that will be programmed are erased.  Returns
// those ranges (none when nothing on the card will be programmed).
card_ranges erase_flash_card_for(const product_config *table, const run_plan &plan,
                                 hardware_answer *answers) {
  const product_config *programmed[MAX_CONFIG_ENTRIES];
  int count = 0;
  for (int i = 0; i < plan.count; ++i) {
    const product_config &e = table[i];
    if (!is_flash_card_entry(e) || plan.entries[i].excluded) {
      continue;
    }
    if (asks_hardware(e)) {
      answers[i] = ask_hardware(e);
    }
    if (will_program(e, answers[i])) {
      programmed[count++] = &e;
    }
  }
  card_ranges ranges = card_erase_ranges(programmed, count);
  if (!ranges.empty()) {
    say("Erasing Flash ROM\n");
    erase_flash_card(ranges);
  }
  return ranges;
}

bool has_card_entries(const product_config *table, int count) {
  for (int i = 0; i < count; ++i) {
    if (is_flash_card_entry(table[i])) {
      return true;
    }
  }
  return false;
}

// Sends the entry's nwire commands, each once; they are consumed.
void send_nwire_commands(product_config &e) {
  fputs("Sending nwire commands from config file...\n", stderr);
  for (int k = 0; k < e.nwirecmd_count && k < MAX_NWIRECMDS; ++k) {
    require_composed(compose_nwire_command(cmdstring, sizeof cmdstring, e.nwirecmd[k]));
    send_with_progress(cmdstring);
    free(e.nwirecmd[k]);
    e.nwirecmd[k] = nullptr;
  }
  e.nwirecmd_count = 0;
}

// `erased_before` is set when the card's erase took this image's place.
void program_control_image(product_config &e, const planned_image &image, bool erased_before) {
  const image_plan &plan = image.fit;
  if (!erased_before) {
    say("Erasing Flash ROM at download\n");
  }
  const uint32_t lowest = image.file.scan().lowest;
  if (lowest != e.romstart) {
    fprintf(stderr, "WARNING:  Code start %lXH != ROM start %lXH)\n",
            static_cast<unsigned long>(lowest), static_cast<unsigned long>(e.romstart));
  }

  if (bdm_flag) {
    say("Programming target via nwire interface.\n");
    bool sent_nwire = e.nwirecmd_count > 0;
    if (sent_nwire) {
      send_nwire_commands(e);
    }
    require_composed(compose_pf_nwire(cmdstring, sizeof cmdstring, e, sent_nwire));
  } else {
    require_composed(compose_pf_program(cmdstring, sizeof cmdstring, 'p', e, e.romstart, e.romsize,
                                        e.romwidth, plan));
  }
  send_with_progress(cmdstring);

  say("Downloading and Flashing ROM code: '%s'\n", image.file.path());
  say("    Code start %lXH\n", static_cast<unsigned long>(plan.code_start));
  say("    Code size %lXH\n", static_cast<unsigned long>(plan.size_arg));
  download(image, 1);
}

void program_lan_image(const product_config &e, const planned_image &image) {
  const image_plan &plan = image.fit;
  say_out("Downloading ROM code: '%s'\n", image.file.path());
  say_out("    Code start %lXH\n", static_cast<unsigned long>(plan.code_start));
  say_out("    Code size %lXH\n", static_cast<unsigned long>(shown_size(plan.size)));
  const uint32_t lowest = image.file.scan().lowest;
  if (lowest != e.lan_romstart) {
    printf("WARNING:  Code start %lXH != LAN ROM start %lXH)\n", static_cast<unsigned long>(lowest),
           static_cast<unsigned long>(e.lan_romstart));
  }
  require_composed(compose_pf_program(cmdstring, sizeof cmdstring, 'P', e, e.lan_romstart,
                                      e.lan_romsize, e.lan_romwidth, plan));
  send_with_progress(cmdstring);
  download(image, 1);
}

}  // namespace

void program_entries(product_config *table, const run_plan &plan) {
  // The images are the ones checked before the reboot, or nothing is sent.
  verify_plan(plan);

  if (plan.loader) {
    download_loader(*plan.loader);
  }

  hardware_answer answers[MAX_CONFIG_ENTRIES];
  card_ranges erased;
  if (quokka && has_card_entries(table, plan.count)) {
    erased = erase_flash_card_for(table, plan, answers);
  }

  bool nothing_programmed = true;
  // The finishing command of the last entry programmed.  It is kept apart
  // from cmdstring, which later entries use for their queries: an entry
  // that is skipped must not have its query, or a half-composed command,
  // sent as the finish.
  char finish[CMDSTRING_SIZE] = "";

  for (int i = 0; i < plan.count; ++i) {
    product_config &e = table[i];
    const planned_entry &entry = plan.entries[i];
    const bool last = (i == plan.count - 1);

    say("Checking Hardware id code...\n");
    if (entry.excluded) {
      say("%s", entry.excluded);
      continue;
    }
    if (bdm_flag && asks_hardware(e)) {
      say("Checking identy of nwire connected box\n");
    }
    if (!answers[i].asked && asks_hardware(e)) {
      answers[i] = ask_hardware(e);
    }
    verdict v = bdm_flag ? check_nwire_identity(e, answers[i])
                         : check_hardware(e, answers[i], last && nothing_programmed);
    if (v == verdict::skip) {
      continue;
    }

    nothing_programmed = false;
    program_control_image(e, *entry.control, quokka && !erased.empty());
    if (entry.lan) {
      program_lan_image(e, *entry.lan);
    }

    say("Finishing up...\n");
    require_composed(compose_pf_finish(cmdstring, sizeof cmdstring, e, programming_lan != 0));
    memcpy(finish, cmdstring, sizeof finish);
  }

  // Nothing applied to this hardware: nothing was written, and the run did
  // not do what it was asked to.
  if (nothing_programmed) {
    fail("No configuration entry applies to this hardware; nothing was programmed\n");
  }

  memcpy(cmdstring, finish, sizeof cmdstring);
  send_finish(cmdstring);
  exit_romupdate(0);
}

void send_finish(const char *command) {
  // The target may drop the connection once it has the finishing command,
  // and that is no failure.  One that never went out whole finished nothing.
  if (gtw_write_command(&gtw, command) != static_cast<long>(strlen(command))) {
    fail("The finishing command did not reach the target; the programming was not finished\n");
  }
  // The LAN card does not answer its finishing command.  Any other target
  // that answers it with an error has said that the flash is not good.
  if (!programming_lan && (gtw_read_prompt(&gtw, ignore_reply_line, nullptr) & GTW_TARGET_ERROR)) {
    fail_with_messages();
  }
}
