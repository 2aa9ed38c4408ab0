// The operations that the Windows console build supplies itself.
//
// They keep the names the rest of the program knows them by (getopt, sleep,
// opendir, readdir), inside a namespace of their own so that they never
// meet the runtime library's functions of the same names.  The program
// reaches them through the plat_ functions of platform.h; the tests call
// them directly.
#pragma once

#include "bounds.h"
#include "platform/platform.h"

namespace win32 {

// ---- Option parsing --------------------------------------------------------
//
// POSIX getopt, with "/" introducing options as "-" does.  The options end
// at the first operand, at "-" or "/" alone (not consumed) and at "--"
// (consumed).
extern int optind;    // next argument to look at (starts at 1)
extern int optpos;    // next option character within argv[optind] (starts at 1)
extern int optopt;    // the option character last looked at
extern char *optarg;  // the argument of an option that takes one
extern int opterr;    // diagnostics on standard error; off, nothing sets it
int getopt(int argc, char *const argv[], const char *optstring);

// ---- Sleeping --------------------------------------------------------------
//
// Waits on the calendar clock: more than n - 1 and at most n seconds.
unsigned sleep(unsigned seconds);

// ---- Directory listing -----------------------------------------------------

// The longest directory path that leaves room in the search pattern for
// "\*.*" and the terminator: 259 characters.
inline constexpr int DIR_MAX_PATH = WIN32_DIR_PATH_SIZE - 5;
// The attribute word of a directory that may be listed: the directory bit
// and nothing else.
inline constexpr unsigned DIR_ATTRIBUTE = 0x10;

plat_dir *opendir(const char *path);
const char *readdir(plat_dir *dir);
void rewinddir(plat_dir *dir);

}  // namespace win32
