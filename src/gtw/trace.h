// The trace of a run: with ROMUPDATE_TRACE naming a file, everything said on
// the wire, every wait and the exit status are written there as they
// happen (format in formats/trace/trace_format.h).  Without it every call here does
// nothing.  Image bytes are never written, only their count.
#pragma once

#include <cstddef>

// Creates the trace when ROMUPDATE_TRACE asks for one and writes its header.
// false, with *why saying why, when the file cannot be created or is
// refused.  `program` begins what the trace says on standard error: that it
// waits for the reader of a FIFO, or (once) that it could not be written to
// its end, after which the run goes on without it.
bool trace_start(const char *program, const char **why);
bool trace_on();
// Closes the trace; later events go nowhere until the next trace_start.
void trace_stop();
const char *trace_path();

// One event with a zero-terminated text.
void trace_event(const char *kind, const char *text);
// Bytes that came in, one event per line (split after each line feed).
void trace_bytes(const char *kind, const char *data, size_t size);
// A command without its line end, as sent, or as not sent (whole) when
// its send failed.
void trace_command(const char *command, bool sent);
// A new connection attempt to `host`: the events after it carry its number.
void trace_open(const char *host);
// The six opening bytes (address and port in network byte order).
void trace_opening(const void *address, const void *port);
// The command connection ended under the program: `result` of the failed
// receive (0: closed by the target) or send.
void trace_lost(long result, bool sending);
void trace_sleep(unsigned seconds);
// Safe in the interrupt routine.
void trace_exit(int status);
