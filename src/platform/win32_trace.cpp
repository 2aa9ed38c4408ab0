// The trace file of the Windows build: a binary file (line ends stay single
// line feeds, as in the Unix build's traces), written unbuffered (with the
// standard handles, win32_process.cpp).  "CON" names the console for live
// viewing.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/platform.h"

const char *plat_name() { return "windows"; }

int plat_trace_create(const char *path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}

void plat_trace_close(int fd) { _close(fd); }
