// The cost of tracing: loadfile of the 64 MiB image with the trace off and
// with it on (ROMUPDATE_TRACE), taking turns on one connection to the
// simulator.  A traced download writes a handful of lines (the command, the
// go-ahead, the byte count, the status, the prompt), never the image.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "bench.h"
#include "files/files.h"
#include "gtw/gtw.h"
#include "gtw/trace.h"

namespace bench {

bool trace_bench(const paths &p, int repeat) {
  const std::string trace = p.scratch + "/bench.trace";
  std::string image;
  uint32_t count;
  if (!scan_large_image(p, &image, &count)) {
    return false;
  }

  sim_child sim(p.sim, {"--target", "38100b"}, p.scratch);
  gtw_conn conn;
  if (!open_locked(sim, &conn)) {
    return false;
  }
  setenv("ROMUPDATE_TRACE", trace.c_str(), 1);

  printf(
      "4. Tracing: loadfile of the 64 MiB image with ROMUPDATE_TRACE unset and set, median of %d\n",
      repeat);
  fflush(stdout);
  std::vector<double> off, on;
  auto download = [&](bool traced) {
    const char *why = nullptr;
    if (traced && !trace_start("romupdate-bench", &why)) {
      fprintf(stderr, "romupdate-bench: %s: %s\n", trace.c_str(), why);
      return -1.0;
    }
    double start = now_seconds();
    int result = loadfile(&conn, image.c_str(), static_cast<int>(count), 1);
    double took = now_seconds() - start;
    trace_stop();
    if (result != 0) {
      fprintf(stderr, "romupdate-bench: loadfile returned %d\n", result);
      gtw_flush_messages();
      return -1.0;
    }
    return took;
  };
  bool ok = take_turns(repeat, download, &off, &on);
  unsetenv("ROMUPDATE_TRACE");
  gtw_close(&conn, 1);
  gtw_flush_messages();
  sim.stop();
  if (!ok) {
    return false;
  }

  struct stat st {};
  stat(trace.c_str(), &st);
  printf("  %-22s median %.3f s\n", "trace off", median(off));
  printf("  %-22s median %.3f s, %lld bytes of trace per download\n", "trace on", median(on),
         static_cast<long long>(st.st_size));
  printf("  %-22s %+8.1f %%  (trace on / trace off - 1)\n\n", "cost",
         (median(on) / median(off) - 1) * 100);
  return true;
}

}  // namespace bench
