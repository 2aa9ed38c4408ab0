// The absolute-file scan over any file contents.  The scan reads the file
// through a buffer; here the same bytes are walked in memory record by
// record, and the two must agree on whether the file is a well-formed image
// and, when it is, on the lowest and highest address its records cover.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "bounds.h"
#include "files/files.h"
#include "fuzz_test_support.h"

namespace {

int scratch_fd = -1;
std::string scratch_path;

struct expected_scan {
  bool ok = false;
  uint32_t lowest = 0xFFFFFFFFu;
  uint32_t highest = 0;
};

// The header, then records: lead word, count (high byte first), address (low
// word first, each word high byte first), data, a fill byte after an odd
// count.  The records end at the end of the file or at a zero lead word
// that is the file's last two bytes; the last record may lack its fill byte.
// Anything the target would read differently is refused: a zero lead word
// with bytes behind it, stray bytes that are no whole record, data cut off,
// a count above 250, data running past address FFFFFFFF.
expected_scan walk(const uint8_t *d, size_t size) {
  expected_scan r;
  if (size < ABS_HEADER_SIZE) {
    return r;
  }
  size_t at = ABS_HEADER_SIZE;  // first record's lead word
  for (;;) {
    size_t rest = size - at;
    if (rest == 0 || (rest == 2 && d[at] == 0 && d[at + 1] == 0)) {
      r.ok = true;
      return r;
    }
    if (rest >= 2 && d[at] == 0 && d[at + 1] == 0) {
      return r;  // bytes behind the end of records
    }
    if (rest < 8) {
      return r;  // no whole record
    }
    unsigned count = (d[at + 2] << 8) | d[at + 3];
    uint32_t address = (uint32_t{d[at + 6]} << 24) | (uint32_t{d[at + 7]} << 16) |
                       (uint32_t{d[at + 4]} << 8) | uint32_t{d[at + 5]};
    if (count > static_cast<unsigned>(ABS_MAX_RECORD)) {
      return r;
    }
    if (count > 0 && uint64_t{address} + count > (uint64_t{1} << 32)) {
      return r;
    }
    if (rest - 8 < count) {
      return r;  // data cut off
    }
    if (address < r.lowest) {
      r.lowest = address;
    }
    uint32_t last = address + count - 1;
    if (last > r.highest) {
      r.highest = last;
    }
    at += 8 + count;
    if ((count & 1) && at < size) {
      at++;  // the fill byte, when there is one
    }
  }
}

}  // namespace

// The file lives in memory, made on the first input: the scan opens it by
// its path under /proc, and no disk file is written for every input.
static void open_scratch_file() {
  if (scratch_fd >= 0) {
    return;
  }
  scratch_fd = memfd_create("absfile_fuzz", 0);
  if (scratch_fd < 0) {
    fuzz_fail(__FILE__, __LINE__, "creating the scratch file");
  }
  scratch_path = "/proc/self/fd/" + std::to_string(scratch_fd);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  open_scratch_file();
  FUZZ_CHECK(ftruncate(scratch_fd, 0) == 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(scratch_fd, data + done, size - done, static_cast<off_t>(done));
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }

  uint32_t lowest = 0x12345678, highest = 0x9ABCDEF0;
  char why[ABS_WALK_REASON_SIZE];
  int result = range_x(scratch_path.c_str(), &lowest, &highest, why, sizeof why);
  expected_scan e = walk(data, size);
  FUZZ_CHECK(result == (e.ok ? 1 : 0));
  FUZZ_CHECK(result == 1 || why[0] != '\0');  // a refusal always says why
  if (e.ok) {
    FUZZ_CHECK(lowest == e.lowest);
    FUZZ_CHECK(highest == e.highest);
  }
  return 0;
}
