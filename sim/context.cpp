#include "context.h"

#include <cstdio>

sim_context::sim_context(const sim_options &o) : options(o), faults(o) {
  target.version_lines = o.version_lines;
  target.hwids = o.hwids;
  target.registers = o.registers;
  target.used = o.used;
  if (o.locked) {
    target.lock_by_other();
  }
}

void sim_context::dump_flash(bool force) {
  if (options.dump_path.empty() || (!force && !target.flash_changed)) {
    return;
  }
  target.flash_changed = false;
  // Written beside the dump and renamed over it, so that a reader never sees
  // half a file.
  std::string temporary = options.dump_path + ".tmp";
  std::string error;
  if (!write_abs_file(temporary, target.flash, &error)) {
    std::fprintf(stderr, "romupdate-sim: cannot write flash dump '%s': %s\n", temporary.c_str(),
                 error.c_str());
    std::remove(temporary.c_str());
    return;
  }
  if (std::rename(temporary.c_str(), options.dump_path.c_str()) != 0) {
    std::perror(("romupdate-sim: cannot write flash dump '" + options.dump_path + "'").c_str());
    std::remove(temporary.c_str());
  }
}
