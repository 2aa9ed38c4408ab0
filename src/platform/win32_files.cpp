// File identity in the Windows build: the volume and the file index, the
// size and the time of the last write (in 100-nanosecond steps), as the
// system reports them for an open handle.
#include "platform/platform.h"  // winsock2.h before windows.h

#include <io.h>
#include <windows.h>

#include <cerrno>

namespace {

bool fill(HANDLE handle, plat_file_stamp *stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
    errno = EIO;
    return false;
  }
  stamp->device = info.dwVolumeSerialNumber;
  stamp->file = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  stamp->size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp->written = (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                   info.ftLastWriteTime.dwLowDateTime;
  return true;
}

}  // namespace

bool plat_stamp_path(const char *path, plat_file_stamp *stamp) {
  // Looked at without reading, and without standing in the way of anyone
  // who writes, renames or deletes the file meanwhile.
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ENOENT;
    return false;
  }
  bool ok = fill(handle, stamp);
  CloseHandle(handle);
  return ok;
}

bool plat_stamp_file(FILE *file, plat_file_stamp *stamp) {
  return fill(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), stamp);
}
