// The record walk over an absolute file: one buffer, filled by large reads,
// and the records stepped through inside it.  A record never needs more than
// 8 + 250 + 1 bytes, so the buffer is topped up (its unread rest moved to the
// front) whenever fewer than that are left.
#include "formats/abs/abs_records.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

// The head of a record: lead word, count, then the address low word first.
constexpr size_t RECORD_HEAD = 8;
constexpr size_t LARGEST_RECORD = RECORD_HEAD + ABS_MAX_RECORD + 1;

inline unsigned record_count(const unsigned char *r) { return (unsigned{r[2]} << 8) | r[3]; }

inline uint32_t record_address(const unsigned char *r) {
  return (uint32_t{r[6]} << 24) | (uint32_t{r[7]} << 16) | (uint32_t{r[4]} << 8) | uint32_t{r[5]};
}

}  // namespace

// The bytes that can be had at pos_, at least `wanted` unless the file ends
// first.
size_t abs_walk::available(size_t wanted) {
  size_t have = end_ - pos_;
  if (have >= wanted || at_eof_) {
    return have;
  }
  memmove(buffer_, buffer_ + pos_, have);
  pos_ = 0;
  end_ = have;
  size_t room = sizeof buffer_ - end_;
  size_t got = fread(buffer_ + end_, 1, room, file_);
  end_ += got;
  if (got < room) {
    at_eof_ = true;  // the end of the file, or an error
  }
  return end_ - pos_;
}

int abs_walk::fault(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(reason_, sizeof reason_, format, args);
  va_end(args);
  ended_ = true;
  return -1;
}

bool abs_walk::header() {
  if (started_) {
    return reason_[0] == '\0';
  }
  started_ = true;
  size_t have = available(ABS_HEADER_SIZE);
  if (ferror(file_)) {
    fault("read error: %s", strerror(errno));
    return false;
  }
  if (have < static_cast<size_t>(ABS_HEADER_SIZE)) {
    fault("shorter than the %d-byte header (%zu bytes)", ABS_HEADER_SIZE, have);
    return false;
  }
  pos_ += ABS_HEADER_SIZE;
  offset_ += ABS_HEADER_SIZE;
  return true;
}

int abs_walk::next(abs_record_view *record) {
  if (ended_) {
    return reason_[0] ? -1 : 0;
  }
  if (!header()) {
    return -1;
  }

  size_t have = available(LARGEST_RECORD);
  if (ferror(file_)) {
    return fault("read error: %s", strerror(errno));
  }
  const unsigned long long at = offset_;
  const unsigned char *r = buffer_ + pos_;
  if (have == 0) {
    ended_ = true;
    return 0;
  }
  if (have >= 2 && r[0] == 0 && r[1] == 0) {
    // The file's own end of records; the download sends its own instead.
    if (have == 2) {
      ended_ = true;
      return 0;
    }
    return fault(
        "record at offset %llu has a zero lead word, which ends the records, and more bytes follow "
        "it",
        at);
  }
  if (have < RECORD_HEAD) {
    return fault(
        "record at offset %llu is cut off inside its 8-byte head (%zu bytes that are no whole "
        "record)",
        at, have);
  }

  unsigned count = record_count(r);
  uint32_t address = record_address(r);
  if (count > static_cast<unsigned>(ABS_MAX_RECORD)) {
    return fault("record at offset %llu has a byte count of %u (at most %d)", at, count,
                 ABS_MAX_RECORD);
  }
  // A count of 0 writes nothing, wherever it stands.
  if (count > 0 && address + (count - 1) < address) {
    return fault("record at offset %llu at %08lX runs past address FFFFFFFF", at,
                 static_cast<unsigned long>(address));
  }
  if (have < RECORD_HEAD + count) {
    return fault(
        "record at offset %llu is cut off inside its data (%u bytes announced, %zu present)", at,
        count, have - RECORD_HEAD);
  }

  size_t size = RECORD_HEAD + count;
  bool fill_missing = false;
  if (count & 1) {
    // Only the file's last record can lack its fill byte: anything behind
    // the data is the fill byte, as the target reads it.
    if (have > size) {
      size++;
    } else {
      fill_missing = true;
    }
  }
  *record = abs_record_view{at, address, count, r, size, fill_missing};
  pos_ += size;
  offset_ += size;
  return 1;
}
