// The target connection ("gtw", for gateway): the connection record, the
// command exchange up to the target's prompt, and the queue of the target's
// message lines.
#pragma once

#include "platform/platform.h"

struct gtw_conn {
  plat_socket command_socket = PLAT_INVALID_SOCKET;
  plat_socket control_socket = PLAT_INVALID_SOCKET;
  unsigned char started = 0;
};

// The one connection of the run.
extern gtw_conn gtw;

// Result bits of the gtw_ operations.
inline constexpr int GTW_MESSAGES = 1;  // message lines were queued
inline constexpr int GTW_FAILED = 2;    // a failure (or a message with "ERROR")

// Called with each ordinary reply line (valid during the call only) and the
// caller's pointer.
using gtw_line_routine = void (*)(const char *line, void *arg);

struct gtw_message {
  gtw_message *next;
  char *text;
};

// Open types.
inline constexpr int GTW_OPEN_LOCK = 0;

int gtw_open(gtw_conn *conn, const char *host, int type);
// The first half of an opening: both connections made and introduced to
// each other, `started` set from the open type, nothing sent on the command
// connection yet.  0, or 3 with the reason queued and nothing left open.
int gtw_connect(gtw_conn *conn, const char *host, int type);
// The local host name as the lock marker names it (empty when unknown).
void gtw_local_host(char *name, size_t size);
void gtw_close(gtw_conn *conn, unsigned char release);

long gtw_write_command(gtw_conn *conn, const char *command);
int gtw_send_command(gtw_conn *conn, const char *command, gtw_line_routine routine, void *arg);
int gtw_read_prompt(gtw_conn *conn, gtw_line_routine routine, void *arg);
int gtw_read_prompt_input(gtw_conn *conn, gtw_line_routine routine, void *arg, const char *input);
int gtw_get_status(char *status);
int gtw_read_message(gtw_conn *conn);

int gtw_add_message(const char *text);
char *gtw_get_message();
void gtw_flush_messages();
void print_messages();
