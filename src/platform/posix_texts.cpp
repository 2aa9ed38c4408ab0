// The texts and sizes of the Unix build.  The installation root is
// /usr/xr52000 (or $XR52000) and its update directory is "inst/update"; the
// target sees the real user id as the user.
#include "platform/platform.h"

#include <cstdio>
#include <unistd.h>

const plat_texts &plat_text() {
  static char user[24];
  static const plat_texts texts = [] {
    snprintf(user, sizeof user, "%d", static_cast<int>(getuid()));
    plat_texts t{};
    t.line_size = 1024;
    t.usage_line4 =
        "    <configfile> - config file to update in current directory or $XR52000/inst/update\n";
    t.usage_line6 = "    If $XR52000 is not set, /usr/xr52000 will be used.\n\n";
    t.menu_prompt = "Number of Product to Update? (intr (usually cntl C or DEL) to abort) ";
    t.update_candidate = "inst/update/";
    t.update_dir = "inst/update/";
    t.dir_separators = "/";
    t.user = user;
    t.null_device = "/dev/null";
    return t;
  }();
  return texts;
}
