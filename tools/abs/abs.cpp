// romupdate-abs: looks at, makes and compares absolute images.
//
// "info" takes the address range from the updater's own scan, so that an
// operator sees the numbers the updater will work with.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "bounds.h"
#include "files/files.h"
#include "formats/image/image.h"
#include "romupdate_version.h"

namespace {

const char *const program = "romupdate-abs";

constexpr int EXIT_BAD_USAGE = 2;
constexpr int MAX_SHOWN_DIFFERENCES = 10;

// The usage and the error of a bad size say the limit in the same words.
#define SIZE_RULE "decimal, K or M suffix, 1 to 4096M"

void usage(FILE *out) {
  fprintf(out,
          "Usage: %s COMMAND ...\n"
          "  info FILE\n"
          "      records, lowest and highest address, size and data bytes of an image\n"
          "  make --address ADDR IN.bin OUT.X\n"
          "      an image of the bytes of IN.bin, placed from ADDR (hexadecimal,\n"
          "      0x in front or H behind allowed)\n"
          "  make --address ADDR --random SIZE [--seed N] OUT.X\n"
          "      a reproducible pseudo-random image of SIZE bytes (" SIZE_RULE
          ")\n"
          "  verify [--exact] IMAGE DUMP\n"
          "      every byte of IMAGE is in DUMP at the same address; with --exact,\n"
          "      DUMP holds no byte that IMAGE lacks\n"
          "  dump FILE\n"
          "      the records of an image, one per line: address and byte count\n"
          "  --help, --version\n",
          program);
}

// One line, so that the reason is not lost above a screenful of usage.
int bad_usage(const std::string &why) {
  fprintf(stderr, "%s: %s (see %s --help)\n", program, why.c_str(), program);
  return EXIT_BAD_USAGE;
}

int failure(const std::string &why) {
  fprintf(stderr, "%s: %s\n", program, why.c_str());
  return 1;
}

std::string hex8(uint32_t value) {
  char text[12];
  snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(value));
  return text;
}

// ---- info -----------------------------------------------------------------

int info(const std::string &path) {
  // The counts come from the record walk alone: nothing of the image is
  // held in memory, whatever its size.
  abs_stats stats;
  std::string error;
  bool ok = for_each_abs_record(
      path,
      [&](const abs_record &r) {
        stats.records++;
        stats.data_bytes += r.count;
      },
      &error);
  if (!ok) {
    return failure(error);
  }
  // The range as the updater works it out, over the same walk.
  uint32_t lowest, highest;
  char why[ABS_WALK_REASON_SIZE];
  if (!range_x(path.c_str(), &lowest, &highest, why, sizeof why)) {
    return failure(path + ": " + (why[0] ? why : "cannot be read again"));
  }
  printf("records: %zu\n", stats.records);
  printf("lowest: %s\n", hex8(lowest).c_str());
  printf("highest: %s\n", hex8(highest).c_str());
  if (highest >= lowest) {
    unsigned long long size = static_cast<unsigned long long>(highest) - lowest + 1;
    printf("size: %llu (0x%llX)\n", size, size);
  } else {
    printf("size: 0 (no data)\n");
  }
  printf("data bytes: %zu\n", stats.data_bytes);
  return 0;
}

// ---- make -----------------------------------------------------------------

// splitmix64: the same bytes for the same seed on every platform.
uint64_t next_random(uint64_t &state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Whether size bytes from address stay below 4 GiB.
bool fits(uint32_t address, uint64_t size) { return size <= (uint64_t{1} << 32) - address; }

int make(int argc, char **argv) {
  bool have_address = false, random = false, have_seed = false;
  uint32_t address = 0;
  uint64_t size = 0, seed = 1;
  std::vector<std::string> files;
  for (int i = 0; i < argc; i++) {
    std::string_view arg = argv[i];
    bool takes_value = arg == "--address" || arg == "--random" || arg == "--seed";
    if (takes_value && i + 1 >= argc) {
      return bad_usage("'" + std::string(arg) + "' needs a value");
    }
    if (arg == "--address") {
      if (!parse_address(argv[++i], &address)) {
        return bad_usage("bad address '" + std::string(argv[i]) + "' (hexadecimal, 32 bits)");
      }
      have_address = true;
    } else if (arg == "--random") {
      if (!parse_size(argv[++i], &size) || size == 0) {
        return bad_usage("bad size '" + std::string(argv[i]) + "' (" SIZE_RULE ")");
      }
      random = true;
    } else if (arg == "--seed") {
      if (!parse_seed(argv[++i], &seed)) {
        return bad_usage("bad seed '" + std::string(argv[i]) + "' (decimal)");
      }
      have_seed = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return bad_usage("unknown option for make: '" + std::string(arg) + "'");
    } else {
      files.emplace_back(arg);
    }
  }
  if (!have_address) {
    return bad_usage("make needs --address");
  }
  if (have_seed && !random) {
    return bad_usage("--seed goes with --random");
  }
  if (files.size() != (random ? 1u : 2u)) {
    return bad_usage("wrong number of files for make");
  }

  flash_memory mem;
  if (random) {
    if (!fits(address, size)) {
      return failure("image runs past address FFFFFFFF");
    }
    uint64_t state = seed;
    uint8_t block[4096];
    for (uint64_t done = 0; done < size;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof block, size - done));
      for (size_t i = 0; i < n; i += 8) {
        uint64_t r = next_random(state);
        for (size_t k = 0; k < 8 && i + k < n; k++) {
          block[i + k] = static_cast<uint8_t>(r >> (8 * k));
        }
      }
      mem.write(address + static_cast<uint32_t>(done), block, n);
      done += n;
    }
  } else {
    FILE *in = fopen(files[0].c_str(), "rb");
    if (!in) {
      return failure(files[0] + ": " + strerror(errno));
    }
    uint8_t block[65536];
    uint64_t done = 0;
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0) {
      if (!fits(address, done + n)) {
        fclose(in);
        return failure(files[0] + ": image runs past address FFFFFFFF");
      }
      mem.write(address + static_cast<uint32_t>(done), block, n);
      done += n;
    }
    bool read_failed = ferror(in);
    int saved = errno;
    fclose(in);
    if (read_failed) {
      return failure(files[0] + ": " + strerror(saved));
    }
    // romupdate refuses an image without data; so does the tool that makes one.
    if (done == 0) {
      return failure(files[0] + ": empty: an image needs at least one byte");
    }
  }

  std::string error;
  if (!write_abs_file(files.back(), mem, &error)) {
    return failure(error);
  }
  return 0;
}

// ---- verify ---------------------------------------------------------------

using run_list = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

std::string hex2(uint8_t value) {
  char text[4];
  snprintf(text, sizeof text, "%02X", value);
  return text;
}

// Counts every difference and shows the first few.
struct difference_report {
  unsigned long long count = 0;
  void add(uint32_t address, const std::string &image, const std::string &flash) {
    if (count++ < MAX_SHOWN_DIFFERENCES) {
      printf("address %s: image %s, flash %s\n", hex8(address).c_str(), image.c_str(),
             flash.c_str());
    }
  }
};

// Walks the runs of `ours` against the runs of `theirs`, both ascending,
// in one pass.  Bytes of ours that theirs lacks are reported missing on the
// other side; with compare_values, bytes present in both must be equal.
void compare_runs(const run_list &ours, const run_list &theirs, bool ours_is_image,
                  bool compare_values, difference_report &report) {
  auto run_end = [](const auto &run) { return uint64_t{run.first} + run.second.size(); };
  size_t j = 0;
  for (const auto &run : ours) {
    uint64_t pos = run.first, end = run_end(run);
    while (pos < end) {
      while (j < theirs.size() && run_end(theirs[j]) <= pos) {
        j++;
      }
      uint8_t mine = run.second[pos - run.first];
      if (j == theirs.size() || theirs[j].first > pos) {
        if (ours_is_image) {
          report.add(static_cast<uint32_t>(pos), hex2(mine), "missing");
        } else {
          report.add(static_cast<uint32_t>(pos), "missing", hex2(mine));
        }
        pos++;
        continue;
      }
      // The stretch present on both sides.
      uint64_t stop = std::min(end, run_end(theirs[j]));
      const uint8_t *a = run.second.data() + (pos - run.first);
      const uint8_t *b = theirs[j].second.data() + (pos - theirs[j].first);
      size_t n = static_cast<size_t>(stop - pos);
      if (compare_values && memcmp(a, b, n) != 0) {
        for (size_t k = 0; k < n; k++) {
          if (a[k] != b[k]) {
            report.add(static_cast<uint32_t>(pos + k), hex2(a[k]), hex2(b[k]));
          }
        }
      }
      pos = stop;
    }
  }
}

int verify(int argc, char **argv) {
  bool exact = false;
  std::vector<std::string> files;
  for (int i = 0; i < argc; i++) {
    std::string_view arg = argv[i];
    if (arg == "--exact") {
      exact = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return bad_usage("unknown option for verify: '" + std::string(arg) + "'");
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.size() != 2) {
    return bad_usage("verify needs IMAGE and DUMP");
  }

  flash_memory image, dump;
  std::string error;
  if (!read_abs_file(files[0], image, nullptr, &error)) {
    return failure(error);
  }
  if (!read_abs_file(files[1], dump, nullptr, &error)) {
    return failure(error);
  }

  const run_list image_runs = image.runs();
  const run_list dump_runs = dump.runs();
  difference_report report;
  compare_runs(image_runs, dump_runs, true, true, report);
  if (exact) {
    compare_runs(dump_runs, image_runs, false, false, report);
  }

  if (report.count == 0) {
    printf("match: %zu bytes\n", image.size());
    return 0;
  }
  if (report.count > MAX_SHOWN_DIFFERENCES) {
    printf("...\n");
  }
  printf("differences: %llu\n", report.count);
  return 1;
}

// ---- dump -----------------------------------------------------------------

int dump(const std::string &path) {
  std::string error;
  bool ok = for_each_abs_record(
      path, [](const abs_record &r) { printf("%s %zu\n", hex8(r.address).c_str(), r.count); },
      &error);
  if (!ok) {
    fflush(stdout);
    return failure(error);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    return bad_usage("no command");
  }
  std::string_view command = argv[1];
  int rest = argc - 2;
  char **args = argv + 2;

  if (command == "-h" || command == "--help") {
    usage(stdout);
    return 0;
  }
  if (command == "--version") {
    printf("%s %s\n", program, romupdate_version);
    return 0;
  }
  for (int i = 0; i < rest; i++) {
    std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    }
  }
  if (command == "info") {
    if (rest != 1) {
      return bad_usage("info needs one FILE");
    }
    return info(args[0]);
  }
  if (command == "dump") {
    if (rest != 1) {
      return bad_usage("dump needs one FILE");
    }
    return dump(args[0]);
  }
  if (command == "make") {
    return make(rest, args);
  }
  if (command == "verify") {
    return verify(rest, args);
  }
  return bad_usage("unknown command '" + std::string(command) + "'");
}
