// The one interface between the program and the system it runs on.
//
// The Unix build takes these operations from the system library (posix_*.cpp);
// the Windows console build supplies several of them itself (win32_*.cpp).
// Callers never test the platform: they call through here.
#pragma once

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#include <winsock2.h>
using plat_socket = SOCKET;
#else
using plat_socket = int;
#endif

// A socket number that no open socket has.  Closed sockets are set to it so
// that a late write through a stale record fails instead of reaching whatever
// file reused the number.
inline constexpr plat_socket PLAT_INVALID_SOCKET = static_cast<plat_socket>(-1);

// ---- Texts and sizes that differ between the builds ------------------------

struct plat_texts {
  int line_size;                 // prompt and configuration line buffers
  const char *usage_line4;       // usage text, line 4
  const char *usage_line6;       // usage text, line 6
  const char *menu_prompt;       // the product menu's number prompt
  const char *update_candidate;  // update directory, as put in front of a name
  const char *update_dir;        // update directory, as resolved to be listed
  const char *dir_separators;    // separators of a file name's directory part
  const char *user;              // user identity sent to the target
  const char *null_device;       // the file that swallows what is written to it
};
const plat_texts &plat_text();

// ---- Sockets ---------------------------------------------------------------

// Starts the socket layer; nullptr on success, else the message to queue.
const char *plat_socket_startup();
void plat_socket_cleanup();
// Closes the socket and sets it to PLAT_INVALID_SOCKET.
void plat_close_socket(plat_socket &sock);
// The system's text of the last socket error.
const char *plat_socket_error_text();
// One send or receive call.  A send on a connection the peer has closed
// fails with -1 instead of raising a signal.  What a receive took is
// acknowledged at once (see plat_socket_ack_at_once).
long plat_send(plat_socket sock, const void *data, size_t size);
long plat_recv(plat_socket sock, void *data, size_t size);
// Waits without time-out until one of the two sockets is readable.  Returns
// the select result; *ready_a and *ready_b tell which.
int plat_wait_readable(plat_socket a, plat_socket b, bool *ready_a, bool *ready_b);
// Looks without waiting whether the connection is gone: a closed socket, or
// one that is readable with nothing to read (closed by the peer, or failed).
// Bytes waiting to be read mean the peer is still there.
bool plat_peer_gone(plat_socket sock);
// Turns a dead peer (power cut, cable pulled) into a failed receive.
void plat_socket_keepalive(plat_socket sock);
// Acknowledges what arrives at once instead of after the delayed
// acknowledgement's wait.  A target that holds back a reply's second small
// segment until the first is acknowledged (Nagle's algorithm) would otherwise
// stall each reply by that wait.  Best effort: a system without the setting
// still works, only slower.
void plat_socket_ack_at_once(plat_socket sock);
// Whether small sends go out at once.  By default the system holds a small
// segment back while earlier data is unacknowledged and gathers the sends
// into full segments, which a stream of small writes needs; at once, what is
// held goes out now, and every later send as it is made.
void plat_socket_send_at_once(plat_socket sock, bool at_once);

// ---- Process ---------------------------------------------------------------

// Option parsing with the POSIX getopt contract; parsing stops at the first
// operand.
int plat_getopt(int argc, char *const argv[], const char *optstring);
int plat_optind();
// Waits whole seconds.
unsigned plat_sleep(unsigned seconds);
// Installs the interrupt routine for the signals the build handles, leaving
// any signal that was ignored at start ignored.
void plat_install_interrupts(void (*handler)(int));
// A write to a closed pipe, or past the file size limit, fails with an
// error instead of ending the process: output that goes away must never
// leave a target half-programmed.  (The Windows build raises no signal for
// either.)
void plat_ignore_output_signals();
// The system's text for an errno value; safe in the interrupt routine.
const char *plat_errno_text(int error);
// Async-signal-safe output to standard error / standard output, and exit.
void plat_write_stderr(const char *text);
void plat_write_stdout(const char *text);
[[noreturn]] void plat_exit_now(int status);
// Whether standard error is an interactive terminal (on Windows, a console),
// where a line may be rewritten in place; a file, a pipe or a null device is
// not.
bool plat_stderr_is_terminal();
// Sends standard error to the null device until plat_restore_stderr is
// given the returned value (-1 when it could not; restoring that does
// nothing).  For a pass that would only repeat messages already shown.
int plat_silence_stderr();
void plat_restore_stderr(int saved);

// ---- Trace file ------------------------------------------------------------

// The build's name in a trace header ("unix", "windows").
const char *plat_name();
// Creates (or empties) the trace file for appending; on Unix with mode 0600.
// A terminal, a pipe or the file behind standard error is written without
// being emptied.  A symbolic link at the name is not followed to a file,
// and on Unix a file that is not the user's alone is refused: -1 with
// *refusal saying why.  Otherwise -1 with *refusal null and errno set when
// the system refuses.  `waiting` is called with the path before the open
// waits for the reader of a FIFO.  Returns the descriptor.
int plat_trace_create(const char *path, const char **refusal, void (*waiting)(const char *path));
// Writes all bytes, without buffering; safe in the interrupt routine.  false
// (errno set) when they could not all be written.
bool plat_trace_write(int fd, const char *data, size_t size);
void plat_trace_close(int fd);

// ---- File identity ---------------------------------------------------------

// What tells one state of a file from another: which file it is (device and
// file number; the volume and file index in the Windows build), its size
// and the time it was last written, as finely as the system keeps it.
struct plat_file_stamp {
  unsigned long long device;
  unsigned long long file;
  unsigned long long size;
  unsigned long long written;
};
// The stamp of the file a path names now, or of an open file.  false when
// the file cannot be looked at (errno set).
bool plat_stamp_path(const char *path, plat_file_stamp *stamp);
bool plat_stamp_file(FILE *file, plat_file_stamp *stamp);

// ---- Directory listing -----------------------------------------------------

struct plat_dir;
plat_dir *plat_opendir(const char *path);
// The next entry's name (valid until the next read), or nullptr at the end.
const char *plat_readdir(plat_dir *dir);
void plat_rewinddir(plat_dir *dir);
