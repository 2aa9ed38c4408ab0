// The texts and sizes of the Windows console build.  The installation root
// is \xr38100 (or $XR38100) and its update directory is "update"; the target
// sees the fixed user "msdos", since Windows has no numeric user id to send.
#include "platform/platform.h"

const plat_texts &plat_text() {
  static const plat_texts texts = [] {
    plat_texts t{};
    t.line_size = 512;
    t.usage_line4 =
        "    <configfile> - config file to update in the current directory or $XR38100\\update\n";
    t.usage_line6 = "    If $XR38100 is not set, \\xr38100 will be used.\n";
    t.menu_prompt = "Number of Product to Update? (cntl C to abort) ";
    t.update_candidate = "update\\";
    t.update_dir = "update";
    t.dir_separators = "/\\";
    t.user = "msdos";
    t.null_device = "NUL";
    return t;
  }();
  return texts;
}
