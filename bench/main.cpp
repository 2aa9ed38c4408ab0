// romupdate-bench: figures for the download path, the image scan and the
// peak memory of a complete update, each set against a baseline on the same
// machine.  It reports; it never judges a timing.
//
// usage: romupdate-bench [--repeat N] [--only download|scan|memory|trace|progress|update]...
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench.h"

namespace {

const char kUsage[] =
    "usage: romupdate-bench [--repeat N] [--only download|scan|memory|trace|progress|update]...\n"
    "  --repeat N   measured runs of each figure (default 5); medians are reported\n"
    "  --only WHAT  only the named measurement (repeatable)\n";

}  // namespace

int main(int argc, char **argv) {
  // The image path measured in a process of its own.
  if (argc == 3 && strcmp(argv[1], "--image-path-child") == 0) {
    return bench::image_path_child(argv[2]);
  }

  int repeat = 5;
  bool want_download = false, want_scan = false, want_memory = false, chosen = false;
  bool want_trace = false, want_progress = false, want_update = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      repeat = atoi(argv[++i]);
      if (repeat < 1 || repeat > 100) {
        fprintf(stderr, "romupdate-bench: --repeat takes 1 to 100\n");
        return 1;
      }
    } else if (arg == "--only" && i + 1 < argc) {
      std::string what = argv[++i];
      chosen = true;
      if (what == "download") {
        want_download = true;
      } else if (what == "scan") {
        want_scan = true;
      } else if (what == "memory") {
        want_memory = true;
      } else if (what == "trace") {
        want_trace = true;
      } else if (what == "progress") {
        want_progress = true;
      } else if (what == "update") {
        want_update = true;
      } else {
        fprintf(stderr, "romupdate-bench: unknown measurement '%s'\n%s", what.c_str(), kUsage);
        return 1;
      }
    } else {
      fputs(kUsage, arg == "--help" ? stdout : stderr);
      return arg == "--help" ? 0 : 1;
    }
  }
  if (!chosen) {
    want_download = want_scan = want_memory = want_trace = want_progress = want_update = true;
  }

  // A simulator that goes away must show as a failed send, not end us.
  signal(SIGPIPE, SIG_IGN);

  bench::paths p;
  p.romupdate = BENCH_ROMUPDATE_BIN;
  p.sim = BENCH_SIM_BIN;
  p.image_dir = BENCH_IMAGE_DIR;
  p.examples_root = BENCH_EXAMPLES_ROOT;
#ifdef BENCH_FASTSLEEP_LIB
  p.fastsleep = BENCH_FASTSLEEP_LIB;
#endif
  std::string templ = (std::filesystem::temp_directory_path() / "romupdate-bench-XXXXXX").string();
  if (!mkdtemp(templ.data())) {
    fprintf(stderr, "romupdate-bench: cannot make a scratch directory: %s\n", strerror(errno));
    return 1;
  }
  p.scratch = templ;
  p.self = std::filesystem::read_symlink("/proc/self/exe").string();

  printf("romupdate benchmark: %ld online cores, %s build\n\n", sysconf(_SC_NPROCESSORS_ONLN),
         BENCH_BUILD_TYPE);
  fflush(stdout);
  bool ok = true;
  if (want_download) {
    ok = bench::download_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_scan) {
    ok = bench::scan_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_memory) {
    ok = bench::memory_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_download) {
    ok = bench::whole_path_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_memory) {
    ok = bench::image_memory_bench(p, repeat) && ok;
  }
  if (want_trace) {
    ok = bench::trace_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_progress) {
    ok = bench::progress_bench(p, repeat) && ok;
  }
  fflush(stdout);
  if (want_update) {
    ok = bench::update_bench(p, repeat) && ok;
  }
  fflush(stdout);

  std::error_code ec;
  std::filesystem::remove_all(p.scratch, ec);
  return ok ? 0 : 1;
}
