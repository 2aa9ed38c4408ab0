// The programming sequence: the loader, the erase, and for each entry the
// hardware check, the programming command and the image downloads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/driver.h"
#include "driver/program_compose.h"
#include "driver/romupdate.h"
#include "files/files.h"
#include "gtw/gtw.h"

namespace {

// First identifiers with a meaning of their own.
constexpr uint32_t kId38100B = 0x38100B;   // 38100B-only code, no query
constexpr uint32_t kIdFlashCard = 0xFF20;  // flash ROM option card

struct free_deleter {
  void operator()(char *p) const { free(p); }
};
using owned_path = std::unique_ptr<char, free_deleter>;

// Sends a command, showing its reply with progress messages on; any message
// line or failure ends the run.
void send_with_progress(const char *command) {
  gtw_line_routine routine = verboseflag ? print_reply_line : ignore_reply_line;
  if (gtw_send_command(&gtw, command, routine, nullptr) != 0) {
    fail_with_messages();
  }
}

// Every command is composed to fit the buffer; should one ever not fit, it
// is not sent cut short.
void require_composed(bool composed) {
  if (!composed) {
    fail("Command too long: '%.40s...'\n", cmdstring);
  }
}

// An image name as the entry holds it (found beside the configuration file)
// or under the installation root.
// `kind` names the image in the message when there is no path for it.
owned_path image_path(const char *name, unsigned char local_flag, const char *kind) {
  owned_path path(local_flag ? strdup(name) : fxrname(name, nullptr));
  if (!path) {
    fail("Error in getting %s binary path name\n", kind);
  }
  return path;
}

void scan_image(const char *path, uint32_t *lowest, uint32_t *highest) {
  if (!range_x(path, lowest, highest)) {
    fail("Can't read '%s'\n", path);
  }
}

[[noreturn]] void refuse_empty_image(const char *path) { fail("No data records in '%s'\n", path); }

void download(const char *path, uint32_t count, unsigned char flash) {
  if (loadfile(&gtw, path, static_cast<int>(count), flash) != 0) {
    fail_with_messages();
  }
}

// An image found, scanned and fitted to its ROM, ready to be sent.
struct prepared_image {
  owned_path path;
  image_plan plan;
};

// The checks of an image come twice: once for every image before anything
// on the target changes, quietly, and once more where the image is
// programmed, with the progress and warning lines.  Either way a fault ends
// the run with its message.
enum class telling { quiet, aloud };

// The flash programming loader of a 38100A, always from the installation.
prepared_image prepare_loader(const product_config &first, telling how) {
  owned_path path(fxrname(first.pfname, nullptr));
  if (!path) {
    fail("Error in getting loader path name\n");
  }
  if (how == telling::aloud && verboseflag) {
    printf("Downloading flash programming code: '%s'\n", path.get());
  }
  uint32_t lowest, highest;
  scan_image(path.get(), &lowest, &highest);
  if (lowest > highest) {
    refuse_empty_image(path.get());
  }
  image_plan plan{};
  plan.code_start = lowest;
  plan.count = highest - lowest + 1;
  return {std::move(path), plan};
}

prepared_image prepare_control_image(const product_config &e, telling how) {
  owned_path path = image_path(e.binname, e.local_flag, "Control");
  const bool aloud = how == telling::aloud;
  if (aloud && (!quokka || quokka_ranges == nullptr)) {
    say("Erasing Flash ROM at download\n");
  }

  uint32_t lowest, highest;
  scan_image(path.get(), &lowest, &highest);
  image_plan plan{};
  image_fit fit = plan_image(lowest, highest, e.romstart, e.romsize, quokka != 0, &plan);
  if (fit == image_fit::no_data) {
    refuse_empty_image(path.get());
  }
  if (aloud && lowest != e.romstart) {
    fprintf(stderr, "WARNING:  Code start %lXH != ROM start %lXH)\n",
            static_cast<unsigned long>(lowest), static_cast<unsigned long>(e.romstart));
  }
  if (fit == image_fit::too_large) {
    fprintf(stderr, "ERROR:  Code size %lXH > Rom size %lXH\n",
            static_cast<unsigned long>(shown_size(plan.size)),
            static_cast<unsigned long>(e.romsize));
    exit_romupdate(1);
  }
  if (fit == image_fit::ends_below) {
    fail("Image '%s' ends below code start %lXH\n", path.get(),
         static_cast<unsigned long>(plan.code_start));
  }
  return {std::move(path), plan};
}

prepared_image prepare_lan_image(const product_config &e, telling how) {
  owned_path path = image_path(e.lan_binname, e.local_flag, "LAN");
  uint32_t lowest, highest;
  scan_image(path.get(), &lowest, &highest);
  image_plan plan{};
  image_fit fit = plan_image(lowest, highest, e.lan_romstart, e.lan_romsize, false, &plan);
  if (fit == image_fit::no_data) {
    refuse_empty_image(path.get());
  }

  const bool aloud = how == telling::aloud;
  if (aloud && verboseflag) {
    printf("Downloading ROM code: '%s'\n", path.get());
    printf("    Code start %lXH\n", static_cast<unsigned long>(plan.code_start));
    printf("    Code size %lXH\n", static_cast<unsigned long>(shown_size(plan.size)));
  }
  if (aloud && lowest != e.lan_romstart) {
    printf("WARNING:  Code start %lXH != LAN ROM start %lXH)\n", static_cast<unsigned long>(lowest),
           static_cast<unsigned long>(e.lan_romstart));
  }
  if (fit != image_fit::ok) {
    printf("ERROR:  Code size %lXH > LAN Rom size %lXH\n",
           static_cast<unsigned long>(shown_size(plan.size)),
           static_cast<unsigned long>(e.lan_romsize));
    exit_romupdate(1);
  }
  return {std::move(path), plan};
}

// A. The flash programming loader of a 38100A.
void download_loader(const product_config &first) {
  prepared_image loader = prepare_loader(first, telling::aloud);
  download(loader.path.get(), loader.plan.count, 0);
}

// Why the target's class rules an entry out whatever its hardware says, or
// null when it may apply.
const char *class_excludes(const product_config &e) {
  if (e.for_38100a && quokka) {
    return "Skipping executable for 38100A\n";
  }
  if (e.for_38100b && !quokka) {
    return "Skipping executable for 38100B\n";
  }
  // 38100B code carries no identifier to ask for; only a 38100B takes it.
  if (!bdm_flag && e.romident[0] == kId38100B && !quokka) {
    return "Skipping executable for 38100A\n";
  }
  return nullptr;
}

enum class verdict { program, skip };

// The target's answer to an entry's hardware question: the identifier that
// "pf -i" reads, or, through an nwire box, the box's identity register.
// Each entry's question is asked once; the flash card's entries ask theirs
// before the card is erased, so that nothing is erased for an entry that
// will not be programmed.
struct hardware_answer {
  bool asked = false;
  reply_number value{VALUE_UNSET, false};
};

// Whether the entry's hardware check needs an answer from the target.
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
  // The preparing commands may complain; only the register read decides.
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

// Whether an entry that the class allows will be programmed, by the answer
// its question drew (or would draw).  A mismatch either skips the entry or
// ends the run; in neither case is the entry written.
bool will_program(const product_config &e, const hardware_answer &answer) {
  if (!answer.asked) {
    return true;
  }
  return bdm_flag ? identity_matches(e, answer.value) : identifier_matches(e, answer.value);
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

void skip_message(uint32_t first_id, const char *line_end) {
  if (verboseflag) {
    fprintf(stderr, "Skipping executable for %X%s", static_cast<unsigned>(first_id), line_end);
  }
}

// The hardware check of a directly connected target.  `last_chance` is set
// for the last entry of the table while nothing has been programmed: a
// mismatch then means the hardware is missing.
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
  skip_message(first_id, "\n");
  return verdict::skip;
}

// The identity check of a target behind an nwire box: a register of the
// box, masked, must hold the entry's value.
verdict check_nwire_identity(const product_config &e, const hardware_answer &answer) {
  if (!answer.asked) {
    return verdict::program;
  }
  if (!identity_matches(e, answer.value)) {
    skip_message(e.romident[0], "\n\n");
    return verdict::skip;
  }
  if (verboseflag) {
    fprintf(stderr, "Executable for %X checks OK\n\n", static_cast<unsigned>(e.romident[0]));
  }
  return verdict::program;
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

void program_control_image(product_config &e) {
  prepared_image image = prepare_control_image(e, telling::aloud);
  const image_plan &plan = image.plan;

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

  if (verboseflag) {
    fprintf(stderr, "Downloading and Flashing ROM code: '%s'\n", image.path.get());
    fprintf(stderr, "    Code start %lXH\n", static_cast<unsigned long>(plan.code_start));
    fprintf(stderr, "    Code size %lXH\n", static_cast<unsigned long>(plan.size_arg));
  }
  download(image.path.get(), plan.count, 1);
}

void program_lan_image(const product_config &e) {
  prepared_image image = prepare_lan_image(e, telling::aloud);
  require_composed(compose_pf_program(cmdstring, sizeof cmdstring, 'P', e, e.lan_romstart,
                                      e.lan_romsize, e.lan_romwidth, image.plan));
  send_with_progress(cmdstring);
  download(image.path.get(), image.plan.count, 1);
}

// B. The flash card of a 38100B.  Its entries' questions are asked first:
// only the ranges of the entries that will be programmed are erased.  The
// list is built again from those entries, in the order they were read, so
// that with every entry programmed it is the list the reader built.
void erase_flash_card(product_config *table, int count, hardware_answer *answers) {
  bool card_entries[MAX_CONFIG_ENTRIES] = {};
  for (int i = 0; i < count; ++i) {
    const product_config &e = table[i];
    if (!is_flash_card_entry(e) || class_excludes(e)) {
      continue;
    }
    if (asks_hardware(e)) {
      answers[i] = ask_hardware(e);
    }
    card_entries[i] = will_program(e, answers[i]);
  }
  clear_quokka_ranges();
  for (int order = 0; order < count; ++order) {
    for (int i = 0; i < count; ++i) {
      if (card_entries[i] && table[i].read_order == order) {
        add_quokka_ranges(&table[i]);
      }
    }
  }
  if (quokka_ranges == nullptr) {
    return;
  }
  say("Erasing Flash ROM\n");
  copy_quokka_flash_parts();
}

}  // namespace

void check_images(const product_config *table, int count) {
  if (count > MAX_CONFIG_ENTRIES) {
    count = MAX_CONFIG_ENTRIES;
  }
  if (marlin && count > 0) {
    prepare_loader(table[0], telling::quiet);
  }
  for (int i = 0; i < count; ++i) {
    const product_config &e = table[i];
    if (class_excludes(e)) {
      continue;
    }
    prepare_control_image(e, telling::quiet);
    if (programming_lan) {
      prepare_lan_image(e, telling::quiet);
    }
  }
}

void program_entries(product_config *table, int count) {
  if (count > MAX_CONFIG_ENTRIES) {
    count = MAX_CONFIG_ENTRIES;
  }

  if (marlin && count > 0) {
    download_loader(table[0]);
  }

  hardware_answer answers[MAX_CONFIG_ENTRIES];
  if (quokka && quokka_ranges != nullptr) {
    erase_flash_card(table, count, answers);
  }

  bool nothing_programmed = true;
  // The finishing command of the last entry programmed.  It is kept apart
  // from cmdstring, which later entries use for their queries: an entry
  // that is skipped must not have its query, or a half-composed command,
  // sent as the finish.
  char finish[CMDSTRING_SIZE] = "";

  for (int i = 0; i < count; ++i) {
    product_config &e = table[i];
    const bool last = (i == count - 1);

    say("Checking Hardware id code...\n");
    if (const char *why = class_excludes(e)) {
      say(why);
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
    program_control_image(e);
    if (programming_lan) {
      program_lan_image(e);
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
  if (programming_lan) {
    // The LAN card does not answer its finishing command.
    gtw_write_command(&gtw, cmdstring);
  } else {
    // The target may drop the connection once it has the finishing command,
    // and that is no failure.  But a target that answers it with an error
    // has said that the flash is not good.
    if (gtw_send_command(&gtw, cmdstring, ignore_reply_line, nullptr) & GTW_TARGET_ERROR) {
      fail_with_messages();
    }
  }
  exit_romupdate(0);
}
