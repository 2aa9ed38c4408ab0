// Scan of an absolute file for the address range its records cover.
//
// The scan is the record walk (image_file.h): the file is read through one
// fixed buffer and every record's structure is checked on the way, so that
// an image the target would read differently is refused before anything is
// sent for it.
#include "files/files.h"

#include <cstdio>

#include "bounds.h"
#include "files/file_handle.h"
#include "files/image_file.h"

int range_x(const char *path, uint32_t *lowest, uint32_t *highest, char *why, size_t why_size) {
  *lowest = 0xFFFFFFFF;
  *highest = 0;
  if (why && why_size > 0) {
    why[0] = '\0';
  }

  file_handle file = open_binary(path);
  if (!file) {
    return 0;
  }
  image_scan scan;
  const bool ok = scan_image(file.get(), &scan, why, why_size);
  *lowest = scan.lowest;
  *highest = scan.highest;
  return ok ? 1 : 0;
}

int range_x(const char *path, uint32_t *lowest, uint32_t *highest) {
  char why[ABS_WALK_REASON_SIZE];
  int ok = range_x(path, lowest, highest, why, sizeof why);
  // A file that opens but is malformed says where; the caller reports that
  // it cannot be read.
  if (!ok && why[0] != '\0') {
    fprintf(stderr, "%s: %s\n", path, why);
  }
  return ok;
}
