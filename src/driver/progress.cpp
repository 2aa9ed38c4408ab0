// The progress line.  It is drawn with a carriage return and blanks, not
// with terminal control sequences, so that a Windows console shows it the
// same way.
#include "driver/progress.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "bounds.h"
#include "platform/platform.h"
#include "run_state.h"

namespace {

using progress_clock = std::chrono::steady_clock;

// A redraw costs a write to the terminal; five a second read as live.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
// The clock is read once per this many data bytes, not for every record:
// sixteen records, a fraction of a second even on a slow target.
constexpr unsigned long long kClockStep = 4096;

// Characters of the line now on the terminal (0: none).  Read by the
// interrupt routine.
volatile sig_atomic_t shown_width = 0;
char blanks[PROGRESS_LINE_SIZE + 3];

bool timing = false;
unsigned long long next_look = 0;  // data bytes at which the clock is read next
progress_clock::time_point started, last_drawn;

bool wanted() {
  static const bool terminal = plat_stderr_is_terminal();
  return verboseflag && terminal;
}

void draw(const char *text) {
  const size_t width = strnlen(text, PROGRESS_LINE_SIZE - 1);
  char line[2 * PROGRESS_LINE_SIZE];
  size_t n = 0;
  line[n++] = '\r';
  memcpy(line + n, text, width);
  n += width;
  // Blanks over the rest of a longer line before.
  const size_t before = static_cast<size_t>(shown_width);
  if (before > width) {
    memset(line + n, ' ', before - width);
    n += before - width;
  }
  // An interrupt during the write clears as much as may be on the line.
  if (width > before) {
    shown_width = static_cast<sig_atomic_t>(width);
  }
  fwrite(line, 1, n, stderr);
  fflush(stderr);
  shown_width = static_cast<sig_atomic_t>(width);
  last_drawn = progress_clock::now();
}

double seconds_since(progress_clock::time_point then) {
  return std::chrono::duration<double>(progress_clock::now() - then).count();
}

}  // namespace

void download_progress(unsigned long long sent, unsigned long long total, bool done) {
  if (done) {
    timing = false;
    clear_progress();
    return;
  }
  if (!wanted()) {
    return;
  }
  if (!timing) {
    timing = true;
    started = progress_clock::now();
    next_look = sent + kClockStep;
  } else {
    if (sent < next_look) {
      return;
    }
    next_look = sent + kClockStep;
    if (progress_clock::now() - last_drawn < kRedrawInterval) {
      return;
    }
  }
  const unsigned percent =
      total == 0 ? 100 : static_cast<unsigned>(sent >= total ? 100 : sent * 100 / total);
  const double seconds = seconds_since(started);
  char rate[32] = "";
  if (seconds >= 0.1) {
    const double per_second = static_cast<double>(sent) / seconds;
    if (per_second >= 1024.0 * 1024.0) {
      snprintf(rate, sizeof rate, ", %.1f MiB/s", per_second / (1024.0 * 1024.0));
    } else {
      snprintf(rate, sizeof rate, ", %.0f KiB/s", per_second / 1024.0);
    }
  }
  char text[PROGRESS_LINE_SIZE];
  snprintf(text, sizeof text, "Downloading: %llu of %llu bytes (%u%%)%s", sent, total, percent,
           rate);
  draw(text);
}

void reconnect_progress(int attempt, int attempts) {
  if (!wanted()) {
    return;
  }
  if (attempt <= 1) {
    started = progress_clock::now();
  }
  char text[PROGRESS_LINE_SIZE];
  snprintf(text, sizeof text, "Waiting for the target: attempt %d of %d, %.0f s", attempt, attempts,
           seconds_since(started));
  draw(text);
}

void clear_progress() {
  if (shown_width == 0) {
    return;
  }
  const size_t width = static_cast<size_t>(shown_width);
  char line[PROGRESS_LINE_SIZE + 3];
  line[0] = '\r';
  memset(line + 1, ' ', width);
  line[width + 1] = '\r';
  fwrite(line, 1, width + 2, stderr);
  fflush(stderr);
  shown_width = 0;
}

void clear_progress_on_interrupt() {
  const sig_atomic_t width = shown_width;
  if (width <= 0) {
    return;
  }
  blanks[0] = '\r';
  memset(blanks + 1, ' ', static_cast<size_t>(width));
  blanks[width + 1] = '\r';
  blanks[width + 2] = '\0';
  plat_write_stderr(blanks);
}
