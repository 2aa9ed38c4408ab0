// Peak memory of a complete update: the real program against the simulator,
// once with a 1 MiB image and once with a 64 MiB image, under the same
// configuration otherwise.  The program streams images through a fixed
// buffer, so the two peaks should differ by no more than noise.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "bench.h"

namespace bench {

namespace {

// One 38100A entry; everything but the image name is the same for both
// sizes, and the ROM is large enough for the larger image.
std::string config_for(const std::string &image_name) {
  return "# Benchmark: a complete update of a 38100A control card.\n"
         "romidentloc 2FFFF0\n"
         "romident    5806\n"
         "romstart    1000000\n"
         "romsize     4000000\n"
         "romwidth    16\n"
         "binname     " +
         image_name + "\n";
}

struct case_result {
  std::vector<long> peaks_kib;
  std::vector<double> seconds;
  std::string sleeps;  // the waits the program asked for, as logged
};

bool run_update(const paths &p, const std::string &name, case_result *out) {
  sim_child sim(p.sim, {"--target", "38100a", "--hwid", "2FFFF0=5806", "--reboot-time", "0.2"},
                p.scratch);
  if (!sim.running()) {
    fprintf(stderr, "romupdate-bench: the simulator did not start: %s\n", sim.error().c_str());
    return false;
  }
  const std::string sleep_log = p.scratch + "/sleeps-" + name;
  unlink(sleep_log.c_str());
  std::map<std::string, std::string> env = {
      {"XR52000", p.examples_root},
      {"LD_PRELOAD", p.fastsleep},
      {"FASTSLEEP_LOG", sleep_log},
  };
  const std::string out_path = p.scratch + "/" + name + ".out";
  const std::string err_path = p.scratch + "/" + name + ".err";
  run_result r = run_measured({p.romupdate, "-v", sim.address(), name}, env, p.scratch, out_path,
                              err_path, 300);
  sim.stop();

  std::string err = read_file(err_path);
  if (r.status != 0 || err.find("Flash programming SUCCEEDED\n") == std::string::npos) {
    fprintf(stderr,
            "romupdate-bench: the update with %s did not succeed (status %d, signal %d%s)\n%s%s",
            name.c_str(), r.status, r.term_signal, r.timed_out ? ", timed out" : "",
            read_file(out_path).c_str(), err.c_str());
    return false;
  }
  out->peaks_kib.push_back(r.max_rss_kib);
  out->seconds.push_back(r.seconds);
  out->sleeps = read_file(sleep_log);
  while (!out->sleeps.empty() && out->sleeps.back() == '\n') {
    out->sleeps.pop_back();
  }
  std::replace(out->sleeps.begin(), out->sleeps.end(), '\n', ' ');
  return true;
}

}  // namespace

bool memory_bench(const paths &p, int repeat) {
  if (!has_fastsleep(p)) {
    return false;
  }
  struct size_case {
    const char *label, *config, *image;
    case_result result;
  } cases[] = {{"1 MiB image", "bench-1m", "image-1m.X", {}},
               {"64 MiB image", "bench-64m", "image-64m.X", {}}};

  for (auto &c : cases) {
    std::string link = p.scratch + "/" + c.image;
    if (symlink((p.image_dir + "/" + c.image).c_str(), link.c_str()) != 0 ||
        !write_file(p.scratch + "/" + c.config + ".cfg", config_for(c.image))) {
      fprintf(stderr, "romupdate-bench: cannot prepare %s\n", p.scratch.c_str());
      return false;
    }
  }
  // The sizes take turns, as in the other measurements.
  for (int round = 0; round < repeat; ++round) {
    for (auto &c : cases) {
      if (!run_update(p, c.config, &c.result)) {
        return false;
      }
    }
  }

  printf(
      "3. Peak memory (maximum resident set, wait4) of a complete update, 38100A, %d runs each\n",
      repeat);
  for (auto &c : cases) {
    auto [lo, hi] = std::minmax_element(c.result.peaks_kib.begin(), c.result.peaks_kib.end());
    printf("  %-22s %8ld KiB   (runs %ld to %ld KiB, median %.2f s; waits asked for: %s)\n",
           c.label, *hi, *lo, *hi, median(c.result.seconds), c.result.sleeps.c_str());
  }
  long small =
      *std::max_element(cases[0].result.peaks_kib.begin(), cases[0].result.peaks_kib.end());
  long large =
      *std::max_element(cases[1].result.peaks_kib.begin(), cases[1].result.peaks_kib.end());
  printf("  %-22s %+8ld KiB  (64 MiB peak - 1 MiB peak)\n\n", "difference", large - small);
  return true;
}

}  // namespace bench
