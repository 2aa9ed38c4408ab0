// Download of an absolute file to the target.
//
// The exchange on the command connection: the "lcd" command line; the
// target's one-byte go-ahead; the records of the file as the record walk
// reads them, so that the target reads exactly what the scan read; two zero
// bytes (a zero lead word ends the records); the target's status byte (1 is
// success; any other value is followed by one more byte); then the target's
// prompt.  A file named by its path is opened only after the go-ahead; an
// image held since its check is sent from that open file.  Neither is held
// in memory.
//
// For a well-formed file the records are its bytes from offset 28 on,
// unchanged, with two exceptions: a last record that lacks its fill byte
// gets one (a zero byte), and a file that ends in a zero lead word of its
// own has that word left out, since the two zero bytes that end every
// download take its place.
#include "files/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bounds.h"
#include "formats/abs/abs_records.h"
#include "files/file_handle.h"
#include "files/image_file.h"
#include "gtw/gtw.h"
#include "gtw/trace.h"
#include "formats/trace/trace_format.h"

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
// *sent counts the bytes that went out.
bool send_all(plat_socket sock, const char *data, size_t size, unsigned long long *sent) {
  while (size > 0) {
    long n = plat_send(sock, data, size);
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    *sent += static_cast<unsigned long long>(n);
  }
  return true;
}

// The trace gets the size of the stream, never its content; then how the
// connection failed, if it did.
void trace_stream(const char *path, unsigned long long sent, bool failed) {
  if (!trace_on()) {
    return;
  }
  char text[GTW_TEXT_SIZE];
  snprintf(text, sizeof text, "%llu bytes of %s%s", sent, path, failed ? ", send failed" : "");
  trace_event(trace_kind::data, text);
  if (failed) {
    trace_lost(-1, true);
  }
}

// One byte from the target.  A closed connection is a failure like an
// error: it never stands in for the byte that did not come.
bool recv_byte(plat_socket sock, const char *path, unsigned char *out, const char *kind) {
  long n = plat_recv(sock, out, 1);
  if (n == 1) {
    trace_bytes(kind, reinterpret_cast<const char *>(out), 1);
  } else {
    trace_lost(n, false);
  }
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

// Tells the progress routine, if any, how far the record stream has got,
// and once that it is over.
class stream_progress {
 public:
  stream_progress(load_progress routine, uint32_t count) : routine_(routine), total_(count) {}
  ~stream_progress() { end(); }
  stream_progress(const stream_progress &) = delete;
  stream_progress &operator=(const stream_progress &) = delete;
  void add(unsigned data_bytes) {
    sent_ += data_bytes;
    if (routine_) {
      routine_(sent_, total_, false);
    }
  }
  void end() {
    if (routine_) {
      routine_(sent_, total_, true);
      routine_ = nullptr;
    }
  }

 private:
  load_progress routine_;
  unsigned long long total_;
  unsigned long long sent_ = 0;
};

// The record stream goes out in chunks of the download buffer; their
// boundaries mean nothing to the target.
class chunked_sender {
 public:
  explicit chunked_sender(plat_socket sock) : sock_(sock) {}
  bool add(const unsigned char *data, size_t size) {
    while (size > 0) {
      size_t n = sizeof chunk_ - used_ < size ? sizeof chunk_ - used_ : size;
      memcpy(chunk_ + used_, data, n);
      used_ += n;
      data += n;
      size -= n;
      if (used_ == sizeof chunk_ && !flush()) {
        return false;
      }
    }
    return true;
  }
  bool flush() {
    bool ok = send_all(sock_, chunk_, used_, &sent_);
    used_ = 0;
    return ok;
  }
  // The last bytes go out at once.  Held back until the target acknowledged
  // the bytes before them, they would wait out its delayed acknowledgement
  // before it could even begin its answer.  The chunks before them are
  // gathered into full segments as usual.
  bool finish() {
    plat_socket_send_at_once(sock_, true);
    bool ok = flush();
    plat_socket_send_at_once(sock_, false);
    return ok;
  }
  // The bytes that went out, for the trace.
  unsigned long long sent() const { return sent_; }

 private:
  plat_socket sock_;
  char chunk_[LOAD_BUFFER_SIZE];
  size_t used_ = 0;
  unsigned long long sent_ = 0;
};

// The target answered "lcd" with a message line instead of its go-ahead:
// the download is refused.  The message is read up to the prompt and
// queued, and nothing more is sent.
int refused(gtw_conn *conn) {
  return gtw_read_prompt_input(conn, nullptr, nullptr, "!") | GTW_FAILED;
}

// Sends the command and waits for the go-ahead.  -1 when the target said go
// ahead, else the result to return.
int announce(gtw_conn *conn, const char *path, uint32_t count, unsigned char flash) {
  char command[LOAD_BUFFER_SIZE];
  snprintf(command, sizeof command, flash ? "lcd -qfb %X\n" : "lcd -qb %X\n",
           static_cast<unsigned>(count));
  if (gtw_write_command(conn, command) < 0) {
    // Waiting for a go-ahead to a command that never left would never end.
    socket_error(path);
    return LOADFILE_FAILED;
  }

  unsigned char reply;
  if (!recv_byte(conn->command_socket, path, &reply, trace_kind::go_ahead)) {
    return LOADFILE_FAILED;
  }
  if (reply == '!') {
    return refused(conn);
  }
  return -1;
}

// "path: changed since it was checked (...)": the file is not sent on.
int changed(const char *path, const char *what) {
  fprintf(stderr, "%s: changed since it was checked (%s); nothing more is sent for it\n", path,
          what);
  return LOADFILE_FAILED;
}

// The records of the open file, the end of records, and the target's
// answer.  With `checked` the bytes must be the ones checked: more of them,
// or other ones, and the end of records is not sent.
int stream(gtw_conn *conn, const char *path, FILE *file, const image_scan *checked, uint32_t count,
           load_progress progress) {
  abs_walk walk(file);
  if (!walk.header()) {
    fprintf(stderr, "Unable to read from file '%s'\n", path);
    return LOADFILE_FAILED;
  }

  chunked_sender out(conn->command_socket);
  stream_progress shown(progress, count);
  stream_fingerprint sent;
  abs_record_view record;
  int step;
  static const unsigned char fill_byte = 0;
  while ((step = walk.next(&record)) > 0) {
    sent.add(record.bytes, record.size);
    if (record.fill_missing) {
      sent.add(&fill_byte, 1);
    }
    if (checked && sent.bytes() > checked->stream_bytes) {
      shown.end();
      trace_stream(path, out.sent(), false);
      return changed(path, "it is longer");
    }
    bool ok =
        out.add(record.bytes, record.size) && (!record.fill_missing || out.add(&fill_byte, 1));
    if (!ok) {
      shown.end();
      trace_stream(path, out.sent(), true);
      socket_error(path);
      return LOADFILE_FAILED;
    }
    shown.add(record.count);
  }
  shown.end();
  // A read error part way, or a file that changed since its scan, would end
  // the records early or put bytes on the wire that the target reads
  // differently: the target must not be told the data is complete.
  if (step < 0) {
    fprintf(stderr, "%s: %s\n", path, walk.reason());
    return LOADFILE_FAILED;
  }
  if (checked && (sent.bytes() != checked->stream_bytes || sent.value() != checked->fingerprint)) {
    // What is still in the buffer stays there.
    trace_stream(path, out.sent(), false);
    return changed(path,
                   sent.bytes() != checked->stream_bytes ? "it is shorter" : "its bytes differ");
  }

  static const unsigned char end_of_records[2] = {0, 0};
  bool ended = out.add(end_of_records, sizeof end_of_records) && out.finish();
  trace_stream(path, out.sent(), !ended);
  if (!ended) {
    socket_error(path);
    return LOADFILE_FAILED;
  }

  unsigned char status, second;
  if (!recv_byte(conn->command_socket, path, &status, trace_kind::status)) {
    return LOADFILE_FAILED;
  }
  if (status != 1 && !recv_byte(conn->command_socket, path, &second, trace_kind::status)) {
    return LOADFILE_FAILED;
  }

  int result = gtw_read_prompt(conn, nullptr, nullptr);
  if (status != 1) {
    // The target may report a failed download with nothing but its status:
    // it must still fail, whatever the prompt said.
    char message[GTW_TEXT_SIZE];
    snprintf(message, sizeof message, "Download of '%s' failed: target status %u", path,
             static_cast<unsigned>(status));
    result |= gtw_add_message(message) | GTW_FAILED;
  }
  return result;
}

}  // namespace

int loadfile(gtw_conn *conn, const char *path, int count, unsigned char flash,
             load_progress progress) {
  int result = announce(conn, path, static_cast<uint32_t>(count), flash);
  if (result >= 0) {
    return result;
  }
  // From here on a failure leaves the target waiting for data; the caller
  // ends the run, and its exit routine reboots or releases the target.
  file_handle file = open_binary(path);
  if (!file) {
    file_error(path);
    return LOADFILE_FAILED;
  }
  return stream(conn, path, file.get(), nullptr, static_cast<uint32_t>(count), progress);
}

int loadfile(gtw_conn *conn, const held_image &image, uint32_t count, unsigned char flash,
             load_progress progress) {
  // A file that changed since its check is not announced at all.
  if (const char *what = image.change(false)) {
    return changed(image.path(), what);
  }
  if (fseek(image.file(), 0, SEEK_SET) != 0) {
    file_error(image.path());
    return LOADFILE_FAILED;
  }
  int result = announce(conn, image.path(), count, flash);
  if (result >= 0) {
    return result;
  }
  return stream(conn, image.path(), image.file(), &image.scan(), count, progress);
}
