// Download of an absolute file to the target.
//
// The exchange on the command connection: the "lcd" command line; the
// target's one-byte go-ahead; the file from behind its 28-byte header,
// unchanged; two zero bytes (a zero lead word ends the records); the
// target's status byte (1 is success; any other value is followed by one
// more byte); then the target's prompt.  The file is opened only after the
// go-ahead, and never held in memory.
#include "files/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bounds.h"
#include "files/file_handle.h"
#include "gtw/gtw.h"

namespace {

// "path: text" for the last file error.
void file_error(const char *path) { fprintf(stderr, "%s: %s\n", path, strerror(errno)); }

// "path: text" for the last socket error.  Some builds' texts carry their
// own line end; do not add a second one.
void socket_error(const char *path) {
  const char *text = plat_socket_error_text();
  size_t len = strlen(text);
  fprintf(stderr, "%s: %s%s", path, text, len > 0 && text[len - 1] == '\n' ? "" : "\n");
}

// Sends every byte, however the socket splits the send.  false on error.
bool send_all(plat_socket sock, const char *data, size_t size) {
  while (size > 0) {
    long n = plat_send(sock, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One byte from the target.  A closed connection is a failure like an
// error: it never stands in for the byte that did not come.
bool recv_byte(plat_socket sock, const char *path, unsigned char *out) {
  long n = plat_recv(sock, out, 1);
  if (n < 0) {
    socket_error(path);
    return false;
  }
  if (n == 0) {
    fprintf(stderr, "%s: connection closed by target\n", path);
    return false;
  }
  return true;
}

}  // namespace

int loadfile(gtw_conn *conn, const char *path, int count, unsigned char flash) {
  char buffer[LOAD_BUFFER_SIZE];
  snprintf(buffer, sizeof buffer, flash ? "lcd -qfb %X\n" : "lcd -qb %X\n", static_cast<unsigned>(count));
  if (gtw_write_command(conn, buffer) < 0) {
    // Waiting for a go-ahead to a command that never left would never end.
    socket_error(path);
    return LOADFILE_FAILED;
  }

  unsigned char reply;
  if (!recv_byte(conn->command_socket, path, &reply)) return LOADFILE_FAILED;

  // From here on a failure leaves the target waiting for data; the caller
  // ends the run, and its exit routine reboots or releases the target.
  file_handle file = open_binary(path);
  if (!file) {
    file_error(path);
    return LOADFILE_FAILED;
  }
  if (fread(buffer, 1, ABS_HEADER_SIZE, file.get()) != static_cast<size_t>(ABS_HEADER_SIZE)) {
    fprintf(stderr, "Unable to read from file '%s'\n", path);
    return LOADFILE_FAILED;
  }

  for (;;) {
    size_t got = fread(buffer, 1, sizeof buffer, file.get());
    if (got == 0) break;
    if (!send_all(conn->command_socket, buffer, got)) {
      socket_error(path);
      return LOADFILE_FAILED;
    }
  }
  // A read error part way would end the records early and put a partial
  // image into flash; the target must not be told the data is complete.
  if (ferror(file.get())) {
    file_error(path);
    return LOADFILE_FAILED;
  }

  static const char end_of_records[2] = {0, 0};
  if (!send_all(conn->command_socket, end_of_records, sizeof end_of_records)) {
    socket_error(path);
    return LOADFILE_FAILED;
  }

  unsigned char status;
  if (!recv_byte(conn->command_socket, path, &status)) return LOADFILE_FAILED;
  if (status != 1 && !recv_byte(conn->command_socket, path, &reply)) return LOADFILE_FAILED;

  int result = gtw_read_prompt(conn, nullptr, nullptr);
  if (status != 1) {
    // The target may report a failed download with nothing but its status:
    // it must still fail, whatever the prompt said.
    char message[GTW_TEXT_SIZE];
    snprintf(message, sizeof message, "Download of '%s' failed: target status %u", path, static_cast<unsigned>(status));
    result |= gtw_add_message(message) | GTW_FAILED;
  }
  return result;
}
