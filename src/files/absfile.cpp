// Scan of an absolute file for the address range its records cover.
//
// Images can be large, so the scan reads only the 6 bytes of count and
// address of each record and seeks over the data.  The first record's count
// sits at offset 30: behind the 28-byte header and the record's lead word.
#include "files/files.h"

#include <cstdio>

#include "bounds.h"
#include "files/file_handle.h"

namespace {

// Count (high byte first) and address (low word first, each word high byte
// first) from the 6 bytes that follow a record's lead word.
inline unsigned record_count(const unsigned char *b) { return (b[0] << 8) | b[1]; }

inline uint32_t record_address(const unsigned char *b) {
  return (uint32_t{b[4]} << 24) | (uint32_t{b[5]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

}  // namespace

int range_x(const char *path, uint32_t *lowest, uint32_t *highest) {
  *lowest = 0xFFFFFFFF;
  *highest = 0;

  file_handle file = open_binary(path);
  if (!file) return 0;
  if (fseek(file.get(), 0, SEEK_END) != 0) return 0;
  long size = ftell(file.get());
  if (size < 0) return 0;
  // Seeking past the end succeeds: a file of 30 bytes or fewer simply has
  // no records.
  long position = ABS_HEADER_SIZE + 2;
  if (fseek(file.get(), position, SEEK_SET) != 0) return 0;

  for (;;) {
    unsigned char head[6];
    size_t got = fread(head, 1, sizeof head, file.get());
    if (got == 0) return ferror(file.get()) ? 0 : 1;
    if (got < sizeof head) return 0;  // cut off inside count and address
    position += static_cast<long>(sizeof head);

    uint32_t address = record_address(head);
    if (address < *lowest) *lowest = address;
    unsigned count = record_count(head);
    if (count > static_cast<unsigned>(ABS_MAX_RECORD)) return 0;
    uint32_t last = address + count - 1;  // modulo 2^32: a count of 0 gives address - 1
    if (last > *highest) *highest = last;

    // A record whose data runs past the end of the file would be sent short,
    // and the target would take the closing zero bytes for data.
    long remaining = size - position;
    if (remaining < static_cast<long>(count)) return 0;

    // Data, fill byte after an odd count, next record's lead word.  The
    // last record has no lead word after it (and may lack its fill byte):
    // land exactly on the end of the file.
    long distance = static_cast<long>(count + (count & 1) + 2);
    if (distance > remaining) distance = remaining;
    if (fseek(file.get(), distance, SEEK_CUR) != 0) return 0;
    position += distance;
  }
}
