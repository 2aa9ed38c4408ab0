// The trace file of the Windows build: a binary file (line ends stay single
// line feeds, as in the Unix build's traces), written unbuffered (with the
// standard handles, win32_process.cpp).  "CON" names the console for live
// viewing.
//
// A symbolic link (any reparse point) at the name is opened as itself, never
// followed, and refused, so that a planted link cannot make the trace empty
// or overwrite the file it names.  Files carry no owner the way the Unix
// build checks one, and a pipe without a server fails at once instead of
// waiting, so neither needs a check of its own here.
// platform.h brings winsock2.h, which must come before windows.h.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

const char *plat_name() { return "windows"; }

namespace {

const char kLink[] = "it is a symbolic link";

// errno for the open's failure, for the caller's message.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    default:
      return EIO;
  }
}

}  // namespace

int plat_trace_create(const char *path, const char **refusal, void (*)(const char *)) {
  *refusal = nullptr;
  HANDLE file =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = errno_of(GetLastError());
    return -1;
  }
  if (GetFileType(file) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      CloseHandle(file);
      *refusal = kLink;
      return -1;
    }
    // An old trace of the same name starts empty.
    if (!SetEndOfFile(file)) {
      errno = errno_of(GetLastError());
      CloseHandle(file);
      return -1;
    }
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), 0);
  if (fd < 0) {
    CloseHandle(file);
    errno = EMFILE;
    return -1;
  }
  _setmode(fd, _O_BINARY);
  return fd;
}

void plat_trace_close(int fd) { _close(fd); }
