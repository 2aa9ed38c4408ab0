// Scan rate: range_x over the 64 MiB image against one sequential read of
// the same file (what cat does), both from a warm page cache.  The scan
// reads the file through its 64 KiB buffer and checks every record's
// structure; the plain read is the cost of touching every byte once.
#include <cstdio>

#include "bench.h"
#include "files/files.h"
#include "formats/image/image.h"

namespace bench {

namespace {

constexpr size_t kReadBlock = 64 * 1024;

// The whole file in 64 KiB blocks; the number of bytes read, or -1.
long long read_sequentially(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    return -1;
  }
  static char block[kReadBlock];
  long long total = 0;
  size_t got;
  while ((got = fread(block, 1, sizeof block, f)) > 0) {
    total += static_cast<long long>(got);
  }
  bool failed = ferror(f) != 0;
  fclose(f);
  return failed ? -1 : total;
}

}  // namespace

bool scan_bench(const paths &p, int repeat) {
  const std::string image = p.image_dir + "/image-64m.X";

  // The record count comes from the image library's own reader, which also
  // confirms that the image is well formed.
  size_t records = 0;
  std::string error;
  if (!for_each_abs_record(
          image, [&](const abs_record &) { ++records; }, &error)) {
    fprintf(stderr, "romupdate-bench: %s\n", error.c_str());
    return false;
  }

  long long file_bytes = read_sequentially(image);  // also warms the cache
  uint32_t lowest, highest;
  if (file_bytes < 0 || !range_x(image.c_str(), &lowest, &highest)) {
    fprintf(stderr, "romupdate-bench: cannot read %s\n", image.c_str());
    return false;
  }

  std::vector<double> scan_seconds, read_seconds;
  for (int round = 0; round < repeat; ++round) {
    double start = now_seconds();
    int ok = range_x(image.c_str(), &lowest, &highest);
    scan_seconds.push_back(now_seconds() - start);
    start = now_seconds();
    long long got = read_sequentially(image);
    read_seconds.push_back(now_seconds() - start);
    if (!ok || got != file_bytes) {
      fprintf(stderr, "romupdate-bench: %s changed while it was measured\n", image.c_str());
      return false;
    }
  }

  double scan = median(scan_seconds), read = median(read_seconds);
  printf(
      "2. Scan of the 64 MiB image (%zu records, %lld bytes, 0%lX to 0%lX), warm cache, median of "
      "%d\n",
      records, file_bytes, static_cast<unsigned long>(lowest), static_cast<unsigned long>(highest),
      repeat);
  printf("  %-22s %8.1f MiB/s   %.0f records/s   median %.4f s\n", "range_x",
         to_mib(static_cast<double>(file_bytes)) / scan, static_cast<double>(records) / scan, scan);
  printf("  %-22s %8.1f MiB/s   median %.4f s\n", "cat (64 KiB reads)",
         to_mib(static_cast<double>(file_bytes)) / read, read);
  printf("  %-22s %8.3f  (range_x rate / sequential read rate)\n\n", "ratio", read / scan);
  return true;
}

}  // namespace bench
