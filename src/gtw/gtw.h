// The target connection ("gtw", for gateway): the connection record, the
// command exchange up to the target's prompt, and the queue of the target's
// message lines.
//
// Every operation that returns an int status returns a set of the result
// bits below: 0 is success with nothing queued; GTW_MESSAGES alone means
// message lines were queued and nothing failed; any value with GTW_FAILED
// is a failed command, its reason (if any) in the queue.  Callers treat
// every non-zero value as a failed command unless they say otherwise; one
// that lets a failure pass still learns from GTW_TARGET_ERROR whether the
// target itself reported an error in its answer.
#pragma once

#include "platform/platform.h"

// One connection to a target: its command and control connections, and how
// it was opened.  Closed sockets hold PLAT_INVALID_SOCKET.
struct gtw_conn {
  plat_socket command_socket = PLAT_INVALID_SOCKET;
  plat_socket control_socket = PLAT_INVALID_SOCKET;
  unsigned char started = 0;  // opened with a start type: the control connection is read too
  // A lock-mode opening failed after the marker went out, and the
  // connection was gone before the marker could be removed again: the
  // target may carry our marker.
  bool marker_left = false;
};

// The one connection of the run, reused by every reconnection.
extern gtw_conn gtw;

// Result bits of the gtw_ operations.
inline constexpr int GTW_MESSAGES = 1;  // message lines were queued
inline constexpr int GTW_FAILED = 2;    // a failure (or a message with "ERROR")
// A message line of the target's own (one that begins with "!") reported an
// error: always with GTW_FAILED, returned with the command it answers.
inline constexpr int GTW_TARGET_ERROR = 4;

// Called with each ordinary reply line (valid during the call only; copy
// what you keep) and the caller's pointer, passed through unchanged.
using gtw_line_routine = void (*)(const char *line, void *arg);
// Line routines any caller may pass: one drops the lines, one prints each
// to standard error.
void ignore_reply_line(const char *line, void *arg);
void print_reply_line(const char *line, void *arg);

// One queued message line.  The queue owns the records and their texts.
struct gtw_message {
  gtw_message *next;
  char *text;
};

// Open types: lock mode takes the target's lock marker; the start types
// start a gateway user interface with "start", "start -e" or "start -a".
inline constexpr int GTW_OPEN_LOCK = 0;
inline constexpr int GTW_OPEN_START = 1;
inline constexpr int GTW_OPEN_START_E = 2;
inline constexpr int GTW_OPEN_START_A = 3;

// The lock-mode commands, for every program that takes or gives back a
// target's lock: the probe (locks the LAN against other user interfaces and
// runs the marker macro, which exists only while someone holds the target),
// the unlock that ends the probe's bracket, and the two commands that give
// the target back (no marker, the usual prompt).
inline constexpr const char GTW_LOCK_PROBE[] = "lanlk -e;lockinfo\n";
inline constexpr const char GTW_LOCK_END[] = "lanlk -d\n";
inline constexpr const char GTW_MARKER_REMOVE[] = "mac -d lockinfo\n";
inline constexpr const char GTW_PROMPT_RESET[] = "po -p >\n";

// ---- Opening and closing ---------------------------------------------------

// Connects `host` (a name or dotted-decimal address) on the command port and
// the next one, and opens it with `type`.  0 or GTW_MESSAGES leaves it open;
// with GTW_FAILED both sockets are closed again and the reason is queued.
int gtw_open(gtw_conn *conn, const char *host, int type);
// The first half of an opening: both connections made and introduced to
// each other, `started` set from the open type, nothing sent on the command
// connection yet.  0, or 3 with the reason queued, nothing left open and the
// socket layer stopped again.
int gtw_connect(gtw_conn *conn, const char *host, int type);
// The local host name as the lock marker names it (empty when unknown).
void gtw_local_host(char *name, size_t size);
// Closes both sockets.  With `release` non-zero the target is first given
// back ("end -r", or in lock mode the marker removed and the prompt reset);
// with 0 nothing is sent unless the connection was started ("end").  false
// when a lock-mode release could not reach the target: the connection was
// gone, and the marker stays.
bool gtw_close(gtw_conn *conn, unsigned char release);

// ---- Command exchange ------------------------------------------------------

// Sends the text as it stands in one send and reads nothing.  Returns the
// send's result (bytes sent, or -1); callers that expect no prompt use it.
long gtw_write_command(gtw_conn *conn, const char *command);
// Sends the text and reads the reply up to the prompt, handing each ordinary
// line to `routine` (nullptr drops them).  GTW_FAILED alone when the text
// did not go out whole: then nothing is read, and the reason is queued.
int gtw_send_command(gtw_conn *conn, const char *command, gtw_line_routine routine, void *arg);
// Whether the command connection is known to be gone: closed, closed by the
// target, or failed.  Does not wait and reads nothing.
bool gtw_connection_lost(const gtw_conn *conn);
// Reads the reply up to the prompt, as gtw_send_command does after sending.
int gtw_read_prompt(gtw_conn *conn, gtw_line_routine routine, void *arg);
// gtw_read_prompt, with `input` (nullptr for none) worked through first as if
// received.  "!" lines are queued (one with "ERROR" fails the command); a
// closed or failed command connection queues the reason and fails.
int gtw_read_prompt_input(gtw_conn *conn, gtw_line_routine routine, void *arg, const char *input);
// Stores the status letter of the last prompt read (zero before any) in
// *status.  Returns 1 for "M", 0 for "R" or "r", 2 for anything else.
int gtw_get_status(char *status);
// Reads what the control connection has ready and queues its "!" lines;
// waits in the receive for the rest of a line begun.  GTW_FAILED when the
// receive fails or the target has closed the connection.
int gtw_read_message(gtw_conn *conn);

// ---- Message queue (one for the process, oldest first) ---------------------

// Queues a copy of the text: GTW_MESSAGES, with GTW_FAILED too when the text
// contains "ERROR" (and GTW_TARGET_ERROR when it is the target's "!" line);
// GTW_FAILED alone when memory ran out and nothing was queued.
int gtw_add_message(const char *text);
// Takes the oldest message out of the queue.  The caller owns the text and
// frees it with free().  nullptr when the queue is empty.
char *gtw_get_message();
// Drops every queued message.
void gtw_flush_messages();
// Prints every queued message to standard error, one a line, oldest first,
// and empties the queue.
void print_messages();
