// Progress on a terminal: one line on standard error, rewritten in place,
// for the two long silences of a run (a download, the wait for the target
// to come back from its reboot).  Shown only with progress messages on and
// standard error a terminal; a log or a pipe gets not one byte of it.  The
// line is cleared before anything else is printed.
#pragma once

// The download's progress (a load_progress routine): data bytes sent of
// the total, the percentage and the rate, redrawn at most a few times a
// second; cleared when `done`.
void download_progress(unsigned long long sent, unsigned long long total, bool done);
// The wait for the target: the attempt about to be made of `attempts`, and
// the seconds since the first one.
void reconnect_progress(int attempt, int attempts);
// Takes the line off the terminal, if one is shown.
void clear_progress();
// The same from the interrupt routine: only async-signal-safe writes.
void clear_progress_on_interrupt();
