// The absolute-file scan over any file contents.  The scan seeks over the
// data; here the same bytes are walked in memory record by record, and the
// two must agree on whether the file is a sound record sequence and, when it
// is, on the lowest and highest address its records cover.
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
// count.  The last record needs neither its lead word's successor nor its
// fill byte, but all of its data.
expected_scan walk(const uint8_t *d, size_t size) {
  expected_scan r;
  size_t at = ABS_HEADER_SIZE + 2;  // first record's count
  for (;;) {
    if (at >= size) {
      r.ok = true;  // no further record
      return r;
    }
    if (size - at < 6) return r;  // cut off inside count and address
    unsigned count = (d[at] << 8) | d[at + 1];
    uint32_t address = (uint32_t{d[at + 4]} << 24) | (uint32_t{d[at + 5]} << 16) | (uint32_t{d[at + 2]} << 8) |
                       uint32_t{d[at + 3]};
    if (count > static_cast<unsigned>(ABS_MAX_RECORD)) return r;
    size_t data_at = at + 6;
    if (size - data_at < count) return r;  // data cut off
    if (address < r.lowest) r.lowest = address;
    uint32_t last = address + count - 1;
    if (last > r.highest) r.highest = last;
    at = data_at + count + (count & 1) + 2;
  }
}

}  // namespace

// The file lives in memory, made on the first input: the scan opens it by
// its path under /proc, and no disk file is written for every input.
static void open_scratch_file() {
  if (scratch_fd >= 0) return;
  scratch_fd = memfd_create("absfile_fuzz", 0);
  if (scratch_fd < 0) fuzz_fail(__FILE__, __LINE__, "creating the scratch file");
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
  int result = range_x(scratch_path.c_str(), &lowest, &highest);
  expected_scan e = walk(data, size);
  FUZZ_CHECK(result == (e.ok ? 1 : 0));
  if (e.ok) {
    FUZZ_CHECK(lowest == e.lowest);
    FUZZ_CHECK(highest == e.highest);
  }
  return 0;
}
