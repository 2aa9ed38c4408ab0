// The run from the command line to the programming: options, address,
// connection, identification, configuration, reboot.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "driver/program_compose.h"
#include "driver/romupdate.h"
#include "gtw/gtw.h"
#include "gtw/trace.h"
#include "platform/platform.h"

namespace {

struct config_entries {
  product_config table[MAX_CONFIG_ENTRIES];
  int count = 0;
  bool from_menu = false;
};

// Chooses (name, or the menu when null), opens and reads one configuration
// file into the table.
void read_config_file(const char *name, config_entries *entries) {
  FILE *file = nullptr;
  unsigned char local_flag = 0;  // each entry keeps its own file's flag
  char *path = get_configname(name, &local_flag, &file);
  entries->count = get_config_data(path, file, local_flag, entries->table, entries->count);
  free(path);
}

// The reader counts entries past the eighth without storing them: those
// are not used, and no further file is read.
bool table_overflowed(config_entries *entries) {
  if (entries->count <= MAX_CONFIG_ENTRIES) {
    return false;
  }
  fprintf(stderr, "Too many config files, ignoring those past %d\n", MAX_CONFIG_ENTRIES);
  entries->count = MAX_CONFIG_ENTRIES;
  return true;
}

void gather_config_entries(int argc, char **argv, int first, config_entries *entries) {
  if (first >= argc) {
    entries->from_menu = true;
    read_config_file(nullptr, entries);
    table_overflowed(entries);
    return;
  }
  int files_read = 0;
  for (int i = first; i < argc; ++i) {
    read_config_file(argv[i], entries);
    ++files_read;
    if (init_r && files_read >= 2 && !bdm_flag) {
      fputs("\nProgramming the T5821 code is incompatable with programming of\n", stderr);
      fputs("other products, This code must be used alone on the command line.\n\n", stderr);
      exit_romupdate(1);
    }
    if (table_overflowed(entries)) {
      break;
    }
  }
}

// An nwire command goes to the target whole or not at all: one that cannot
// be composed is refused before anything is rebooted or programmed.
void check_nwire_commands(const config_entries &entries) {
  if (!bdm_flag) {
    return;  // only sent through the nwire box
  }
  for (int i = 0; i < entries.count; ++i) {
    const product_config &e = entries.table[i];
    for (int k = 0; k < e.nwirecmd_count; ++k) {
      if (!nwire_command_fits(e.nwirecmd[k])) {
        fail("nwire command longer than %d characters: '%.40s...'\n", CMDSTRING_SIZE - 1,
             e.nwirecmd[k]);
      }
    }
  }
}

void ask_for_progress_messages() {
  char *answer = prompt_line("Enable progress messages? [y/n] (y) ");
  if (answer[0] != 'n' && answer[0] != 'N') {
    verboseflag = 1;
  }
  free(answer);
}

}  // namespace

int parse_options(int argc, char **argv) {
  int c;
  while ((c = plat_getopt(argc, argv, "?vb")) != -1) {
    switch (c) {
      case 'v':
        verboseflag = 1;
        break;
      case 'b':
        bdm_flag = 1;
        break;
      default:
        print_usage();
        exit(1);
    }
  }
  return plat_optind();
}

void romupdate_main(int argc, char **argv) {
  // Output that cannot be written (a reader that quit, a full disk) is lost,
  // and the run goes on: the target is never left half-programmed for it.
  plat_ignore_output_signals();
  // Nothing printed may be lost when the interrupt routine ends the process
  // with _exit, and standard output and error must keep their order.
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc > 0 && argv[0] != nullptr) {
    program_name = argv[0];
  }
  prepare_interrupt_texts();

  int operand = parse_options(argc, argv);

  const char *address;
  if (operand < argc) {
    address = argv[operand++];
  } else {
    // Kept for the whole run: the reconnection needs it again.
    address = prompt_line("IP address of product to update (cntl C to abort)? ");
  }

  plat_install_interrupts(interrupt_handler);

  // After the handlers: opening a FIFO waits for its reader, and Ctrl+C
  // must end that wait through the exit routine.  Before the target is
  // named to the exit routine: an interrupt here has touched no target.  An
  // operator who asked for a trace must not get a run without one.
  const char *why = nullptr;
  if (!trace_start(program_name, &why)) {
    warn("Can't create trace file '%s': %s\n", trace_path(), why);
    exit(1);
  }

  remember_target(address);

  int result = gtw_open(&gtw, address, GTW_OPEN_LOCK);
  if (result != 0) {
    print_messages();
    // Opened after all, with complaints: do not leave the target locked.
    if ((result & GTW_FAILED) == 0) {
      gtw_close(&gtw, 1);
    } else if (gtw.marker_left) {
      // Lost in the middle of the opening: our marker may be on it.
      recover_target(false);
    }
    trace_exit(1);
    exit(1);
  }
  interface_started = 1;

  identify_target();

  static config_entries entries;
  gather_config_entries(argc, argv, operand, &entries);
  check_nwire_commands(entries);

  refuse_lan_on_quokka();

  if (entries.count < 1) {
    fputs("No config data specified in config file or config file is for different\n", stderr);
    fputs("control card hardware\n", stderr);
    exit_romupdate(1);
  }

  if (entries.from_menu && !verboseflag) {
    ask_for_progress_messages();
  }

  static run_plan plan;
  plan = check_images(entries.table, entries.count);
  reboot_and_reconnect(entries.table, address);
  program_entries(entries.table, plan);
}
