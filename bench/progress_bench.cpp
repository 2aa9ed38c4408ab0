// The cost of the progress line: loadfile of the 64 MiB image without a
// progress routine and with the program's own, standard error on a
// pseudo-terminal and progress messages on, so that the line is really
// drawn; the two take turns on one connection to the simulator.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bench.h"
#include "driver/progress.h"
#include "files/files.h"
#include "gtw/gtw.h"
#include "run_state.h"

namespace bench {

bool progress_bench(const paths &p, int repeat) {
  std::string image;
  uint32_t count;
  if (!scan_large_image(p, &image, &count)) {
    return false;
  }
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("romupdate-bench: no pseudo-terminal");
    return false;
  }
  int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  fcntl(master, F_SETFL, O_NONBLOCK);

  sim_child sim(p.sim, {"--target", "38100b"}, p.scratch);
  gtw_conn conn;
  if (!open_locked(sim, &conn)) {
    return false;
  }

  printf("Progress line: loadfile of the 64 MiB image without and with it, median of %d\n", repeat);
  fflush(stdout);
  fflush(stderr);
  const int saved_stderr = dup(2);
  dup2(terminal, 2);
  verboseflag = 1;
  std::vector<double> off, on;
  size_t drawn = 0;
  int drawn_downloads = 0;
  auto drain = [&] {
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
      drawn += static_cast<size_t>(n);
    }
  };
  auto download = [&](bool shown) {
    double start = now_seconds();
    int result = loadfile(&conn, image.c_str(), static_cast<int>(count), 1,
                          shown ? download_progress : nullptr);
    double took = now_seconds() - start;
    drain();
    drawn_downloads += shown ? 1 : 0;
    if (result != 0) {
      gtw_flush_messages();
      return -1.0;
    }
    return took;
  };
  bool ok = take_turns(repeat, download, &off, &on);
  verboseflag = 0;
  dup2(saved_stderr, 2);
  close(saved_stderr);
  close(terminal);
  close(master);
  gtw_close(&conn, 1);
  gtw_flush_messages();
  sim.stop();
  if (!ok) {
    fprintf(stderr, "romupdate-bench: a download failed\n");
    return false;
  }
  printf("  %-22s median %.3f s\n", "no progress", median(off));
  printf("  %-22s median %.3f s, %.0f bytes to the terminal per download\n", "progress line",
         median(on), static_cast<double>(drawn) / drawn_downloads);
  printf("  %-22s %+8.1f %%  (with / without - 1)\n\n", "cost",
         (median(on) / median(off) - 1) * 100);
  return true;
}

}  // namespace bench
