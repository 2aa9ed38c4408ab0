// A whole update against a raw sender: the real program updates a 38100A
// control card with the 64 MiB image, from its start to its exit, against
// the bench's own target, once with a target that sends its replies with
// Nagle's algorithm on and once with one that does not.  The floor is the
// raw sender of the download (the same image in 1024-byte chunks) into the
// same target.  The target answers at once and comes back from its reboots
// at once, and the program's waits are shortened to nothing, so what is left
// beyond the download is the program's own round trips.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "bench.h"

namespace bench {

namespace {

struct target_case {
  const char *label;
  const target_sink *target;
  std::vector<double> update, raw;
};

// One complete update; its wall time, or a negative number when it did not
// succeed.
double time_update(const paths &p, const std::string &dir, const target_sink &target) {
  std::map<std::string, std::string> env = {
      {"XR52000", p.examples_root}, {"LD_PRELOAD", p.fastsleep}, {"FASTSLEEP_MS", "0"}};
  const std::string out_path = dir + "/update.out", err_path = dir + "/update.err";
  run_result r = run_measured({p.romupdate, "-v", target.address(), "bench-update"}, env, dir,
                              out_path, err_path, 300);
  std::string err = read_file(err_path);
  if (r.status != 0 || err.find("Flash programming SUCCEEDED\n") == std::string::npos) {
    fprintf(stderr, "romupdate-bench: the update against %s did not succeed (status %d%s)\n%s%s",
            target.address().c_str(), r.status, r.timed_out ? ", timed out" : "",
            read_file(out_path).c_str(), err.c_str());
    return -1;
  }
  return r.seconds;
}

double time_raw(const std::string &image, uint32_t count, const target_sink &target) {
  int fd = connect_command(target.address());
  if (fd < 0) {
    fprintf(stderr, "romupdate-bench: cannot connect to %s\n", target.address().c_str());
    return -1;
  }
  std::string why;
  double start = now_seconds();
  bool ok = minimal_download(fd, image, count, &why);
  double seconds = now_seconds() - start;
  close(fd);
  if (!ok) {
    fprintf(stderr, "romupdate-bench: raw sender into %s failed: %s\n", target.address().c_str(),
            why.c_str());
    return -1;
  }
  return seconds;
}

}  // namespace

bool update_bench(const paths &p, int repeat) {
  if (!has_fastsleep(p)) {
    return false;
  }
  std::string image;
  uint32_t count;
  if (!scan_large_image(p, &image, &count)) {
    return false;
  }
  const std::string dir = p.scratch + "/update";
  mkdir(dir.c_str(), 0755);
  // The configuration of measurement 3, for the 64 MiB image.
  if (symlink(image.c_str(), (dir + "/image-64m.X").c_str()) != 0 ||
      !write_file(dir + "/bench-update.cfg",
                  "romidentloc 2FFFF0\nromident    5806\nromstart    1000000\n"
                  "romsize     4000000\nromwidth    16\nbinname     image-64m.X\n")) {
    fprintf(stderr, "romupdate-bench: cannot prepare %s\n", dir.c_str());
    return false;
  }

  target_sink nagle_target(true), plain_target(false);
  if (!nagle_target.running() || !plain_target.running()) {
    fprintf(stderr, "romupdate-bench: no free address in 127.0.70.21 to 127.0.70.40\n");
    return false;
  }
  target_case cases[] = {{"Nagle target", &nagle_target, {}, {}},
                         {"non-Nagle target", &plain_target, {}, {}}};
  // Round 0 warms the page cache and is not counted.  Within a round the
  // two targets and, for each, the update and the raw sender take turns at
  // going first, so that any drift of a shared machine falls on all four.
  for (int round = 0; round <= repeat; ++round) {
    for (int i = 0; i < 2; ++i) {
      target_case &c = cases[(i + round) % 2];
      double update, raw;
      if (round % 2) {
        raw = time_raw(image, count, *c.target);
        update = raw < 0 ? -1 : time_update(p, dir, *c.target);
      } else {
        update = time_update(p, dir, *c.target);
        raw = update < 0 ? -1 : time_raw(image, count, *c.target);
      }
      if (update < 0 || raw < 0) {
        return false;
      }
      if (round > 0) {
        c.update.push_back(update);
        c.raw.push_back(raw);
      }
    }
  }

  printf(
      "6. A whole update with the 64 MiB image (romupdate -v, 38100A, start to exit, waits\n"
      "   shortened to nothing) against a raw sender of the same image in 1024-byte chunks, into\n"
      "   the bench's own target, which sends each reply line and the prompt in a send of its\n"
      "   own; median of %d\n",
      repeat);
  // The fastest runs as well: on a busy machine the other programs only ever
  // add time, so the fastest run comes nearest to what each side costs.
  for (auto &c : cases) {
    double update = median(c.update), raw = median(c.raw);
    double fast_update = *std::min_element(c.update.begin(), c.update.end());
    double fast_raw = *std::min_element(c.raw.begin(), c.raw.end());
    printf("  %-18s update %.3f s   raw sender %.3f s   ratio %.3f  (raw / update)\n", c.label,
           update, raw, raw / update);
    printf("  %-18s fastest: update %.3f s   raw sender %.3f s   ratio %.3f\n", "", fast_update,
           fast_raw, fast_raw / fast_update);
  }
  printf("\n");
  return true;
}

}  // namespace bench
