// The command exchange: a command goes out on the command connection in one
// send, and the reply is read up to the target's prompt.  Ordinary reply
// lines go to the caller's line routine as they complete; message lines
// (those that begin with "!") go to the message queue.
#include "gtw/gtw.h"

#include <cstdio>
#include <cstring>

#include "gtw/control.h"
#include "gtw/trace.h"
#include "formats/trace/trace_format.h"
#include "gtw/visible.h"
#include "bounds.h"

namespace {

// Status character of the most recent prompt; zero before the first.
char last_status;

// The characters that may stand before the "$" or ">" of a prompt.
bool is_status_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '?' || c == '-';
}

// The state of one reading up to the prompt.  It lives for one call only:
// a line left unfinished when the prompt has been seen is dropped.
class reply_reader {
 public:
  reply_reader(gtw_line_routine routine, void *arg) : routine_(routine), arg_(arg) {}

  bool done() const { return done_; }
  int result() const { return result_; }
  void add_result(int bits) { result_ |= bits; }

  // Works through one received chunk.  The previous character runs on from
  // chunk to chunk, so a prompt split across two receives is still seen.
  void take(const char *data, size_t size) {
    for (size_t i = 0; i < size; i++) {
      char c = data[i];
      switch (c) {
        case '\0':
          break;
        case '\n':
        case '\r':
          end_line();
          break;
        case '#':
          comment_ = true;
          break;
        case '$':
        case '>':
          // The prompt is recognised as soon as it arrives; nothing ends it.
          // The comment flag does not matter here.
          if (length_ == 1 && is_status_char(previous_)) {
            done_ = true;
            last_status = previous_;
          } else {
            append(c);
          }
          break;
        case '!':
          if (length_ == 0) {
            message_ = true;
            result_ |= GTW_MESSAGES;
          }
          append(c);
          break;
        default:
          append(c);
          break;
      }
      previous_ = c;
    }
  }

 private:
  // A line that outgrows the buffer keeps its first characters; the rest up
  // to the line end is dropped.
  void append(char c) {
    if (!comment_ && length_ < sizeof line_ - 1) {
      line_[length_++] = c;
    }
  }

  // Either line end ends the line, so a CR LF pair (or LF CR) gives one line
  // and an empty one, which is skipped.
  void end_line() {
    if (length_ > 0) {
      line_[length_] = '\0';
      if (message_) {
        result_ |= gtw_add_message(line_);
      } else if (routine_) {
        routine_(line_, arg_);
      }
    }
    length_ = 0;
    message_ = false;
    comment_ = false;
  }

  gtw_line_routine routine_;
  void *arg_;
  char line_[GTW_LINE_SIZE];
  size_t length_ = 0;
  bool comment_ = false;
  bool message_ = false;
  bool done_ = false;
  char previous_ = '\0';
  int result_ = 0;
};

// The command connection failed or the target closed it: the reply will
// never be complete.  The reason is queued behind what was gathered so far.
int receive_failed(long received) {
  trace_lost(received, false);
  char text[GTW_TEXT_SIZE];
  if (received == 0) {
    snprintf(text, sizeof text, "gtw_read_prompt: connection closed by target");
  } else {
    snprintf(text, sizeof text, "gtw_read_prompt: error on recv: %s", plat_socket_error_text());
  }
  return gtw_add_message(text) | GTW_FAILED;
}

// Reads the control connection while a started connection waits for its
// prompt.  Once that connection has failed or ended it is closed, so that the
// wait goes on on the command connection alone instead of finding the dead
// connection readable again and again.
int watch_control(gtw_conn *conn) {
  char failure[GTW_TEXT_SIZE];
  failure[0] = '\0';
  int result = gtw_read_control(conn, failure, sizeof failure);
  if (failure[0] != '\0') {
    plat_close_socket(conn->control_socket);
    result |= gtw_add_message(failure) | GTW_FAILED;
  }
  return result;
}

}  // namespace

long gtw_write_command(gtw_conn *conn, const char *command) {
  size_t length = strlen(command);
  long sent = plat_send(conn->command_socket, command, length);
  // A command that did not go out whole is marked so in the trace: a
  // reader must not take a reboot command that failed for a reboot.
  trace_command(command, sent >= 0 && static_cast<size_t>(sent) == length);
  return sent;
}

int gtw_send_command(gtw_conn *conn, const char *command, gtw_line_routine routine, void *arg) {
  // A command that went out cut short would leave the target waiting for
  // the rest of its line, and this side waiting for a prompt.
  const size_t length = strlen(command);
  long sent = gtw_write_command(conn, command);
  if (sent < 0 || static_cast<size_t>(sent) != length) {
    // The reason goes to the queue like every other; the result stays a
    // plain failure.
    char text[GTW_TEXT_SIZE];
    if (sent < 0) {
      snprintf(text, sizeof text, "gtw_send_command: error on send: %s", plat_socket_error_text());
      trace_lost(sent, true);
    } else {
      snprintf(text, sizeof text, "gtw_send_command: command sent short (%ld of %zu bytes)", sent,
               length);
    }
    gtw_add_message(text);
    return GTW_FAILED;
  }
  return gtw_read_prompt(conn, routine, arg);
}

int gtw_read_prompt(gtw_conn *conn, gtw_line_routine routine, void *arg) {
  return gtw_read_prompt_input(conn, routine, arg, nullptr);
}

int gtw_read_prompt_input(gtw_conn *conn, gtw_line_routine routine, void *arg, const char *input) {
  reply_reader reader(routine, arg);
  char chunk[GTW_CHUNK_SIZE];

  while (!reader.done()) {
    if (input) {
      // Worked through as if it had been received, once.
      const char *text = input;
      input = nullptr;
      reader.take(text, strlen(text));
      continue;
    }

    // A started connection also carries message lines on the control
    // connection, which are read while the prompt is awaited.  In lock mode
    // the wait is the receive itself.
    if (conn->started && conn->control_socket != PLAT_INVALID_SOCKET) {
      bool command_ready = false, control_ready = false;
      if (plat_wait_readable(conn->command_socket, conn->control_socket, &command_ready,
                             &control_ready) < 0) {
        command_ready = true;  // let the receive report what is wrong
      }
      if (control_ready) {
        reader.add_result(watch_control(conn));
      }
      if (!command_ready) {
        continue;
      }
    }

    long received = plat_recv(conn->command_socket, chunk, sizeof chunk - 1);
    if (received <= 0) {
      // An error the target reported before it went away still answers
      // this command.
      return (reader.result() & GTW_TARGET_ERROR) | receive_failed(received);
    }
    chunk[received] = '\0';
    trace_bytes(trace_kind::reply, chunk, static_cast<size_t>(received));
    reader.take(chunk, static_cast<size_t>(received));
  }
  return reader.result();
}

bool gtw_connection_lost(const gtw_conn *conn) { return plat_peer_gone(conn->command_socket); }

int gtw_get_status(char *status) {
  *status = last_status;
  if (last_status == 'M') {
    return 1;
  }
  if (last_status == 'R' || last_status == 'r') {
    return 0;
  }
  return 2;
}

void ignore_reply_line(const char *, void *) {}

void print_reply_line(const char *line, void *) {
  fprintf(stderr, "%s\n", visible_text(line).c_str());
}
